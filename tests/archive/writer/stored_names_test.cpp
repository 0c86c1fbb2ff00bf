// Path pieces, pattern lists and the two stored-path rules, also on names
// that a walk of a real card tree yields.
#include <gtest/gtest.h>

#include "archive/writer/stored_names.h"
#include "writer_fixture.h"

namespace zem::test {
namespace {

TEST(PathPieces, DriveRootsUncNamesAndColonsInsideLinuxNames) {
  struct TCase {
    const char* Name;
    const char* File;
    const char* FolderPath;
    const char* Folder;
    const char* Drive;
  };
  const TCase Cases[] = {
      {"X:\\dir\\file", "file", "X:\\dir\\", "X:\\dir", "X:"},
      {"X:\\file", "file", "X:\\", "X:\\", "X:"},
      {"X:file", "file", "X:", "X:", "X:"},
      {"dir\\sub\\file", "file", "dir\\sub\\", "dir\\sub", ""},
      {"file", "file", "", "", ""},
      {"\\file", "file", "\\", "\\", ""},
      {"\\\\server\\share\\dir\\f", "f", "\\\\server\\share\\dir\\", "\\\\server\\share\\dir",
       "\\\\server\\share"},
      {"\\\\server\\share", "share", "\\\\server\\", "\\\\server", "\\\\server\\share"},
      // A colon only separates a drive letter at the start of a name.
      {"F:\\DCIM\\12:30:05.jpg", "12:30:05.jpg", "F:\\DCIM\\", "F:\\DCIM", "F:"},
      {"12:30:05.jpg", "12:30:05.jpg", "", "", ""},
      {"1:x", "1:x", "", "", ""},
      {"dir\\a:b", "a:b", "dir\\", "dir", ""},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    EXPECT_EQ(FilePart(C.Name), C.File);
    EXPECT_EQ(FolderPath(C.Name), C.FolderPath);
    EXPECT_EQ(FolderOf(C.Name), C.Folder);
    EXPECT_EQ(DrivePart(C.Name), C.Drive);
  }
  EXPECT_EQ(DrivePart("\\\\server"), "\\\\server");
}

TEST(PatternList, FilePartOrWholeNameWithoutRegardToCase) {
  const std::vector<std::string> List{"*.TMP", "thumbs.db", "f:\\dcim\\.trash\\*", "img_<0-4>*.jpg"};
  EXPECT_TRUE(MatchesPatternList(List, "F:\\DCIM\\x.tmp"));
  EXPECT_TRUE(MatchesPatternList(List, "F:\\DCIM\\Thumbs.DB"));
  EXPECT_FALSE(MatchesPatternList(List, "F:\\thumbs.db.bak"));
  EXPECT_TRUE(MatchesPatternList(List, "F:\\DCIM\\.Trash\\a.jpg"));
  EXPECT_FALSE(MatchesPatternList(List, "F:\\Other\\.Trash\\a.jpg"));
  EXPECT_TRUE(MatchesPatternList(List, "F:\\DCIM\\IMG_3999.JPG"));
  EXPECT_FALSE(MatchesPatternList(List, "F:\\DCIM\\IMG_5999.JPG"));
  // Without '\' in the entry only the file part counts, so a folder name
  // matching the pattern does not make its files match.
  EXPECT_FALSE(MatchesPatternList(List, "F:\\x.tmp\\photo.jpg"));
  EXPECT_TRUE(MatchesPatternList({"12:*"}, "F:\\DCIM\\12:30:05.jpg"));
  EXPECT_FALSE(MatchesPatternList({}, "F:\\a"));
}

TStoredPathSettings Paths(bool Store, bool Relative, bool Volumes, const std::string& Root = "") {
  TStoredPathSettings S;
  S.StorePaths = Store;
  S.RelativePaths = Relative;
  S.StoreVolumes = Volumes;
  S.RootDir = Root;
  S.RelativePathList = {Root};
  return S;
}

TEST(StoredPaths, EntryAndComparingRulesForEachKindOfName) {
  struct TCase {
    const char* Name;
    TStoredPathSettings S;
    const char* Dir;
  };
  const TCase Cases[] = {
      // Without stored paths every directory is empty.
      {"X:\\dir\\file", Paths(false, false, false), ""},
      {"X:\\dir\\file", Paths(true, false, false), "dir\\"},
      {"X:\\file", Paths(true, false, false), ""},
      {"X:\\dir\\file", Paths(true, false, true), "X:\\dir\\"},
      {"X:\\file", Paths(true, false, true), "X:\\"},
      {"dir\\sub\\file", Paths(true, false, false), "dir\\sub\\"},
      {"file", Paths(true, false, false), ""},
      // A bare name never gets the absolute directory "\".
      {"file", Paths(true, false, true), ""},
      {"\\top\\file", Paths(true, false, false), "top\\"},
      {"\\\\srv\\share\\dir\\f", Paths(true, false, false), "dir\\"},
      {"\\\\srv\\share\\f", Paths(true, false, false), ""},
      {"\\\\srv\\share\\dir\\f", Paths(true, false, true), "\\\\srv\\share\\dir\\"},
      // Relative to the root, which matches without regard to case.
      {"X:\\Root\\sub\\f", Paths(true, true, false, "x:\\root\\"), "sub\\"},
      {"X:\\Root\\f", Paths(true, true, false, "x:\\root\\"), ""},
      {"X:\\Root\\sub\\f", Paths(true, true, true, "X:\\Root\\"), "sub\\"},
      // A file outside the root keeps its folder, less the drive.
      {"X:\\other\\f", Paths(true, true, false, "X:\\Root\\"), "other\\"},
      {"X:\\other\\f", Paths(true, true, true, "X:\\Root\\"), "X:\\other\\"},
      // No root at all: relative paths cut nothing but the drive.
      {"X:\\a\\f", Paths(true, true, false, ""), "a\\"},
      {"F:\\DCIM\\12:30:05.jpg", Paths(true, false, false), "DCIM\\"},
      {"F:\\12:30\\x.jpg", Paths(true, false, false), "12:30\\"},
      {"X:dir\\f", Paths(true, false, false), "dir\\"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    EXPECT_EQ(EntryStoredPath(C.Name, C.S), C.Dir);
    // The rule that finds existing entries agrees with the rule that wrote
    // them, so a listed file always meets its own entry.
    EXPECT_EQ(ComparingStoredPath(C.Name, C.S), C.Dir);
  }
}

TEST(StoredPaths, WhereTheRulesDiffer) {
  // The entry rule cuts any item of RelativePathList; the comparing rule
  // knows only RootDir.
  TStoredPathSettings S = Paths(true, true, false, "X:\\Root\\");
  S.RelativePathList = {"X:\\Other\\", "X:\\Root\\"};
  EXPECT_EQ(EntryStoredPath("X:\\Other\\a\\f", S), "a\\");
  EXPECT_EQ(ComparingStoredPath("X:\\Other\\a\\f", S), "Other\\a\\");
  EXPECT_EQ(EntryStoredPath("X:\\Root\\b\\f", S), "b\\");
  EXPECT_EQ(ComparingStoredPath("X:\\Root\\b\\f", S), "b\\");
  // An empty RelativePathList cuts nothing in the entry rule.
  S.RelativePathList.clear();
  EXPECT_EQ(EntryStoredPath("X:\\Root\\b\\f", S), "Root\\b\\");
}

class StoredNamesOnCard : public WriterTest {};

TEST_F(StoredNamesOnCard, ExpandedNamesGiveTheirEntryNames) {
  Put("DCIM/100/a.jpg", "a");
  Put("top.txt", "t");
  TArcZip Zip;
  Zip.SetRecurse(true);
  Zip.SetStorePaths(true);
  Zip.SetFilesList({"F:\\top.txt", "F:\\DCIM\\*.jpg"});
  Zip.ExpandFileList();
  ASSERT_EQ(Zip.FilesList(), (std::vector<std::string>{"F:\\top.txt", "F:\\DCIM\\100\\a.jpg"}));
  EXPECT_EQ(Zip.EntryDirectoryFor("F:\\top.txt"), "");
  EXPECT_EQ(Zip.EntryDirectoryFor("F:\\DCIM\\100\\a.jpg"), "DCIM\\100\\");

  Zip.SetStoreVolumes(true);
  EXPECT_EQ(Zip.EntryDirectoryFor("F:\\DCIM\\100\\a.jpg"), "F:\\DCIM\\100\\");
  EXPECT_EQ(Zip.ComparingDirectoryFor("F:\\top.txt"), "F:\\");

  Zip.SetStoreVolumes(false);
  Zip.SetRootDir("F:\\DCIM");
  Zip.SetRelativePaths(true);
  EXPECT_EQ(Zip.EntryDirectoryFor("F:\\DCIM\\100\\a.jpg"), "100\\");
  EXPECT_EQ(Zip.ComparingDirectoryFor("F:\\DCIM\\100\\a.jpg"), "100\\");
  EXPECT_EQ(Zip.EntryDirectoryFor("F:\\top.txt"), "");
  EXPECT_EQ(Zip.ComparingDirectoryFor("F:\\top.txt"), "");

  Zip.SetStorePaths(false);
  EXPECT_EQ(Zip.EntryDirectoryFor("F:\\DCIM\\100\\a.jpg"), "");
}

TEST_F(StoredNamesOnCard, FreshenMeetsEntriesOfRelativeAndVolumeNames) {
  Put("DCIM/100/a.jpg", "a");
  Put("misc/b.txt", "bb");
  // Entries as a relative Zip below F:\DCIM and with volumes would store them.
  WriteArchive("F:\\rel.zip", {"100\\a.jpg", "misc\\b.txt"});
  TArcZip Zip;
  TExpansionLog Log;
  Log.Attach(Zip);
  Zip.SetZipName("F:\\rel.zip");
  Zip.ReadDirectory();
  Zip.SetRootDir("F:\\DCIM\\");
  Zip.SetRelativePaths(true);
  Zip.SetZipAction(zaFreshen);
  Zip.SetFilesList({"F:\\DCIM\\100\\a.jpg", "F:\\misc\\b.txt"});
  Zip.ExpandFileList();
  // b.txt lies outside RootDir: its entry name keeps its folder, and the
  // comparing rule finds that entry too.
  EXPECT_EQ(Zip.FilesList(), (std::vector<std::string>{"F:\\DCIM\\100\\a.jpg", "F:\\misc\\b.txt"}));
  EXPECT_TRUE(Log.Skips.empty());

  WriteArchive("F:\\vol.zip", {"F:\\DCIM\\100\\a.jpg"});
  Zip.SetZipName("F:\\vol.zip");
  Zip.ReadDirectory();
  Zip.SetRelativePaths(false);
  Zip.SetStoreVolumes(true);
  Zip.SetFilesList({"F:\\DCIM\\100\\a.jpg", "F:\\misc\\b.txt"});
  Zip.ExpandFileList();
  EXPECT_EQ(Zip.FilesList(), std::vector<std::string>{"F:\\DCIM\\100\\a.jpg"});
  EXPECT_EQ(Log.SkippedFor(srNoFileToFreshen), std::vector<std::string>{"F:\\misc\\b.txt"});
}

}  // namespace
}  // namespace zem::test

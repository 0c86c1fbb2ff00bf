// Directory searches over a real tree on a fake drive: ordering, the
// platform's name matching, the attribute filter, links and large files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <vector>

#include "common/test_support.h"
#include "platform/winapi.h"

namespace zem::platform {
namespace {

namespace fs = std::filesystem;

class FindOnFakeDrive : public ::testing::Test {
 protected:
  FindOnFakeDrive() : Scope(MakeTable(Dir)) {
    test::WriteFile(Dir / "a.txt", "hello");
    test::WriteFile(Dir / "b.TXT", "b");
    test::WriteFile(Dir / "README", "r");
    test::WriteFile(Dir / "ab.dat", "");
    test::WriteFile(Dir / "abc.dat", "");
    test::WriteFile(Dir / ".hidden", "h");
    test::WriteFile(Dir / "sub" / "c.txt", "cc");
    fs::create_directory(Dir / ".hdir");
    fs::create_symlink("a.txt", Dir / "lnk.txt");
    fs::create_symlink("nowhere", Dir / "dangling");
    fs::create_directory_symlink("..", Dir / "sub" / "loop");
  }
  static std::unique_ptr<TDriveTable> MakeTable(const test::TTempDir& D) {
    auto T = std::make_unique<TFakeDriveTable>();
    T->AddDrive('F', D.Native(), "CARD");
    return T;
  }

  // Names found for a pattern and filter, in the order found; the error
  // code of FindFirst when nothing is found.
  static std::vector<std::string> Names(const std::string& Path, int32_t Attr, int* Error = nullptr) {
    std::vector<std::string> Out;
    TSearchRec F;
    int Rc = FindFirst(Path, Attr, F);
    if (Error) *Error = Rc;
    if (Rc != 0) {
      EXPECT_EQ(F.FindHandle, nullptr);
      return Out;
    }
    do Out.push_back(F.Name);
    while (FindNext(F) == 0);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    FindClose(F);
    EXPECT_EQ(F.FindHandle, nullptr);
    return Out;
  }

  using V = std::vector<std::string>;
  test::TTempDir Dir;
  TDriveTableScope Scope;
};

TEST_F(FindOnFakeDrive, RootListingFollowsTheAttributeFilter) {
  // No "." or ".." at a drive's root; hidden entries and folders only when
  // asked for; links always, as links (a dangling one too).
  EXPECT_EQ(Names("F:\\*.*", 0), (V{"README", "a.txt", "ab.dat", "abc.dat", "b.TXT", "dangling", "lnk.txt"}));
  EXPECT_EQ(Names("F:\\*.*", faHidden),
            (V{".hidden", "README", "a.txt", "ab.dat", "abc.dat", "b.TXT", "dangling", "lnk.txt"}));
  EXPECT_EQ(Names("F:\\*.*", faDirectory),
            (V{"README", "a.txt", "ab.dat", "abc.dat", "b.TXT", "dangling", "lnk.txt", "sub"}));
  EXPECT_EQ(Names("F:\\*", faAnyFile),
            (V{".hdir", ".hidden", "README", "a.txt", "ab.dat", "abc.dat", "b.TXT", "dangling", "lnk.txt", "sub"}));
  // A link shows its type; one to a file the file's size, any other its own
  // and never the folder bit.
  for (const auto& [Name, Size] : std::vector<std::pair<std::string, int64_t>>{{"lnk.txt", 5}, {"dangling", 7}}) {
    TSearchRec L;
    ASSERT_EQ(FindFirst("F:\\" + Name, faAnyFile, L), 0) << Name;
    EXPECT_TRUE(S_ISLNK(L.Mode)) << Name;
    EXPECT_EQ(L.Attr & faDirectory, 0) << Name;
    EXPECT_EQ(L.Size, Size) << Name;
    FindClose(L);
  }
  // A read-only file is found without faReadOnly in the filter.
  fs::permissions(Dir / "README", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  TSearchRec F;
  ASSERT_EQ(FindFirst("F:\\README", 0, F), 0);
  EXPECT_EQ(F.Attr, faReadOnly | faArchive);
  FindClose(F);
}

TEST_F(FindOnFakeDrive, SubfolderListsDotEntriesFirst) {
  EXPECT_EQ(Names("F:\\sub\\*.*", faDirectory), (V{".", "..", "c.txt", "loop"}));
  EXPECT_EQ(Names("F:\\sub\\*.*", 0), (V{"c.txt", "loop"}));
  EXPECT_EQ(Names("F:\\\\sub\\*.*", faDirectory), (V{".", "..", "c.txt", "loop"}));  // doubled separator
}

TEST_F(FindOnFakeDrive, PlatformNameMatching) {
  EXPECT_EQ(Names("F:\\*.txt", 0), (V{"a.txt", "b.TXT", "lnk.txt"}));
  EXPECT_EQ(Names("F:\\*.TXT", 0), (V{"a.txt", "b.TXT", "lnk.txt"}));
  EXPECT_EQ(Names("F:\\a?.dat", 0), (V{"ab.dat"}));
  EXPECT_EQ(Names("F:\\a??.dat", 0), (V{"abc.dat"}));
  EXPECT_EQ(Names("F:\\?", faAnyFile), (V{}));
  EXPECT_EQ(Names("F:\\readme.*", 0), (V{"README"}));  // ".*" also fits no extension
  EXPECT_EQ(Names("F:\\A.TXT", 0), (V{"a.txt"}));       // a plain name, any case
  EXPECT_EQ(Names("F:\\sub", faDirectory), (V{"sub"}));
  EXPECT_EQ(Names("F:\\sub", 0), (V{}));  // a folder needs faDirectory

  int Err = 0;
  Names("F:\\nothing*", faAnyFile, &Err);
  EXPECT_EQ(Err, static_cast<int>(ERROR_FILE_NOT_FOUND));
  Names("F:\\missing\\*.*", faAnyFile, &Err);
  EXPECT_EQ(Err, static_cast<int>(ERROR_PATH_NOT_FOUND));
  Names("F:\\a.txt\\*.*", faAnyFile, &Err);
  EXPECT_EQ(Err, static_cast<int>(ERROR_PATH_NOT_FOUND));
  Names("Q:\\*.*", faAnyFile, &Err);
  EXPECT_EQ(Err, static_cast<int>(ERROR_PATH_NOT_FOUND));
}

// Linux names with wildcard, separator and drive characters, or bytes that
// are not UTF-8, are found under their internal form and only by patterns
// that match it: '*' and '?' in a name are characters, not wildcards.
TEST_F(FindOnFakeDrive, HostileNamesAreFoundByTheirInternalForm) {
  test::WriteFile(Dir / "odd" / "*", "star");
  test::WriteFile(Dir / "odd" / "a?b", "q");
  test::WriteFile(Dir / "odd" / "x\\y:z", "s");
  test::WriteFile(Dir / "odd" / "\xff.TXT", "ff");
  test::WriteFile(Dir / "odd" / "A.txt", "A");
  test::WriteFile(Dir / "odd" / "a.txt", "a");
  const V All = Names("F:\\odd\\*.*", 0);
  V Native;
  for (const std::string& N : All) Native.push_back(NameToNative(N));
  EXPECT_EQ(Native, (V{"A.txt", "a.txt", "a?b", "x\\y:z", "*", "\xff.TXT"}));
  EXPECT_EQ(Names("F:\\odd\\" + NameFromNative("*"), 0), (V{NameFromNative("*")}));
  EXPECT_EQ(Names("F:\\odd\\" + NameFromNative("x\\y:z"), 0), (V{NameFromNative("x\\y:z")}));
  EXPECT_EQ(Names("F:\\odd\\?.txt", 0), (V{"A.txt", "a.txt", NameFromNative("\xff.TXT")}));
  EXPECT_EQ(Names("F:\\odd\\a?b", 0), (V{NameFromNative("a?b")}));  // a typed '?' matches any one
}

TEST_F(FindOnFakeDrive, RecordFieldsAndLinkToFile) {
  struct stat St;
  ASSERT_EQ(stat((Dir / "a.txt").c_str(), &St), 0);
  for (const char* Name : {"F:\\a.txt", "F:\\lnk.txt"}) {
    TSearchRec F;
    ASSERT_EQ(FindFirst(Name, 0, F), 0) << Name;
    EXPECT_EQ(F.Size, 5);
    EXPECT_EQ(F.Attr, faArchive);
    EXPECT_EQ(F.Time, UnixToDosDateTime(St.st_mtime));
    EXPECT_EQ(F.FindData.dwFileAttributes, static_cast<uint32_t>(faArchive));
    EXPECT_EQ(F.FindData.nFileSizeLow, 5u);
    EXPECT_EQ(F.FindData.nFileSizeHigh, 0u);
    EXPECT_EQ(F.FindData.cFileName, F.Name);
    EXPECT_EQ(FileTimeToUnix(F.FindData.ftLastWriteTime), St.st_mtime);
    EXPECT_EQ(FindNext(F), static_cast<int>(ERROR_NO_MORE_FILES));
    FindClose(F);
  }
  TSearchRec F;
  EXPECT_EQ(FindNext(F), static_cast<int>(ERROR_INVALID_HANDLE));  // never started
}

TEST_F(FindOnFakeDrive, SizesBeyondFourGiBUseTheHighWord) {
  constexpr uint64_t Big = (uint64_t{5} << 30) + 7;  // sparse: takes no space
  {
    test::WriteFile(Dir / "big.bin", "");
    fs::resize_file(Dir / "big.bin", Big);
  }
  TSearchRec F;
  ASSERT_EQ(FindFirst("F:\\big.bin", 0, F), 0);
  EXPECT_EQ(F.Size, static_cast<int64_t>(Big));
  EXPECT_EQ(F.FindData.nFileSizeHigh, 1u);
  EXPECT_EQ(F.FindData.nFileSizeLow, static_cast<uint32_t>(Big));
  FindClose(F);
}

// A depth-first walk as the archive component does it: every folder but
// "." and ".." is entered. The link sub\loop points back at the root and
// must neither be listed nor entered, or this would never end.
void Walk(const std::string& Folder, std::set<std::string>& Seen, int Depth) {
  ASSERT_LT(Depth, 10) << "walk went too deep at " << Folder;
  TSearchRec F;
  if (FindFirst(Folder + "*.*", faAnyFile, F) != 0) return;
  do {
    if (F.Name == "." || F.Name == "..") continue;
    if (F.Attr & faDirectory)
      Walk(Folder + F.Name + "\\", Seen, Depth + 1);
    else
      Seen.insert(Folder + F.Name);
  } while (FindNext(F) == 0);
  FindClose(F);
}

TEST_F(FindOnFakeDrive, WalkNeverFollowsLinksToFolders) {
  std::set<std::string> Seen;
  Walk("F:\\", Seen, 0);
  // The links are listed (as links), never entered.
  EXPECT_EQ(Seen, (std::set<std::string>{"F:\\.hidden", "F:\\README", "F:\\a.txt", "F:\\ab.dat",
                                         "F:\\abc.dat", "F:\\b.TXT", "F:\\dangling", "F:\\lnk.txt",
                                         "F:\\sub\\c.txt", "F:\\sub\\loop"}));
}

TEST_F(FindOnFakeDrive, UnreadableFolderIsAnError) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  fs::create_directory(Dir / "locked");
  test::WriteFile(Dir / "locked" / "x.txt", "x");
  fs::permissions(Dir / "locked", fs::perms::none);
  int Err = 0;
  EXPECT_TRUE(Names("F:\\locked\\*.*", faAnyFile, &Err).empty());
  EXPECT_EQ(Err, static_cast<int>(ERROR_ACCESS_DENIED));
  fs::permissions(Dir / "locked", fs::perms::owner_all);
}

}  // namespace
}  // namespace zem::platform

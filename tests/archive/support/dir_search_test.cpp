// Directory walks over real folder trees, and the buffered file stream.
#include "archive/support/dir_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "archive/support/lfn_file_stream.h"
#include "common/test_support.h"
#include "platform/drives.h"

namespace zem {
namespace {

namespace fs = std::filesystem;
using namespace platform;

using TNames = std::vector<std::string>;

class DirWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    auto Table = std::make_unique<TFakeDriveTable>();
    Table->AddDrive('F', Card.Native(), "CARD", 1 << 30);
    Scope = std::make_unique<TDriveTableScope>(std::move(Table));
  }

  // Every path a walk yields, in order; file records go to Records.
  TNames Walk(const std::string& Start, int32_t Attr, bool Recurse, const std::string& Pattern,
              std::vector<TSearchRec>* Records = nullptr) {
    TDirSearch Search(Start, Attr, Recurse, Pattern);
    TNames Out;
    for (;;) {
      TSearchRec Found;
      std::string Path = Search.NextFile(Found);
      if (Path.empty()) break;
      Out.push_back(Path);
      if (Records && Path.back() != '\\') Records->push_back(Found);
      if (Out.size() > 10000) ADD_FAILURE() << "walk does not end";
      if (Out.size() > 10000) break;
    }
    return Out;
  }

  static std::set<std::string> AsSet(const TNames& Names) {
    return std::set<std::string>(Names.begin(), Names.end());
  }

  static long IndexOf(const TNames& Names, const std::string& Name) {
    auto It = std::find(Names.begin(), Names.end(), Name);
    return It == Names.end() ? -1 : It - Names.begin();
  }

  test::TTempDir Card;
  std::unique_ptr<TDriveTableScope> Scope;
};

TEST_F(DirWalk, RecursiveWalkYieldsEachFolderBeforeItsContents) {
  test::WriteFile(Card / "data" / "top.txt", "12345");
  test::WriteFile(Card / "data" / "sub" / "a.txt", "a");
  test::WriteFile(Card / "data" / "sub" / "README", "readme");
  test::WriteFile(Card / "data" / "sub" / "inner" / "b.dat", "b");

  std::vector<TSearchRec> Records;
  TNames All = Walk("F:\\data", faAnyFile, true, "*.*", &Records);
  EXPECT_EQ(AsSet(All), (std::set<std::string>{
                            "F:\\data\\top.txt", "F:\\data\\sub\\", "F:\\data\\sub\\a.txt",
                            "F:\\data\\sub\\README", "F:\\data\\sub\\inner\\",
                            "F:\\data\\sub\\inner\\b.dat"}));
  EXPECT_EQ(All.size(), 6u);
  EXPECT_LT(IndexOf(All, "F:\\data\\sub\\"), IndexOf(All, "F:\\data\\sub\\a.txt"));
  EXPECT_LT(IndexOf(All, "F:\\data\\sub\\"), IndexOf(All, "F:\\data\\sub\\inner\\"));
  EXPECT_LT(IndexOf(All, "F:\\data\\sub\\inner\\"), IndexOf(All, "F:\\data\\sub\\inner\\b.dat"));

  // File records carry the name as on disk and the size.
  ASSERT_EQ(Records.size(), 4u);
  for (const TSearchRec& R : Records) {
    EXPECT_EQ(R.FindHandle, nullptr);
    if (R.Name == "top.txt") {
      EXPECT_EQ(R.Size, 5);
    }
    if (R.Name == "README") {
      EXPECT_EQ(R.Size, 6);
    }
    EXPECT_NE(R.Name.back(), '.');
  }

  // Once over, the walk stays over.
  TDirSearch Search("F:\\data\\sub\\inner\\", faAnyFile, true, "*.*");
  TSearchRec Found;
  EXPECT_EQ(Search.NextFile(Found), "F:\\data\\sub\\inner\\b.dat");
  EXPECT_EQ(Search.NextFile(Found), "");
  EXPECT_EQ(Search.NextFile(Found), "");
}

TEST_F(DirWalk, NamesWithoutExtensionAndRecursionOff) {
  test::WriteFile(Card / "d" / "README", "r");
  test::WriteFile(Card / "d" / "Makefile", "m");
  test::WriteFile(Card / "d" / "notes.txt", "n");
  test::WriteFile(Card / "d" / "odd.", "o");  // Linux allows a trailing dot
  test::WriteFile(Card / "d" / "sub" / "LICENSE", "l");
  test::WriteFile(Card / "d" / "sub" / "x.txt", "x");

  // "odd." has an empty extension of its own and keeps its dot.
  EXPECT_EQ(AsSet(Walk("F:\\d\\", faAnyFile, false, "*.")),
            (std::set<std::string>{"F:\\d\\README", "F:\\d\\Makefile", "F:\\d\\odd."}));
  EXPECT_EQ(AsSet(Walk("F:\\d\\", faAnyFile, false, "*.*")),
            (std::set<std::string>{"F:\\d\\README", "F:\\d\\Makefile", "F:\\d\\notes.txt",
                                   "F:\\d\\odd."}));
  EXPECT_EQ(AsSet(Walk("F:\\d\\", faAnyFile, false, "*.TXT")),
            (std::set<std::string>{"F:\\d\\notes.txt"}));
  // Recursing, folders are yielded whatever the file pattern.
  EXPECT_EQ(AsSet(Walk("F:\\d\\", faAnyFile, true, "*.")),
            (std::set<std::string>{"F:\\d\\README", "F:\\d\\Makefile", "F:\\d\\odd.", "F:\\d\\sub\\",
                                   "F:\\d\\sub\\LICENSE"}));
}

TEST_F(DirWalk, WildcardDirectoryComponents) {
  test::WriteFile(Card / "logs" / "2023" / "day1" / "a.txt", "");
  test::WriteFile(Card / "logs" / "2023" / "day1" / "x.log", "");
  test::WriteFile(Card / "logs" / "2023" / "day1" / "deeper" / "f.txt", "");
  test::WriteFile(Card / "logs" / "2023" / "day2" / "b.txt", "");
  test::WriteFile(Card / "logs" / "2023" / "day10" / "c.txt", "");
  test::WriteFile(Card / "logs" / "2023" / "day3.txt", "");  // a file, not a folder
  test::WriteFile(Card / "logs" / "2024" / "DAY3" / "d.txt", "");
  test::WriteFile(Card / "logs" / "2024" / "other" / "e.txt", "");
  test::WriteFile(Card / "logs" / "file.txt", "");

  TDirSearch Probe("F:\\logs\\*\\day?\\", faAnyFile, false, "*.txt");
  EXPECT_EQ(Probe.StartDirectory(), "F:\\logs\\");
  EXPECT_EQ(Probe.WildDirs(), (TNames{"*", "day?"}));

  EXPECT_EQ(AsSet(Walk("F:\\logs\\*\\day?\\", faAnyFile, false, "*.txt")),
            (std::set<std::string>{"F:\\logs\\2023\\day1\\a.txt", "F:\\logs\\2023\\day2\\b.txt",
                                   "F:\\logs\\2024\\DAY3\\d.txt"}));
  // Recursing below the wild folders reaches their subfolders too.
  EXPECT_EQ(AsSet(Walk("F:\\logs\\*\\day1", faAnyFile, true, "*.txt")),
            (std::set<std::string>{"F:\\logs\\2023\\day1\\a.txt", "F:\\logs\\2023\\day1\\deeper\\",
                                   "F:\\logs\\2023\\day1\\deeper\\f.txt"}));
  // A wild component in the middle, plain ones after it.
  EXPECT_EQ(AsSet(Walk("F:\\logs\\20<0-9>4\\other\\", faAnyFile, false, "*.*")),
            (std::set<std::string>{"F:\\logs\\2024\\other\\e.txt"}));
  EXPECT_TRUE(Walk("F:\\logs\\*\\nothing?\\", faAnyFile, true, "*.*").empty());
}

TEST_F(DirWalk, HiddenEntriesOnlyWithTheHiddenBit) {
  test::WriteFile(Card / "h" / ".secret", "s");
  test::WriteFile(Card / "h" / ".config" / "c.ini", "c");
  test::WriteFile(Card / "h" / "plain.txt", "p");

  const int32_t NoHidden = faReadOnly | faDirectory | faArchive;
  EXPECT_EQ(AsSet(Walk("F:\\h\\", NoHidden, true, "*.*")),
            (std::set<std::string>{"F:\\h\\plain.txt"}));
  TNames All = Walk("F:\\h\\", faAnyFile, true, "*.*");
  EXPECT_EQ(AsSet(All), (std::set<std::string>{"F:\\h\\plain.txt", "F:\\h\\.secret",
                                               "F:\\h\\.config\\", "F:\\h\\.config\\c.ini"}));
  for (const std::string& P : All) {
    EXPECT_EQ(P.find("\\.\\"), std::string::npos) << P;
    EXPECT_EQ(P.find("\\..\\"), std::string::npos) << P;
  }
  // Without the directory bit, folders are not listed and so not entered.
  EXPECT_EQ(AsSet(Walk("F:\\h\\", faAnyFile & ~faDirectory, true, "*.*")),
            (std::set<std::string>{"F:\\h\\plain.txt", "F:\\h\\.secret"}));
}

TEST_F(DirWalk, MissingStartAndTreesDeeperThanTheStack) {
  EXPECT_TRUE(Walk("F:\\no such folder\\", faAnyFile, true, "*.*").empty());
  EXPECT_TRUE(Walk("F:\\no*\\x\\", faAnyFile, true, "*.*").empty());

  // 30 nested folders, a file in each and in the start folder.
  fs::path Dir = Card / "deep";
  std::string WinDir = "F:\\deep\\";
  test::WriteFile(Dir / "f.txt", "");
  for (int I = 0; I < 30; ++I) {
    Dir /= "d" + std::to_string(I);
    test::WriteFile(Dir / "f.txt", "");
  }
  TDirSearch Search("F:\\deep\\", faAnyFile, true, "*.txt");
  int Files = 0, Dirs = 0, MaxLevel = 0;
  std::string Deepest;
  for (;;) {
    TSearchRec Found;
    std::string Path = Search.NextFile(Found);
    if (Path.empty()) break;
    MaxLevel = std::max(MaxLevel, Search.CurrentLevel());
    if (Path.back() == '\\') {
      ++Dirs;
    } else {
      ++Files;
      if (Path.size() > Deepest.size()) Deepest = Path;
    }
  }
  // The start folder and 20 levels below it: d0 .. d19 are entered, the
  // folders found inside d19 are neither yielded nor entered.
  EXPECT_EQ(MaxLevel, TDirSearch::kMaxDepth);
  EXPECT_EQ(Dirs, 20);
  EXPECT_EQ(Files, 21);
  EXPECT_NE(Deepest.find("\\d19\\f.txt"), std::string::npos) << Deepest;
}

// Under the sanitizer build, a search left open by the destroyed walk shows
// as a leak when the test program ends.
TEST_F(DirWalk, AWalkDestroyedHalfWayClosesItsSearches) {
  fs::path Dir = Card / "w";
  for (int I = 0; I < 8; ++I) {
    Dir /= "level" + std::to_string(I);
    test::WriteFile(Dir / "a.txt", "");
    test::WriteFile(Dir / "b.txt", "");
  }
  {
    TDirSearch Search("F:\\w\\", faAnyFile, true, "*.*");
    TSearchRec Found;
    while (Search.CurrentLevel() < 6) ASSERT_FALSE(Search.NextFile(Found).empty());
  }
  // The tree is untouched and a fresh walk sees all of it.
  TNames All = Walk("F:\\w\\", faAnyFile, true, "*.*");
  EXPECT_EQ(All.size(), 8u + 16u);
}

TEST_F(DirWalk, FileStreamBuffersAndOwnsItsFile) {
  const std::string Data = test::RandomBytes(20000, 3);
  {
    TLFNFileStream Out("F:\\out.bin", fmCreate, true, 8192);
    EXPECT_TRUE(Out.SyncOnClose());
    EXPECT_GE(Out.Handle(), 0);
    EXPECT_EQ(Out.FileName(), "F:\\out.bin");
    Out.WriteBuffer(Data.data(), 100);
    Out.WriteBuffer(Data.data() + 100, static_cast<int64_t>(Data.size()) - 100);
  }  // the last buffered bytes are written before the file closes
  EXPECT_EQ(test::ReadFile(Card / "out.bin"), Data);

  {
    TLFNFileStream In("F:\\out.bin", fmOpenRead | fmShareDenyWrite, true, 8192);
    EXPECT_FALSE(In.SyncOnClose());  // read-only: nothing to flush
    EXPECT_EQ(In.Size(), static_cast<int64_t>(Data.size()));
    std::string Back(Data.size(), '\0');
    In.ReadBuffer(Back.data(), static_cast<int64_t>(Back.size()));
    EXPECT_EQ(Back, Data);
  }
  {
    TLFNFileStream Both("F:\\out.bin", fmOpenReadWrite, true, 16);
    EXPECT_TRUE(Both.SyncOnClose());
    Both.Seek(10, soBeginning);
    Both.WriteBuffer("XYZ", 3);
  }
  EXPECT_EQ(test::ReadFile(Card / "out.bin").substr(8, 7), Data.substr(8, 2) + "XYZ" + Data.substr(13, 2));
  {
    TLFNFileStream NoFlush("F:\\out.bin", fmOpenWrite, false, 16);
    EXPECT_FALSE(NoFlush.SyncOnClose());
  }

  EXPECT_THROW(TLFNFileStream("F:\\missing.bin", fmOpenRead, false, 8192), EFOpenError);
  EXPECT_THROW(TLFNFileStream("F:\\no\\dir\\x.bin", fmCreate, false, 8192), EFCreateError);
}

}  // namespace
}  // namespace zem

// The expansion of FilesList on a real card tree: plain names, walks with
// and without recursion, exclusion, attribute mask, archive bit, freshen.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "archive/support/path_helpers.h"
#include "platform/fault_file_system.h"
#include "platform/winapi.h"
#include "writer_fixture.h"

namespace zem::test {
namespace {

using Names = std::vector<std::string>;

Names Sorted(Names N) {
  std::sort(N.begin(), N.end());
  return N;
}

class ExpansionTest : public WriterTest {
 protected:
  void SetUp() override {
    WriterTest::SetUp();
    Put("DCIM/a.jpg", "aaa");                 // 3
    Put("DCIM/b.txt", "bbbbb");               // 5
    Put("DCIM/.hidden.jpg", "hh");            // 2, hidden by its leading dot
    Put("DCIM/sub/c.jpg", "cccccccc");        // 8
    Put("DCIM/sub/deep/d.JPG", "ddddddddddddd");  // 13
    Put("top.txt", "0123456789");             // 10
    Put("logs/mon/day1/x.txt", "x");
    Put("logs/mon/day1/x.log", "xxxx");
    Put("logs/tue/day2/y.txt", "yy");
    Put("logs/tue/other/z.txt", "zzz");
    Put("12:30:05.jpg", "1234567");           // 7, a colon inside a Linux name
    Log.Attach(Zip);
  }

  TFileListExpansion Expand(const Names& List) {
    Zip.SetFilesList(List);
    return Zip.ExpandFileList();
  }

  TArcZip Zip;
  TExpansionLog Log;
};

TEST_F(ExpansionTest, PlainNamesAreCheckedOneByOne) {
  // Recurse plays no part for names without wildcards; a directory entry
  // stays as it is; a missing file is reported and dropped; a name without
  // a folder is taken below RootDir.
  Zip.SetRecurse(true);
  Zip.SetRootDir("F:\\DCIM");
  const auto R = Expand({"F:\\top.txt", "F:\\DCIM\\nothing.jpg", "F:\\DCIM\\sub\\", "b.txt",
                         "F:\\DCIM\\sub\\c.jpg", "F:\\12:30:05.jpg"});
  EXPECT_EQ(Zip.FilesList(), (Names{"F:\\top.txt", "F:\\DCIM\\sub\\", "F:\\DCIM\\b.txt",
                                    "F:\\DCIM\\sub\\c.jpg", "F:\\12:30:05.jpg"}));
  EXPECT_EQ(Log.Missing, Names{"F:\\DCIM\\nothing.jpg"});
  EXPECT_TRUE(Log.Recursed.empty());  // nothing was walked
  EXPECT_EQ(R.NumFiles, 5);
  EXPECT_EQ(R.TotalBytes, 10 + 5 + 8 + 7);
  EXPECT_EQ(R.PathLengthSum, 0);  // only counted for the multi-volume reserve

  // A bare name without RootDir is looked up relative to the current folder.
  Log.Missing.clear();
  Zip.SetRootDir("");
  Expand({"surely-not-here.bin"});
  EXPECT_TRUE(Zip.FilesList().empty());
  EXPECT_EQ(Log.Missing, Names{"surely-not-here.bin"});
}

TEST_F(ExpansionTest, WildcardNamesWithAndWithoutRecursion) {
  // Without recursion: the files of the folder only; hidden ones stay out.
  auto R = Expand({"F:\\DCIM\\*.*"});
  EXPECT_EQ(Sorted(Zip.FilesList()), (Names{"F:\\DCIM\\a.jpg", "F:\\DCIM\\b.txt"}));
  EXPECT_EQ(R.TotalBytes, 3 + 5);
  EXPECT_EQ(Sorted(Log.Recursed), Sorted(Zip.FilesList()));

  // With Recurse: subfolders too, matched by pattern without regard to case;
  // directories are yielded to OnRecursingFile but not listed.
  Zip.SetRecurse(true);
  Log.Recursed.clear();
  R = Expand({"F:\\DCIM\\*.jpg"});
  EXPECT_EQ(Sorted(Zip.FilesList()),
            (Names{"F:\\DCIM\\a.jpg", "F:\\DCIM\\sub\\c.jpg", "F:\\DCIM\\sub\\deep\\d.JPG"}));
  EXPECT_EQ(R.TotalBytes, 3 + 8 + 13);
  EXPECT_NE(std::find(Log.Recursed.begin(), Log.Recursed.end(), "F:\\DCIM\\sub\\"),
            Log.Recursed.end());

  // A leading '|' forbids recursion whatever Recurse says; '>' asks for it.
  R = Expand({"|F:\\DCIM\\*.jpg"});
  EXPECT_EQ(Zip.FilesList(), Names{"F:\\DCIM\\a.jpg"});
  Zip.SetRecurse(false);
  R = Expand({">F:\\DCIM\\sub\\*.*"});
  EXPECT_EQ(Sorted(Zip.FilesList()), (Names{"F:\\DCIM\\sub\\c.jpg", "F:\\DCIM\\sub\\deep\\d.JPG"}));

  // Wildcard names are walked after the plain names, in the order met.
  R = Expand({"F:\\DCIM\\sub\\*.jpg", "F:\\top.txt", "F:\\DCIM\\a.*"});
  EXPECT_EQ(Zip.FilesList(), (Names{"F:\\top.txt", "F:\\DCIM\\sub\\c.jpg", "F:\\DCIM\\a.jpg"}));
  EXPECT_EQ(R.TotalBytes, 10 + 8 + 3);
}

TEST_F(ExpansionTest, DirectoryEntriesOnRecurseAndWildcardFolders) {
  Zip.SetAddDirEntriesOnRecurse(true);
  Zip.SetRecurse(true);
  Expand({"F:\\DCIM\\*.jpg"});
  const Names& L = Zip.FilesList();
  auto At = [&L](const std::string& N) { return std::find(L.begin(), L.end(), N) - L.begin(); };
  ASSERT_LT(At("F:\\DCIM\\sub\\"), static_cast<long>(L.size()));
  ASSERT_LT(At("F:\\DCIM\\sub\\deep\\"), static_cast<long>(L.size()));
  // A folder comes before what it holds.
  EXPECT_LT(At("F:\\DCIM\\sub\\"), At("F:\\DCIM\\sub\\c.jpg"));
  EXPECT_LT(At("F:\\DCIM\\sub\\deep\\"), At("F:\\DCIM\\sub\\deep\\d.JPG"));
  EXPECT_EQ(L.size(), 5u);

  // Without recursion no directory entry is added even when asked for.
  Expand({"|F:\\DCIM\\*.jpg"});
  EXPECT_EQ(Zip.FilesList(), Names{"F:\\DCIM\\a.jpg"});

  // Wildcard folder components: every folder of logs, then day? in it.
  Zip.SetRecurse(false);
  Zip.SetAddDirEntriesOnRecurse(false);
  const auto R = Expand({"F:\\logs\\*\\day?\\*.txt"});
  EXPECT_EQ(Sorted(Zip.FilesList()),
            (Names{"F:\\logs\\mon\\day1\\x.txt", "F:\\logs\\tue\\day2\\y.txt"}));
  EXPECT_EQ(R.TotalBytes, 1 + 2);
}

TEST_F(ExpansionTest, MissingFoldersAndRootDirForBarePatterns) {
  Expand({"F:\\nowhere\\*.jpg", "|F:\\nowhere\\x?.txt"});
  EXPECT_TRUE(Zip.FilesList().empty());
  EXPECT_EQ(Log.Missing, (Names{"F:\\nowhere\\*.jpg", "F:\\nowhere\\x?.txt"}));

  // A pattern without a folder walks RootDir.
  Log.Missing.clear();
  Zip.SetRootDir("F:\\DCIM\\sub");
  Expand({"*.jpg"});
  EXPECT_EQ(Zip.FilesList(), Names{"F:\\DCIM\\sub\\c.jpg"});
  EXPECT_TRUE(Log.Missing.empty());
}

// The archive is known by identity: another spelling of its name (here
// through "..") still leaves it out, and a distinct file whose name differs
// only in case (same size, too) is kept.
TEST_F(ExpansionTest, TheArchiveItselfIsLeftOutOfWalksOnly) {
  Put("DCIM/Backup.zip", "PK");
  Put("DCIM/BACKUP.ZIP", "pk");
  Zip.SetZipName("F:\\DCIM\\sub\\..\\Backup.zip");
  Expand({"F:\\DCIM\\*.*"});
  EXPECT_EQ(Sorted(Zip.FilesList()),
            (Names{"F:\\DCIM\\BACKUP.ZIP", "F:\\DCIM\\a.jpg", "F:\\DCIM\\b.txt"}));
  EXPECT_TRUE(Log.Skips.empty());  // dropped silently

  Expand({"F:\\DCIM\\Backup.zip"});
  EXPECT_EQ(Zip.FilesList(), Names{"F:\\DCIM\\Backup.zip"});
}

TEST_F(ExpansionTest, ExclusionByFilePartAndByWholePath) {
  // "*.TXT" is matched against file parts, without regard to case; an entry
  // with '\' against the whole name.
  Zip.SetExcludeList({"*.TXT", "f:\\dcim\\sub\\deep\\*"});
  Zip.SetRecurse(true);
  const auto R = Expand({"F:\\top.txt", "F:\\DCIM\\*.*", "F:\\DCIM\\sub\\c.jpg"});
  EXPECT_EQ(Sorted(Zip.FilesList()),
            (Names{"F:\\DCIM\\a.jpg", "F:\\DCIM\\sub\\c.jpg", "F:\\DCIM\\sub\\c.jpg"}));
  EXPECT_EQ(R.TotalBytes, 3 + 8 + 8);
  EXPECT_EQ(Sorted(Log.SkippedFor(srExcludeList)),
            (Names{"F:\\DCIM\\b.txt", "F:\\DCIM\\sub\\deep\\d.JPG", "F:\\top.txt"}));
  for (const auto& S : Log.Skips) EXPECT_EQ(S.Index, -1);
  // Excluded names are still seen by the walk before they are dropped.
  EXPECT_NE(std::find(Log.Recursed.begin(), Log.Recursed.end(), "F:\\DCIM\\b.txt"),
            Log.Recursed.end());
}

TEST_F(ExpansionTest, HiddenFilesFollowTheAttributeMask) {
  Expand({"F:\\DCIM\\.hidden.jpg", "F:\\DCIM\\*.jpg"});
  EXPECT_EQ(Zip.FilesList(), Names{"F:\\DCIM\\a.jpg"});
  EXPECT_EQ(Log.Missing, Names{"F:\\DCIM\\.hidden.jpg"});

  Zip.SetIncludeHiddenFiles(true);
  const auto R = Expand({"F:\\DCIM\\.hidden.jpg", "F:\\DCIM\\*.jpg"});
  EXPECT_EQ(Zip.FilesList()[0], "F:\\DCIM\\.hidden.jpg");
  EXPECT_EQ(Sorted(Zip.FilesList()),
            (Names{"F:\\DCIM\\.hidden.jpg", "F:\\DCIM\\.hidden.jpg", "F:\\DCIM\\a.jpg"}));
  EXPECT_EQ(R.TotalBytes, 2 + 2 + 3);
}

TEST(ArchiveBitRule, DecidesFromTheGivenAttributes) {
  EXPECT_FALSE(TArcZip::ArchiveBitDrops(0x20, true));
  EXPECT_FALSE(TArcZip::ArchiveBitDrops(0x21, true));
  EXPECT_TRUE(TArcZip::ArchiveBitDrops(0x01, true));
  EXPECT_TRUE(TArcZip::ArchiveBitDrops(0x00, true));
  EXPECT_FALSE(TArcZip::ArchiveBitDrops(0x00, false));
}

TEST_F(ExpansionTest, ArchiveBitRuleFollowsThePlatformAttributes) {
  // Outside vfat the platform reports the archive bit set for every file, so
  // the files must stay; on vfat the bit really decides.
  Zip.SetSkipIfArchiveBitNotSet(true);
  Expand({"F:\\top.txt", "F:\\DCIM\\*.jpg"});
  Names Expected;
  for (const std::string N : {"F:\\top.txt", "F:\\DCIM\\a.jpg"}) {
    const uint32_t Attr = platform::GetFileAttributesA(N.c_str());
    ASSERT_NE(Attr, platform::INVALID_FILE_ATTRIBUTES);
    if (!TArcZip::ArchiveBitDrops(Attr, true)) Expected.push_back(N);
  }
  EXPECT_EQ(Zip.FilesList(), Expected);
  EXPECT_EQ(Log.SkippedFor(srArchiveBitNotSet).size(), 2 - Expected.size());
}

TEST_F(ExpansionTest, FreshenKeepsOnlyFilesWithAnExistingEntry) {
  // Entries match exactly: "dcim\\b.txt" is no entry for DCIM\\b.txt.
  WriteArchive("F:\\old.zip", {"DCIM\\a.jpg", "top.txt", "DCIM\\sub\\other.jpg", "dcim\\b.txt"});
  Zip.SetZipName("F:\\old.zip");
  Zip.ReadDirectory();
  ASSERT_EQ(Zip.Count(), 4);
  Zip.SetStorePaths(true);
  Zip.SetZipAction(zaFreshen);
  Zip.SetRecurse(true);
  const auto R = Expand({"F:\\DCIM\\a.jpg", "F:\\DCIM\\b.txt", "F:\\top.txt", "F:\\DCIM\\*.jpg"});
  EXPECT_EQ(Zip.FilesList(), (Names{"F:\\DCIM\\a.jpg", "F:\\top.txt", "F:\\DCIM\\a.jpg"}));
  EXPECT_EQ(R.TotalBytes, 3 + 10 + 3);
  EXPECT_EQ(Sorted(Log.SkippedFor(srNoFileToFreshen)),
            (Names{"F:\\DCIM\\b.txt", "F:\\DCIM\\sub\\c.jpg", "F:\\DCIM\\sub\\deep\\d.JPG"}));
  EXPECT_EQ(Zip.SortMode(), ByNone);

  // Without stored paths the directory plays no part: only top.txt has an
  // entry of its bare name.
  Zip.SetStorePaths(false);
  Log.Skips.clear();
  Expand({"F:\\DCIM\\a.jpg", "F:\\top.txt"});
  EXPECT_EQ(Zip.FilesList(), Names{"F:\\top.txt"});

  // Other actions do not consult the directory.
  Zip.SetZipAction(zaUpdate);
  Expand({"F:\\DCIM\\b.txt"});
  EXPECT_EQ(Zip.FilesList(), Names{"F:\\DCIM\\b.txt"});
}

TEST_F(ExpansionTest, AHandlerThatRaisesLeavesTheListAndViewAsTheyWere) {
  WriteArchive("F:\\old.zip", {"top.txt"});
  Zip.SetZipName("F:\\old.zip");
  Zip.ReadDirectory();
  Zip.SetZipAction(zaFreshen);
  Zip.OnNoSuchFile = [](TObject*, const std::string&) { throw std::runtime_error("stop"); };
  const Names List{"F:\\top.txt", "F:\\missing.txt", "F:\\DCIM\\*.jpg"};
  Zip.SetFilesList(List);
  EXPECT_THROW(Zip.ExpandFileList(), std::runtime_error);
  EXPECT_EQ(Zip.FilesList(), List);
  EXPECT_EQ(Zip.SortMode(), ByNone);
}

// What the system will not show is said, never passed over: a folder that
// cannot be listed, a name in a folder that cannot be looked at (a worn
// card), and a named file likewise.
TEST_F(ExpansionTest, WhatCannotBeLookedAtIsReportedWithTheSystemsReason) {
  platform::TFaultFileSystem Fault;
  Fault.Add({.Op = platform::TFsOp::List, .Path = "*/logs/tue", .Error = EACCES});
  Fault.Add({.Op = platform::TFsOp::Stat, .Path = "*/DCIM/sub/c.jpg", .Error = EIO});
  std::vector<std::string> Said;
  Zip.OnSkippingFile = [&](TObject*, TSkipReason Reason, const std::string& Name, int32_t, bool&) {
    if (Reason == srFileOpenError) Said.push_back(Name + ": " + Zip.SkipCause());
  };
  Zip.OnNoSuchFile = [&](TObject*, const std::string& Name) { Said.push_back(Name + ": " + Zip.SkipCause()); };
  Zip.SetRecurse(true);
  {
    platform::TFileSystemOverride Guard(Fault);
    Expand({"F:\\*.*", "F:\\DCIM\\sub\\c.jpg"});
  }
  const std::string Io = platform::SysErrorMessage(platform::ErrnoToWinError(EIO));
  EXPECT_EQ(Sorted(Said), Sorted({"F:\\DCIM\\sub\\: not every entry of the folder can be read: " + Io,
                                  "F:\\logs\\tue\\: the folder cannot be read: " +
                                      platform::SysErrorMessage(platform::ErrnoToWinError(EACCES)),
                                  "F:\\DCIM\\sub\\c.jpg: " + Io}));
  EXPECT_EQ(std::count(Zip.FilesList().begin(), Zip.FilesList().end(), "F:\\DCIM\\sub\\deep\\d.JPG"), 1);
}

TEST_F(ExpansionTest, WalksPumpMessagesAndCountsStoredNameLengths) {
  Zip.SetRecurse(true);
  Zip.SetAddDirEntriesOnRecurse(true);
  Zip.SetStorePaths(true);
  Zip.MultiZipInfo().SetMultiMode(mmBlocks);
  Zip.MultiZipInfo().SetSaveZipInfoOnFirstDisk(true);
  const int PumpsBefore = Pumps->Pumps;
  const auto R = Expand({"F:\\DCIM\\sub\\", "F:\\top.txt", "F:\\DCIM\\sub\\*.jpg"});
  // One pump per file a walk keeps in view (directories are not pumped).
  EXPECT_EQ(Pumps->Pumps - PumpsBefore, 2);
  int64_t Sum = 0;
  for (const std::string& N : Zip.FilesList()) Sum += static_cast<int64_t>(N.size()) - 2;
  ASSERT_EQ(Zip.FilesList().size(), 5u);  // sub\, top.txt, c.jpg, deep\, d.JPG
  EXPECT_EQ(R.PathLengthSum, Sum / 5);

  // Pumping follows DoProcessMessages.
  Zip.SetDoProcessMessages(false);
  const int PumpsNow = Pumps->Pumps;
  Expand({"F:\\DCIM\\sub\\*.jpg"});
  EXPECT_EQ(Pumps->Pumps, PumpsNow);

  // Without stored paths nothing is reserved.
  Zip.SetStorePaths(false);
  EXPECT_EQ(Expand({"F:\\top.txt"}).PathLengthSum, 0);
}

}  // namespace
}  // namespace zem::test

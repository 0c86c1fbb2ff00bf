// Archives without a usable end record, damaged central directories, the
// local-header rebuild, the repair file and the directory cache.
#include <gtest/gtest.h>

#include <chrono>

#include "arc_unzip_fixture.h"

namespace zem {
namespace {

using test::ReaderTest;

const std::vector<std::string> SourceNames = {"notes.txt", "data\\table.bin", "runs.dat", "one.txt",
                                              "big.txt"};

std::vector<std::string> Names(const TArcUnZip& Zip) {
  std::vector<std::string> Out;
  for (int I = 0; I < Zip.Count(); ++I) Out.push_back(Zip.EntryHeader(I).FullName());
  return Out;
}

TEST_F(ReaderTest, NoEndRecordUnderEachPolicy) {
  const std::string Name = Interop("damaged/dmg_no_end_record.zip");
  {  // refused after the handler ran once; everything cleared
    TArcUnZip Zip;
    Zip.SetZipName(Name);
    Zip.SetIncompleteZipMode(izAssumeNotAZip);
    int Calls = 0;
    Zip.OnInCompleteZip = [&](TObject* Sender, TIncompleteZipMode& M) {
      EXPECT_EQ(Sender, &Zip);
      EXPECT_EQ(M, izAssumeNotAZip);
      ++Calls;
    };
    try {
      Zip.ReadDirectory();
      FAIL() << "no error";
    } catch (const ENotAZipFile& E) {
      EXPECT_EQ(E.Message(), "Not a valid zip file!");
    }
    EXPECT_EQ(Calls, 1);
    EXPECT_EQ(Zip.ZipName(), "");
    EXPECT_EQ(Zip.Count(), 0);
    EXPECT_FALSE(Zip.Busy());
  }
  {  // assumed multi-disk, no handler: quietly empty
    TArcUnZip Zip;
    Zip.SetZipName(Name);
    EXPECT_NO_THROW(Zip.ReadDirectory());
    EXPECT_EQ(Zip.Count(), 0);
    EXPECT_EQ(Zip.ZipName(), Name);
  }
  {  // a handler that leaves the policy and the file alone is not asked for ever
    TArcUnZip Zip;
    Zip.SetZipName(Name);
    int Calls = 0;
    Zip.OnInCompleteZip = [&](TObject*, TIncompleteZipMode&) { ++Calls; };
    EXPECT_NO_THROW(Zip.ReadDirectory());
    EXPECT_EQ(Calls, 1);
    EXPECT_EQ(Zip.Count(), 0);
  }
  {  // a handler that switches to a rebuild
    TArcUnZip Zip;
    Zip.SetZipName(Name);
    Zip.OnInCompleteZip = [&](TObject*, TIncompleteZipMode& M) { M = izAssumeBad; };
    Zip.ReadDirectory();
    EXPECT_EQ(Names(Zip), SourceNames);
    EXPECT_EQ(Zip.IncompleteZipMode(), izAssumeBad);
  }
}

TEST_F(ReaderTest, RebuildFromLocalHeadersIsCompletedByTheCentralDirectory) {
  for (const char* File : {"damaged/dmg_no_end_record.zip", "damaged/dmg_no_end_record_cd_tail.zip",
                           "damaged/dmg_central_dir_garbage.zip"}) {
    SCOPED_TRACE(File);
    TArcUnZip Zip;
    Zip.SetZipName(Interop(File));
    Zip.SetIncompleteZipMode(izAssumeBad);
    Zip.ReadDirectory();
    EXPECT_TRUE(Zip.ScanMode());
    ASSERT_EQ(Names(Zip), SourceNames);
    EXPECT_EQ(Zip.EntryHeader(1).RelativeOffset(), 3487u);
    EXPECT_EQ(Zip.EntryUncompressedSize(4), 150000u);
    EXPECT_EQ(Zip.EndRecord().TotalEntries(), 5u);
    EXPECT_EQ(Zip.EndRecord().CentralDirOffset(), 69233u);
  }
  // The made-by field exists only in central headers: where the central
  // directory survived, the scan's entries took it over.
  TArcUnZip Zip;
  Zip.SetZipName(Interop("damaged/dmg_no_end_record.zip"));
  Zip.SetIncompleteZipMode(izAssumeBad);
  Zip.ReadDirectory();
  TArcUnZip Intact;
  Intact.SetZipName(Interop("damaged/dmg_source.zip"));
  Intact.ReadDirectory();
  for (int I = 0; I < 5; ++I) {
    EXPECT_EQ(Zip.EntryHeader(I).VersionMadeBy(), Intact.EntryHeader(I).VersionMadeBy());
    EXPECT_EQ(Zip.EntryHeader(I).ExternalAttributes(), Intact.EntryHeader(I).ExternalAttributes());
  }
}

TEST_F(ReaderTest, TruncatedAndJunkFiles) {
  {
    TArcUnZip Zip;
    Zip.SetZipName(Interop("damaged/dmg_truncated_last_entry.zip"));
    Zip.SetIncompleteZipMode(izAssumeBad);
    Zip.ReadDirectory();
    ASSERT_GE(Zip.Count(), 4);
    for (int I = 0; I < 4; ++I) EXPECT_EQ(Zip.EntryHeader(I).FullName(), SourceNames[I]);
  }
  {
    TArcUnZip Zip;
    Zip.SetZipName(Interop("damaged/dmg_random_10_bytes.zip"));
    Zip.SetIncompleteZipMode(izAssumeBad);
    try {
      Zip.ReadDirectory();
      FAIL() << "no error";
    } catch (const EBadZipFile& E) {
      EXPECT_EQ(E.Message(), "Not a valid zip file!");
    }
    EXPECT_EQ(Zip.ZipName(), "");
  }
  {  // an empty file is an empty archive
    TArcUnZip Zip;
    Zip.SetZipName(Interop("damaged/dmg_zero_bytes.zip"));
    Zip.SetIncompleteZipMode(izAssumeNotAZip);
    EXPECT_NO_THROW(Zip.ReadDirectory());
    EXPECT_EQ(Zip.Count(), 0);
  }
  {  // a missing file: the open error, everything cleared
    TArcUnZip Zip;
    Zip.SetZipName(Temp("missing.zip"));
    EXPECT_THROW(Zip.ReadDirectory(), EFOpenError);
    EXPECT_EQ(Zip.ZipName(), "");
  }
}

TEST_F(ReaderTest, SelfExtractorScanStartsAt14000) {
  std::string Bytes = test::ReadFile(InteropNative("damaged/sfx_adjusted.exe"));
  Bytes.resize(Bytes.size() - 22);  // end record gone
  // A local header planted in the stub, before offset 14000.
  const std::string Planted = test::BuildArchive({{"stub.txt", "zz", ""}});
  Bytes.replace(100, Planted.size(), Planted);
  test::WriteFile(Dir / "SETUP.Exe", Bytes);
  test::WriteFile(Dir / "setup.zip", Bytes);

  TArcUnZip Zip;
  Zip.SetZipName(Temp("SETUP.Exe"));
  Zip.SetIncompleteZipMode(izAssumeBad);
  Zip.ReadDirectory();
  ASSERT_EQ(Names(Zip), SourceNames);
  EXPECT_EQ(Zip.EntryHeader(0).RelativeOffset(), 14400u);

  TArcUnZip Plain;  // the same bytes under another extension: searched from 0
  Plain.SetZipName(Temp("setup.zip"));
  Plain.SetIncompleteZipMode(izAssumeBad);
  Plain.ReadDirectory();
  ASSERT_GE(Plain.Count(), 1);
  EXPECT_EQ(Plain.EntryHeader(0).FullName(), "stub.txt");
  EXPECT_EQ(Plain.EntryHeader(0).RelativeOffset(), 100u);
}

TEST_F(ReaderTest, EndRecordNamingDisk1000CountsAsMissing) {
  std::string Bytes = test::ReadFile(InteropNative("damaged/dmg_source.zip"));
  const size_t End = Bytes.size() - 22;
  Bytes[End + 4] = static_cast<char>(1000 & 0xFF);
  Bytes[End + 5] = static_cast<char>(1000 >> 8);
  test::WriteFile(Dir / "d1000.zip", Bytes);
  TArcUnZip Zip;
  Zip.SetZipName(Temp("d1000.zip"));
  Zip.SetIncompleteZipMode(izAssumeNotAZip);
  EXPECT_THROW(Zip.ReadDirectory(), ENotAZipFile);
}

TEST_F(ReaderTest, DuplicateLocalOffsetsAreRebuiltByTheScan) {
  std::vector<int64_t> Offsets;
  std::string Bytes = test::BuildArchive({{"a.txt", "aaaa", ""}, {"b.txt", "bb", ""}}, "", &Offsets);
  const size_t Second = Bytes.find("PK\x01\x02", Bytes.find("PK\x01\x02") + 4);
  ASSERT_NE(Second, std::string::npos);
  for (int I = 0; I < 4; ++I) Bytes[Second + 42 + I] = 0;  // offset of b.txt := 0
  test::WriteFile(Dir / "dup.zip", Bytes);
  TArcUnZip Zip;
  Zip.SetZipName(Temp("dup.zip"));
  Zip.ReadDirectory();
  ASSERT_EQ(Zip.Count(), 2);
  EXPECT_TRUE(Zip.ScanMode());
  EXPECT_EQ(Zip.EntryHeader(0).FullName(), "a.txt");
  EXPECT_EQ(Zip.EntryHeader(1).FullName(), "b.txt");
  EXPECT_EQ(Zip.EntryHeader(1).RelativeOffset(), static_cast<uint64_t>(Offsets[1]));
}

// An end record that counts fewer entries than the central directory holds
// (its count cut, or a stray end record in the archive comment found
// first) must not hide the entries after the count.
TEST_F(ReaderTest, CentralHeadersBeyondTheEndRecordCountAreRead) {
  const std::string Sound =
      test::BuildArchive({{"a.txt", "aaaa", ""}, {"b.txt", "bb", ""}, {"c.txt", "c", ""}});
  const size_t End = Sound.size() - 22;
  auto WithCount = [](std::string Record, char N) {
    Record[8] = Record[10] = N;
    return Record;
  };
  std::string CountCut = Sound;
  CountCut.replace(End, 22, WithCount(Sound.substr(End), 2));
  std::string StrayInComment = Sound;
  const std::string Comment = "note " + WithCount(Sound.substr(End), 1);
  StrayInComment[End + 20] = static_cast<char>(Comment.size());
  StrayInComment += Comment;
  for (const std::string* Bytes : {&CountCut, &StrayInComment}) {
    SCOPED_TRACE(Bytes == &CountCut ? "count cut" : "stray end record");
    test::WriteFile(Dir / "more.zip", *Bytes);
    TArcUnZip Zip;
    Zip.SetZipName(Temp("more.zip"));
    Zip.ReadDirectory();
    EXPECT_FALSE(Zip.ScanMode());
    EXPECT_EQ(Names(Zip), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
    ASSERT_EQ(Zip.DirectoryWarnings().size(), 1u);
    EXPECT_NE(Zip.DirectoryWarnings()[0].find("holds 3"), std::string::npos) << Zip.DirectoryWarnings()[0];
    Zip.SetDoAll(true);
    EXPECT_EQ(Zip.TestZip(), 3);
  }
}

// A rebuild that finds fewer entries than the end record lists says how
// many are missing.
TEST_F(ReaderTest, RebuildShortOfTheEndRecordCountSaysSo) {
  std::vector<int64_t> Offsets;
  std::string Bytes =
      test::BuildArchive({{"a.txt", "aaaa", ""}, {"b.txt", "bb", ""}, {"c.txt", "c", ""}}, "", &Offsets);
  Bytes[Bytes.find("PK\x01\x02") + 3] = 9;           // the directory cannot be read
  Bytes[static_cast<size_t>(Offsets[1]) + 3] = 9;  // and the scan stops before b.txt
  test::WriteFile(Dir / "short.zip", Bytes);
  TArcUnZip Zip;
  Zip.SetZipName(Temp("short.zip"));
  Zip.ReadDirectory();
  EXPECT_TRUE(Zip.ScanMode());
  ASSERT_EQ(Names(Zip), std::vector<std::string>{"a.txt"});
  ASSERT_EQ(Zip.DirectoryWarnings().size(), 1u);
  EXPECT_NE(Zip.DirectoryWarnings()[0].find("lists 3 entries"), std::string::npos) << Zip.DirectoryWarnings()[0];
}

TEST_F(ReaderTest, RepairFileSuppliesTheDirectory) {
  const std::string Bytes = test::BuildArchive({{"a.txt", "aaaa", ""}, {"d\\b.txt", "bb", ""}});
  const size_t Central = Bytes.find("PK\x01\x02");
  test::WriteFile(Dir / "r.zip", Bytes.substr(0, Central));
  test::WriteFile(Dir / "r.zfc", Bytes.substr(Central));
  TArcUnZip Zip;
  Zip.SetZipName(Temp("r.zip"));
  Zip.SetIncompleteZipMode(izAssumeNotAZip);
  Zip.ReadDirectory();
  ASSERT_EQ(Zip.Count(), 2);
  EXPECT_FALSE(Zip.ScanMode());
  EXPECT_EQ(Zip.EntryHeader(1).FullName(), "d\\b.txt");
  EXPECT_EQ(Zip.CurrentDisk(), 0);
}

TEST_F(ReaderTest, DirectoryIsCachedUntilTheFileChanges) {
  namespace fs = std::filesystem;
  const fs::path P = Dir / "cache.zip";
  test::WriteFile(P, test::BuildArchive({{"a.txt", "1", ""}}));
  TArcUnZip Zip;
  Zip.SetZipName(Temp("cache.zip"));
  Zip.ReadDirectory();
  Zip.ReadDirectory();
  EXPECT_EQ(Zip.LoadCount(), 1);
  EXPECT_EQ(Zip.EntryName(0), "a.txt");

  // Same size, rewritten within the same second: noticed.
  const auto Before = fs::last_write_time(P);
  test::WriteFile(P, test::BuildArchive({{"b.txt", "2", ""}}));
  fs::last_write_time(P, Before + std::chrono::microseconds(1));
  Zip.ReadDirectory();
  EXPECT_EQ(Zip.LoadCount(), 2);
  EXPECT_EQ(Zip.EntryName(0), "b.txt");

  // A read-out that needs the file does not reload an unchanged one.
  test::WriteFile(P, test::BuildArchive({{"c.txt", "3", "note"}}));
  Zip.ReadDirectory();
  EXPECT_EQ(Zip.EntryComment(0), "note");
  EXPECT_EQ(Zip.LoadCount(), 3);
}

TEST_F(ReaderTest, ReloadAfterScanReadsTheDirectoryNormally) {
  namespace fs = std::filesystem;
  const fs::path P = Dir / "later.zip";
  std::string Bytes = test::BuildArchive({{"a.txt", "1", ""}});
  test::WriteFile(P, Bytes.substr(0, Bytes.size() - 22));
  TArcUnZip Zip;
  Zip.SetZipName(Temp("later.zip"));
  Zip.SetIncompleteZipMode(izAssumeBad);
  Zip.ReadDirectory();
  ASSERT_EQ(Zip.Count(), 1);
  EXPECT_TRUE(Zip.ScanMode());

  test::WriteFile(P, test::BuildArchive({{"x.txt", "1", ""}, {"y.txt", "22", ""}, {"z.txt", "", ""}}));
  Zip.ReadDirectory();
  EXPECT_FALSE(Zip.ScanMode());
  EXPECT_EQ(Names(Zip), (std::vector<std::string>{"x.txt", "y.txt", "z.txt"}));
}

TEST_F(ReaderTest, MessagePumpRunsPerEntryWhenAllowed) {
  TArcUnZip Zip;
  Zip.SetZipName(Interop("damaged/dmg_source.zip"));
  Zip.SetDoProcessMessages(false);
  Zip.ReadDirectory();
  EXPECT_EQ(Services->Pumps, 0);
  TArcUnZip Pumping;
  Pumping.SetZipName(Interop("damaged/dmg_source.zip"));
  Pumping.ReadDirectory();
  EXPECT_EQ(Services->Pumps, 5);
}

TEST_F(ReaderTest, KeepZipOpenAndClearArchive) {
  TArcUnZip Zip;
  Zip.SetZipName(Interop("damaged/dmg_source.zip"));
  Zip.SetKeepZipOpen(true);
  Zip.ReadDirectory();
  EXPECT_EQ(Zip.Count(), 5);
  Zip.ClearArchive();
  EXPECT_TRUE(Zip.KeepZipOpen());
  EXPECT_EQ(Zip.Count(), 0);
  EXPECT_EQ(Zip.ZipName(), "");
  EXPECT_EQ(Zip.DiskCount(), 1);
  EXPECT_FALSE(Zip.RecordedStamp().Valid);
}

}  // namespace
}  // namespace zem

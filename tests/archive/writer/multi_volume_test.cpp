// Multi-volume writing: block sets under both namings read back and
// extracted by our reader, the room rules for headers, data and the central
// directory, the configuration file, Info-ZIP joining a set, and spans over
// fake removable disks swapped by the disk request, with their labels, the
// first disk's reserve and cancelled requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/format/zip_records.h"
#include "archive/reader/arc_messages.h"
#include "archive/writer/arc_zip.h"
#include "common/test_support.h"
#include "platform/drives.h"
#include "platform/window_services.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kFloppy = 1457600;

uint32_t Le32(const std::string& Data, size_t At) {
  return static_cast<uint8_t>(Data[At]) | static_cast<uint8_t>(Data[At + 1]) << 8 |
         static_cast<uint8_t>(Data[At + 2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(Data[At + 3])) << 24;
}

// G: is a fixed drive holding the sources (src/), the block sets (out/),
// the extraction folder (x/) and the temporary folder (tmp/). R: is a
// removable drive whose folder is the disk in it: InsertDisk swaps disks,
// and a disk's label goes with it.
class MultiVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto Owned = std::make_unique<platform::TFakeDriveTable>();
    Table = Owned.get();
    Table->AddDrive('G', Work.Native(), "WORK", 0, platform::DRIVE_FIXED);
    Scope = std::make_unique<platform::TDriveTableScope>(std::move(Owned));
    for (const char* Dir : {"src", "out", "x", "tmp"}) fs::create_directories(Work / Dir);
  }

  // Writes src/<Name> and returns its name on G:.
  std::string Source(const std::string& Name, const std::string& Data) {
    WriteFile(Work / ("src/" + Name), Data);
    Sources[Name] = Data;
    return "G:\\src\\" + Name;
  }
  // About 3 MB that does not compress: one file over two blocks, others
  // smaller, an empty one and a compressible one.
  std::vector<std::string> ThreeMegabytes() {
    return {Source("big.bin", RandomBytes(1600000, 1)), Source("mid.bin", RandomBytes(700000, 2)),
            Source("empty.txt", ""), Source("small.bin", RandomBytes(600000, 3)),
            Source("text.txt", std::string(200000, 't') + "end"),
            Source("last.bin", RandomBytes(150000, 4))};
  }

  std::unique_ptr<TArcZip> MakeZip(const std::string& Name, TMultiMode Mode) {
    auto Z = std::make_unique<TArcZip>();
    Z->SetDoProcessMessages(false);
    Z->SetZipName(Name);
    Z->SetTempPath("G:\\tmp");
    Z->SetMultiMode(Mode);
    return Z;
  }

  std::vector<std::string> OutFiles() const {
    std::vector<std::string> Names;
    for (const auto& E : fs::directory_iterator(Work / "out"))
      Names.push_back(E.path().filename().string());
    std::sort(Names.begin(), Names.end());
    return Names;
  }

  // Extracts everything of the archive the reader is set up for into x/
  // and checks every source came back byte for byte.
  void ExtractAndCompare(TArcUnZip& R) {
    fs::remove_all(Work / "x");
    R.SetDestDir("G:\\x");
    R.SetDoAll(true);
    R.SetOverwriteMode(Always);
    R.SetRecreateDirs(false);
    EXPECT_EQ(R.UnZip(), static_cast<int>(Sources.size()));
    for (const auto& [Name, Data] : Sources) {
      ASSERT_TRUE(fs::exists(Work / "x" / Name)) << Name;
      EXPECT_TRUE(ReadFile(Work / "x" / Name) == Data) << Name;
    }
  }

  // For every entry of the loaded directory, the file of its disk (given by
  // PartFile) holds its local header at its offset, with its name.
  template <typename F>
  void CheckLocalHeaders(TArcUnZip& R, F PartFile) {
    for (int I = 0; I < R.Count(); ++I) {
      const TZipHeaderInfo& E = R.EntryHeader(I);
      const std::string Part = ReadFile(PartFile(E.DiskNumberStart()));
      const size_t At = E.RelativeOffset();
      ASSERT_LE(At + 30 + E.FileName().size(), Part.size()) << E.FileName();
      EXPECT_EQ(Le32(Part, At), 0x04034b50u) << E.FileName();
      EXPECT_EQ(Part.substr(At + 30, E.FileName().size()), E.FileName());
    }
  }

  // ---- Fake removable disks -------------------------------------------------
  void InsertDisk(int N, uint64_t Capacity) {
    if (Current > 0) Disks[Current - 1].Label = Table->Find('R')->Label;
    while (static_cast<int>(Disks.size()) < N) Disks.push_back({std::make_unique<TTempDir>(), ""});
    Table->AddDrive('R', Disks[N - 1].Dir->Native(), Disks[N - 1].Label, Capacity,
                    platform::DRIVE_REMOVABLE);
    Current = N;
  }
  // Takes the label of the disk in the drive into its record.
  void SyncLabel() { Disks[Current - 1].Label = Table->Find('R')->Label; }
  fs::path DiskFile(int N, const std::string& Name = "arc.zip") const {
    return Disks[N - 1].Dir->Path() / Name;
  }

  struct TDisk {
    std::unique_ptr<TTempDir> Dir;
    std::string Label;
  };
  std::vector<TDisk> Disks;
  int Current = 0;

  TTempDir Work;
  platform::TFakeDriveTable* Table = nullptr;
  std::unique_ptr<platform::TDriveTableScope> Scope;
  std::map<std::string, std::string> Sources;
};

// ---- Block files -----------------------------------------------------------

TEST_F(MultiVolumeTest, FloppyBlocksUnderBothNamingsReadBackWhole) {
  struct TCase {
    TBlockMode Mode;
    std::string Password;
    std::vector<std::string> Parts;  // expected file names in out/
    std::string Last;
  };
  const TCase Cases[] = {
      {bmStandard, "", {"arc.zip", "arc.zip.z01", "arc.zip.z02"}, "arc.zip"},
      {bmClassic, "secret", {"arc.001", "arc.002", "arc.003"}, "arc.003"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Last);
    fs::remove_all(Work / "out");
    fs::create_directories(Work / "out");
    auto Z = MakeZip("G:\\out\\arc.zip", mmBlocks);
    Z->SetBlockMode(C.Mode);
    Z->SetPassword(C.Password);
    Z->SetStorePaths(false);
    Z->SetFilesList(ThreeMegabytes());
    EXPECT_EQ(Z->Zip(), 6);
    EXPECT_EQ(Z->ZipName(), "G:\\out\\" + C.Last);
    EXPECT_EQ(Z->EndRecord().NumberOfThisDisk(), 2u);

    EXPECT_EQ(OutFiles(), C.Parts);
    for (const std::string& Part : C.Parts)
      EXPECT_LE(fs::file_size(Work / "out" / Part), static_cast<uintmax_t>(kFloppy)) << Part;
    EXPECT_TRUE(fs::is_empty(Work / "tmp")) << "temporary data files left";

    // A fresh reader finds the set from its last part.
    TArcUnZip R;
    R.SetBlockMode(C.Mode);
    R.SetPassword(C.Password);
    R.SetZipName("G:\\out\\" + C.Last);
    R.ReadDirectory();
    ASSERT_EQ(R.Count(), 6);
    const std::vector<std::string> Named =
        C.Mode == bmStandard ? std::vector<std::string>{"arc.zip.z01", "arc.zip.z02", "arc.zip"}
                             : std::vector<std::string>{"arc.001", "arc.002", "arc.003"};
    CheckLocalHeaders(R, [&](uint32_t Disk) { return Work / "out" / Named.at(Disk); });
    // big.bin begins on the first block and continues on the second.
    EXPECT_EQ(R.EntryHeader(0).DiskNumberStart(), 0u);
    EXPECT_EQ(R.EntryHeader(0).RelativeOffset(), 0u);
    EXPECT_GE(R.EntryHeader(1).DiskNumberStart(), 1u);
    ExtractAndCompare(R);
  }
}

// The first block keeps the reserve for the configuration file free, and the
// configuration file repeats the set's central directory and end record.
TEST_F(MultiVolumeTest, FirstBlockSizeAndConfigurationFile) {
  auto Z = MakeZip("G:\\out\\arc.zip", mmBlocks);
  Z->SetStorePaths(true);
  Z->MultiZipInfo().SetFirstBlockSize(1000000);
  Z->MultiZipInfo().SetSaveZipInfoOnFirstDisk(true);
  Z->SetFilesList(ThreeMegabytes());
  EXPECT_EQ(Z->Zip(), 6);
  const int64_t Reserve = Z->MultiZipInfo().SaveOnFirstDisk();
  EXPECT_GT(Reserve, 2048 + 22 + 6 * 46);
  // big.bin runs on from the first block, which is filled to its room.
  EXPECT_EQ(static_cast<int64_t>(fs::file_size(Work / "out/arc.zip.z01")), 1000000 - Reserve);
  EXPECT_LE(fs::file_size(Work / "out/arc.zip.z02"), static_cast<uintmax_t>(kFloppy));

  // arc.zfc: six central headers, then the same end record as arc.zip.
  const std::string Config = ReadFile(Work / "out/arc.zfc");
  const std::string Last = ReadFile(Work / "out/arc.zip");
  ASSERT_GT(Config.size(), 22u);
  EXPECT_EQ(Config.substr(Config.size() - 22), Last.substr(Last.size() - 22));
  TMemoryStream S(Config);
  int Headers = 0;
  for (TZipHeaderInfo H; H.ReadCentral(S); ++Headers)
    S.Seek(H.CentralExtraLength() + H.FileCommentLength(), soCurrent);
  EXPECT_EQ(Headers, 6);
  EXPECT_EQ(Le32(Config, Config.size() - 22), 0x06054b50u);

  TArcUnZip R;
  R.SetZipName("G:\\out\\arc.zip");
  ExtractAndCompare(R);

  // A configuration file that cannot be made fails the call; the set
  // itself is complete.
  fs::remove(Work / "out/arc.zfc");
  fs::create_directory(Work / "out/arc.zfc");
  Z->SetFilesList({"G:\\src\\big.bin", "G:\\src\\last.bin"});
  try {
    Z->Zip();
    ADD_FAILURE() << "no exception";
  } catch (const EConfigFileSaveError& E) {
    EXPECT_EQ(E.Message(), LoadZipStr(zsConfigFileSaveError));
  }
  TArcUnZip Again;
  Again.SetZipName("G:\\out\\arc.zip");
  Again.SetDoAll(true);
  Again.ReadDirectory();
  EXPECT_EQ(Again.Count(), 2);
  EXPECT_EQ(Again.TestZip(), 2);
}

/*
 * Blocks of 10000 bytes, stored entries with short names:
 *   a.bin   35-byte header + 9925 bytes: 40 bytes left on block 1
 *   e       31-byte header, no data: fits, 9 bytes left, block 1 kept
 *   bbbbbbbbbbbb.bin  46-byte header does not fit in 9: block 2 at 0; its
 *           9954 bytes fill block 2 exactly, which is left at once
 *   c.bin   35 + 9935 bytes on block 3: 30 bytes left
 *   central directory: the 51-byte header of a.bin does not fit in 30, so
 *           the whole directory (51 + 47 + 62 + 51 bytes) starts block 4.
 * The entries take the DOS host, whose headers carry no extra blocks.
 */
TEST_F(MultiVolumeTest, HeadersThatDoNotFitStartTheNextBlock) {
  auto Z = MakeZip("G:\\out\\arc.zip", mmBlocks);
  Z->SetHostSystem(kHostDos);
  Z->SetPackLevel(0);
  Z->MultiZipInfo().SetBlockSize(10000);
  Z->SetFilesList({Source("a.bin", RandomBytes(9925, 5)), Source("e", ""),
                   Source("bbbbbbbbbbbb.bin", RandomBytes(9954, 6)),
                   Source("c.bin", RandomBytes(9935, 7))});
  EXPECT_EQ(Z->Zip(), 4);
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"arc.zip", "arc.zip.z01", "arc.zip.z02",
                                                  "arc.zip.z03"}));
  EXPECT_EQ(fs::file_size(Work / "out/arc.zip.z01"), 9991u);
  EXPECT_EQ(fs::file_size(Work / "out/arc.zip.z02"), 10000u);
  EXPECT_EQ(fs::file_size(Work / "out/arc.zip.z03"), 9970u);
  EXPECT_EQ(fs::file_size(Work / "out/arc.zip"), 211u + 22u);
  // The writer holds the new directory and knows which part is open.
  ExtractAndCompare(*Z);

  TArcUnZip R;
  R.SetZipName("G:\\out\\arc.zip");
  R.ReadDirectory();
  ASSERT_EQ(R.Count(), 4);
  const std::vector<std::pair<uint32_t, uint64_t>> Where = {{0, 0}, {0, 9960}, {1, 0}, {2, 0}};
  for (int I = 0; I < 4; ++I) {
    EXPECT_EQ(R.EntryHeader(I).DiskNumberStart(), Where[I].first) << I;
    EXPECT_EQ(R.EntryHeader(I).RelativeOffset(), Where[I].second) << I;
  }
  const TEndCentral& End = R.EndRecord();
  EXPECT_EQ(End.NumberOfThisDisk(), 3u);
  EXPECT_EQ(End.DiskWithCentralDir(), 3u);
  EXPECT_EQ(End.CentralDirOffset(), 0u);
  EXPECT_EQ(End.CentralDirSize(), 211u);
  EXPECT_EQ(End.TotalEntries(), 4u);
  EXPECT_EQ(End.EntriesOnThisDisk(), 4u);
  ExtractAndCompare(R);
}

// Blocks too small for a local header cannot take the entry however many
// are made: the call fails instead of making blocks without end, and the
// block being written goes.
TEST_F(MultiVolumeTest, BlockTooSmallForAHeaderFails) {
  auto Z = MakeZip("G:\\out\\arc.zip", mmBlocks);
  Z->MultiZipInfo().SetBlockSize(40);
  Z->SetFilesList({Source("long-name.bin", "data")});
  EXPECT_THROW(Z->Zip(), ENotEnoughRoom);
  EXPECT_EQ(OutFiles(), std::vector<std::string>{"arc.zip.z01"});
  EXPECT_TRUE(fs::is_empty(Work / "tmp"));
}

// A set named the way Info-ZIP names its parts is joined by zip -s 0, and
// unzip accepts the joined archive.
TEST_F(MultiVolumeTest, InfoZipJoinsABlockSet) {
  if (std::system("command -v zip >/dev/null 2>&1 && command -v unzip >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "zip and unzip are needed";
  auto Z = MakeZip("G:\\out\\arc.zip", mmBlocks);
  Z->SetStorePaths(true);
  Z->SetRootDir("G:\\");
  Z->SetRelativePaths(true);
  Z->MultiZipInfo().SetBlockSize(100000);
  int Renamed = 0;
  Z->OnFileNameForSplitPart = [&](TObject*, std::string& FName, int32_t Part,
                                  TSplitPartType Type) {
    ++Renamed;
    FName += Type == spLast ? ".zip" : Format(".z%02d", Part);
  };
  Z->SetFilesList({Source("one.bin", RandomBytes(250000, 8)),
                   Source("two.txt", std::string(300000, 'x') + RandomBytes(90000, 9)),
                   Source("three.bin", RandomBytes(60000, 10)), Source("void.txt", "")});
  EXPECT_EQ(Z->Zip(), 4);
  EXPECT_GT(Renamed, 3);
  EXPECT_TRUE(fs::exists(Work / "out/arc.z01"));
  EXPECT_TRUE(fs::exists(Work / "out/arc.zip"));

  const std::string Dir = (Work / "out").string();
  const std::string Join = "cd '" + Dir + "' && zip -q -s 0 arc.zip --out joined.zip 2>&1";
  ASSERT_EQ(std::system(Join.c_str()), 0);
  FILE* P = popen(("unzip -t '" + Dir + "/joined.zip' 2>&1").c_str(), "r");
  ASSERT_NE(P, nullptr);
  std::string Output;
  char Buf[4096];
  for (size_t N; (N = fread(Buf, 1, sizeof Buf, P)) > 0;) Output.append(Buf, N);
  EXPECT_EQ(pclose(P), 0) << Output;
  EXPECT_NE(Output.find("No errors detected"), std::string::npos) << Output;
  EXPECT_NE(Output.find("src/one.bin"), std::string::npos) << Output;
}

// ---- Spans over removable disks ----------------------------------------------

constexpr uint64_t kDiskCapacity = 300000;

class SpanTest : public MultiVolumeTest {
 protected:
  std::unique_ptr<TArcZip> SpanZip() {
    auto Z = MakeZip("R:\\arc.zip", mmSpan);
    Z->SetStorePaths(false);
    Z->OnGetNextDisk = [this](TObject*, int32_t Next, std::string&) {
      Requests.push_back(Next);
      InsertDisk(Next, kDiskCapacity);
    };
    Z->OnPrepareNextDisk = [this](TObject*, int32_t Disk) { Prepared.push_back(Disk); };
    return Z;
  }
  std::vector<std::string> SevenHundredKilobytes() {
    return {Source("p1.bin", RandomBytes(350000, 11)), Source("p2.bin", RandomBytes(200000, 12)),
            Source("p3.txt", std::string(150000, 'q')), Source("p4.bin", RandomBytes(150000, 13))};
  }
  std::vector<int32_t> Requests, Prepared;
};

TEST_F(SpanTest, ThreeDisksLabelledWithConfigurationOnTheFirst) {
  auto Z = SpanZip();
  Z->MultiZipInfo().SetSaveZipInfoOnFirstDisk(true);
  std::vector<std::pair<std::string, int64_t>> Copies;
  Z->OnStartSpanCopy = [&](TObject*, const std::string& FName, int64_t Size) {
    Copies.push_back({FName, Size});
  };
  int Last = -1;
  Z->OnTotalPercentDone = [&](TObject*, int32_t P) { Last = P; };
  Z->SetFilesList(SevenHundredKilobytes());
  EXPECT_EQ(Z->Zip(), 4);
  SyncLabel();

  ASSERT_EQ(Disks.size(), 3u);
  // Disk 1 is asked for again at the end, for the configuration file.
  EXPECT_EQ(Requests, (std::vector<int32_t>{1, 2, 3, 1}));
  EXPECT_EQ(Prepared, (std::vector<int32_t>{1, 2, 3}));
  for (int N = 1; N <= 3; ++N) {
    EXPECT_EQ(Disks[N - 1].Label, Format("PKBACK# %03d", N));
    EXPECT_TRUE(fs::exists(DiskFile(N)));
    EXPECT_EQ(fs::exists(DiskFile(N, "arc.zfc")), N == 1) << N;
  }
  EXPECT_LE(static_cast<int64_t>(fs::file_size(DiskFile(1))),
            static_cast<int64_t>(kDiskCapacity) - Z->MultiZipInfo().SaveOnFirstDisk());
  ASSERT_EQ(Copies.size(), 4u);
  EXPECT_EQ(Copies[2].first, "G:\\src\\p3.txt");
  EXPECT_LT(Copies[2].second, 150000);  // the deflated size
  EXPECT_EQ(Last, 100);

  // With disk 1 in the drive the directory comes from the configuration
  // file; extraction asks for the disks it needs and checks their labels.
  TArcUnZip R;
  R.OnGetNextDisk = [this](TObject*, int32_t Next, std::string&) {
    InsertDisk(Next, kDiskCapacity);
  };
  R.SetZipName("R:\\arc.zip");
  R.ReadDirectory();
  ASSERT_EQ(R.Count(), 4);
  EXPECT_EQ(R.EndRecord().NumberOfThisDisk(), 2u);
  EXPECT_EQ(R.MultiMode(), mmSpan);
  CheckLocalHeaders(R, [&](uint32_t Disk) { return DiskFile(static_cast<int>(Disk) + 1); });
  ExtractAndCompare(R);
}

// The reserve for the configuration file grows with every call; an archive
// that fits on one disk gets no configuration file but is labelled.
TEST_F(SpanTest, ReserveGrowsAndOneDiskNeedsNoConfigurationFile) {
  auto Z = SpanZip();
  Z->MultiZipInfo().SetSaveZipInfoOnFirstDisk(true);
  Z->SetFilesList({Source("a.txt", "alpha"), Source("b.txt", "beta")});
  EXPECT_EQ(Z->Zip(), 2);
  const int64_t First = Z->MultiZipInfo().SaveOnFirstDisk();
  EXPECT_GT(First, 2 * 46 + 22 + 2048);
  Z->SetFilesList({"G:\\src\\a.txt", "G:\\src\\b.txt"});
  EXPECT_EQ(Z->Zip(), 2);
  EXPECT_EQ(Z->MultiZipInfo().SaveOnFirstDisk(), 2 * First);
  SyncLabel();

  EXPECT_EQ(Disks.size(), 1u);
  EXPECT_EQ(Disks[0].Label, "PKBACK# 001");
  EXPECT_FALSE(fs::exists(DiskFile(1, "arc.zfc")));
  EXPECT_EQ(Z->EndRecord().NumberOfThisDisk(), 0u);
  TArcUnZip R;
  R.SetZipName("R:\\arc.zip");
  ExtractAndCompare(R);
}

// A cancelled request for the next disk leaves the completed disk as it is;
// a cancelled request for the first one writes nothing. Without a handler
// the request is the disk prompt.
TEST_F(SpanTest, CancelledDiskRequests) {
  auto Z = SpanZip();
  Z->OnGetNextDisk = [this](TObject*, int32_t Next, std::string& FName) {
    Requests.push_back(Next);
    if (Next == 2)
      FName.clear();
    else
      InsertDisk(Next, kDiskCapacity);
  };
  bool Completed = false;
  Z->OnZipComplete = [&](TObject*, int32_t) { Completed = true; };
  Z->SetFilesList(SevenHundredKilobytes());
  try {
    Z->Zip();
    ADD_FAILURE() << "no exception";
  } catch (const EUserCanceled& E) {
    EXPECT_EQ(E.Message(), LoadZipStr(zsUserCanceledZip));
  }
  EXPECT_FALSE(Completed);
  EXPECT_EQ(Requests, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(fs::file_size(DiskFile(1)), kDiskCapacity);
  EXPECT_TRUE(Z->FilesList().empty());
  EXPECT_TRUE(fs::is_empty(Work / "tmp"));

  // The prompt for disk 1, cancelled.
  Disks.clear();
  Current = 0;
  InsertDisk(1, kDiskCapacity);
  auto P = MakeZip("R:\\arc.zip", mmSpan);
  std::vector<std::string> Prompts;
  P->OnHandleMessage = [&](TObject*, int32_t Id, const std::string& Msg1, const std::string&,
                           uint32_t Flags, int32_t& Return) {
    Prompts.push_back(std::to_string(Id) + " " + Msg1 + " " + std::to_string(Flags));
    Return = platform::IDCANCEL;
  };
  P->SetFilesList({Source("a.txt", "alpha")});
  EXPECT_THROW(P->Zip(), EUserCanceled);
  EXPECT_EQ(Prompts, std::vector<std::string>{"184 Please insert disk 1 of the multi-disk set. 1"});
  EXPECT_TRUE(fs::is_empty(Disks[0].Dir->Path()));
}

}  // namespace
}  // namespace zem::test

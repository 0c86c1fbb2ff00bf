// Multi-disk archives on reading: split parts, the disk prompt, part names
// and disk labels.
#include <gtest/gtest.h>

#include "arc_unzip_fixture.h"
#include "archive/format/crc_crypt.h"

namespace zem {
namespace {

using test::ReaderTest;

std::unique_ptr<TZipHeaderInfo> StoredHeader(const std::string& Name, const std::string& Data) {
  auto H = std::make_unique<TZipHeaderInfo>();
  H->Clear();
  H->SetFileName(Name);
  H->SetCompressionMethod(0);
  H->SetCrc32(Crc32Of(Data.data(), Data.size()));
  H->SetCompressedSize(Data.size());
  H->SetUncompressedSize(Data.size());
  return H;
}

// Two parts: both entries and the first central header on disk 0, the
// second central header and the end record on disk 1, so the directory
// starts on another disk and runs over the end of the first part.
void WriteTwoPartSet(const std::filesystem::path& First, const std::filesystem::path& Last) {
  TMemoryStream P1, P2;
  auto A = StoredHeader("a.txt", "alpha");
  auto B = StoredHeader("b.txt", "beta!");
  A->WriteLocal(P1);
  P1.WriteBuffer("alpha", 5);
  B->WriteLocal(P1);
  P1.WriteBuffer("beta!", 5);
  const int64_t Central = P1.Position();
  A->WriteCentral(P1, nullptr);
  B->WriteCentral(P2, nullptr);
  TEndCentral End;
  End.SetNumberOfThisDisk(1);
  End.SetDiskWithCentralDir(0);
  End.SetEntriesOnThisDisk(1);
  End.SetTotalEntries(2);
  End.SetCentralDirOffset(static_cast<uint64_t>(Central));
  End.SetCentralDirSize(static_cast<uint64_t>(P1.Position() - Central + P2.Position()));
  End.WriteEndRecord(P2);
  test::WriteFile(First, P1.Data());
  test::WriteFile(Last, P2.Data());
}

TEST_F(ReaderTest, SplitPartNamesAndBaseName) {
  TArcUnZip Zip;
  Zip.SetZipName("C:\\a\\arc.zip");
  EXPECT_EQ(Zip.BaseName(), "C:\\a\\arc");
  std::string N = Zip.BaseName();
  Zip.SplitPartName(N, 1, spFirst);
  EXPECT_EQ(N, "C:\\a\\arc.zip.z01");
  N = Zip.BaseName();
  Zip.SplitPartName(N, 12, spMiddle);
  EXPECT_EQ(N, "C:\\a\\arc.zip.z12");
  N = Zip.BaseName();
  Zip.SplitPartName(N, 3, spLast);
  EXPECT_EQ(N, "C:\\a\\arc.zip");
  Zip.SetBlockMode(bmClassic);
  for (TSplitPartType T : {spFirst, spMiddle, spLast}) {
    N = Zip.BaseName();
    Zip.SplitPartName(N, 2, T);
    EXPECT_EQ(N, "C:\\a\\arc.002");
  }
  Zip.SetZipName("C:\\d.x\\name.tar.gz");
  EXPECT_EQ(Zip.BaseName(), "C:\\d.x\\name");
  Zip.SetZipName("name.zip");
  EXPECT_EQ(Zip.BaseName(), "name");
}

TEST_F(ReaderTest, DirectoryStartingOnAnEarlierPartIsReadAcrossParts) {
  WriteTwoPartSet(Dir / "set.zip.z01", Dir / "set.zip");
  TArcUnZip Zip;
  std::vector<std::pair<int, TSplitPartType>> Named;
  Zip.OnFileNameForSplitPart = [&](TObject*, std::string& FName, int32_t Part, TSplitPartType T) {
    Named.push_back({Part, T});
    Zip.SplitPartName(FName, Part, T);
  };
  Zip.SetZipName(Temp("set.zip"));
  Zip.ReadDirectory();
  ASSERT_EQ(Zip.Count(), 2);
  EXPECT_EQ(Zip.EntryName(0), "a.txt");
  EXPECT_EQ(Zip.EntryName(1), "b.txt");
  EXPECT_EQ(Zip.MultiMode(), mmBlocks);  // not on a removable drive
  EXPECT_EQ(Zip.DiskCount(), 2);
  EXPECT_EQ(Zip.CurrentDisk(), 1);
  EXPECT_EQ(Zip.ZipName(), Temp("set.zip"));
  ASSERT_EQ(Named.size(), 2u);
  EXPECT_EQ(Named[0], std::make_pair(1, spFirst));
  EXPECT_EQ(Named[1], std::make_pair(2, spLast));

  // Opening a part keeps the directory and renames the archive.
  TLFNFileStream* S = Zip.OpenDisk(1);
  ASSERT_NE(S, nullptr);
  EXPECT_EQ(Zip.ZipName(), Temp("set.zip.z01"));
  EXPECT_EQ(Zip.CurrentDisk(), 0);
  EXPECT_EQ(Zip.Count(), 2);
  TZipHeaderInfo Local;
  S->Seek(static_cast<int64_t>(Zip.EntryHeader(1).RelativeOffset()), soBeginning);
  ASSERT_TRUE(Local.ReadLocal(*S));
  EXPECT_EQ(Local.FileName(), "b.txt");
}

TEST_F(ReaderTest, ForeignSplitNamesThroughTheHandler) {
  for (const char* Part : {"sp_infozip.z01", "sp_infozip.z02", "sp_infozip.zip"})
    CopyFixture(std::string("split/") + Part, Part);
  TArcUnZip Zip;
  // Parts named arc.z01, arc.z02, ..., arc.zip.
  Zip.OnFileNameForSplitPart = [&](TObject*, std::string& FName, int32_t Part, TSplitPartType) {
    FName += Part == Zip.DiskCount() ? std::string(".zip") : Format(".z%02d", Part);
  };
  Zip.SetZipName(Temp("sp_infozip.zip"));
  Zip.ReadDirectory();
  ASSERT_EQ(Zip.Count(), 4);
  EXPECT_EQ(Zip.DiskCount(), 3);
  EXPECT_EQ(Zip.MultiMode(), mmBlocks);
  const char* Names[] = {"part_a.bin", "part_b.txt", "part_c.bin", "tiny.txt"};
  const uint32_t Disks[] = {0, 1, 1, 2};
  for (int I = 0; I < 4; ++I) {
    const TZipHeaderInfo& E = Zip.EntryHeader(I);
    EXPECT_EQ(E.FileName(), Names[I]);
    EXPECT_EQ(E.DiskNumberStart(), Disks[I]);
    // Every local header is where the directory says, on its own part.
    TLFNFileStream* S = Zip.OpenDisk(static_cast<int32_t>(E.DiskNumberStart()) + 1);
    S->Seek(static_cast<int64_t>(E.RelativeOffset()), soBeginning);
    TZipHeaderInfo Local;
    ASSERT_TRUE(Local.ReadLocal(*S)) << I;
    EXPECT_EQ(Local.FileName(), Names[I]);
  }
  // Without the handler the component's own names are looked for.
  Zip.OnFileNameForSplitPart = nullptr;
  EXPECT_THROW(Zip.OpenDisk(1), EFOpenError);
}

TEST_F(ReaderTest, SpanPromptAndCancel) {
  test::WriteFile(Card / "arc.zip", "x");
  TArcUnZip Zip;
  Zip.SetZipName("F:\\arc.zip");
  Zip.SetMultiMode(mmSpan);
  Zip.SetCheckDiskLabels(false);
  Services->Answers = {platform::IDCANCEL};
  try {
    Zip.OpenDisk(2);
    FAIL() << "no error";
  } catch (const EUserCanceled& E) {
    EXPECT_EQ(E.Message(), "User canceled loading new disk.");
  }
  ASSERT_EQ(Services->Boxes.size(), 1u);
  EXPECT_EQ(Services->Boxes[0].Text, "Please insert disk 2 of the multi-disk set.");
  EXPECT_EQ(Services->Boxes[0].Caption, "");
  EXPECT_EQ(Services->Boxes[0].Flags, platform::MB_OKCANCEL);

  // OK with the file present: opened without another prompt.
  Services->Answers = {platform::IDOK};
  Zip.SetZipName("F:\\arc.zip");
  Zip.SetMultiMode(mmSpan);
  ASSERT_NE(Zip.OpenDisk(2), nullptr);
  EXPECT_EQ(Services->Boxes.size(), 2u);
  EXPECT_EQ(Zip.CurrentDisk(), 1);
}

TEST_F(ReaderTest, WrongDiskLabelAsksAgain) {
  test::WriteFile(Card / "arc.zip", "x");
  Drives->SetLabel('F', "PKBACK# 003");
  TArcUnZip Zip;
  Zip.SetZipName("F:\\arc.zip");
  Zip.SetMultiMode(mmSpan);
  EXPECT_FALSE(Zip.DiskLabelMatches(2));
  EXPECT_TRUE(Zip.DiskLabelMatches(3));
  std::vector<int32_t> Ids;
  Zip.OnHandleMessage = [&](TObject*, int32_t Id, const std::string& Msg1, const std::string&,
                            uint32_t, int32_t& Return) {
    Ids.push_back(Id);
    EXPECT_EQ(Msg1, "Please insert disk 2 of the multi-disk set.");
    // The user changes the disk before the second answer.
    if (Ids.size() == 2) Drives->SetLabel('F', "PKBACK# 002");
    Return = platform::IDOK;
  };
  ASSERT_NE(Zip.OpenDisk(2), nullptr);
  EXPECT_EQ(Ids, (std::vector<int32_t>{184, 184}));
  EXPECT_EQ(Zip.ZipName(), "F:\\arc.zip");

  // Outside a span every disk matches.
  Zip.SetMultiMode(mmBlocks);
  EXPECT_TRUE(Zip.DiskLabelMatches(7));
}

TEST_F(ReaderTest, NextDiskHandlerAndTheUnendingRequest) {
  test::WriteFile(Dir / "two.zip", "x");
  TArcUnZip Zip;
  Zip.SetZipName(Temp("one.zip"));
  Zip.SetMultiMode(mmSpan);
  Zip.SetCheckDiskLabels(false);
  int Calls = 0;
  Zip.OnGetNextDisk = [&](TObject*, int32_t NextDisk, std::string& FName) {
    EXPECT_EQ(NextDisk, 4);
    // First a name that does not exist: asked again.
    FName = ++Calls == 1 ? Temp("none.zip") : Temp("two.zip");
  };
  Zip.OpenDisk(4);
  EXPECT_EQ(Calls, 2);
  EXPECT_EQ(Zip.ZipName(), Temp("two.zip"));
  EXPECT_EQ(Zip.CurrentDisk(), 3);
  EXPECT_TRUE(Services->Boxes.empty());

  // mmNone without a handler: the name cannot change, so a missing file is
  // the open error instead of an endless request.
  TArcUnZip Plain;
  Plain.SetZipName(Temp("gone.zip"));
  EXPECT_THROW(Plain.OpenDisk(2), EFOpenError);
  EXPECT_TRUE(Services->Boxes.empty());
}

}  // namespace
}  // namespace zem

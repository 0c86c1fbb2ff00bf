// Damaged and hostile archives at directory loading: entries behind data
// descriptors found by the scan, overlapping entries, declared sizes the
// data cannot have, the stored time of the password check, a comment cut
// by the end of the file.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>

#include "arc_unzip_fixture.h"

namespace zem {
namespace {

using test::ReaderTest;

// The content make_damaged.py gives every intact entry.
std::string Body(const std::string& Name) {
  std::string Line = "content of " + Name + "\n", Out;
  for (int I = 0; I < 50; ++I) Out += Line;
  return Out;
}

uint32_t Crc(const std::string& S) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(S.data()), static_cast<uInt>(S.size())));
}

std::filesystem::path DataFile(const std::string& Rel) { return std::filesystem::path(ZEM_TEST_DATA) / Rel; }

class HostileTest : public ReaderTest {
 protected:
  // A copy of tests/data/Rel, or of Bytes when given, in the temporary
  // folder, loaded as zemzip does (damaged directories rebuilt), every
  // entry chosen.
  void Load(TArcUnZip& Zip, const std::string& Rel, const std::string* Bytes = nullptr) {
    const std::string Name = std::filesystem::path(Rel).filename().string();
    test::WriteFile(Dir / Name, Bytes ? *Bytes : test::ReadFile(DataFile(Rel)));
    Zip.SetZipName(Temp(Name));
    Zip.SetIncompleteZipMode(izAssumeBad);
    Zip.SetDoAll(true);
    Zip.ReadDirectory();
  }
};

TEST_F(HostileTest, ScanStepsOverDataDescriptors) {
  const std::string Cut = test::ReadFile(DataFile("damaged/dd_cut_before_central.zip"));
  std::string Unsigned = Cut;  // the same descriptors without their signature
  for (size_t P; (P = Unsigned.find("PK\x07\x08")) != std::string::npos;) Unsigned.erase(P, 4);
  ASSERT_EQ(Unsigned.size() + 12, Cut.size());
  for (const std::string* Bytes : {&Cut, static_cast<const std::string*>(&Unsigned)}) {
    SCOPED_TRACE(Bytes == &Cut ? "signed" : "unsigned");
    TArcUnZip Zip;
    Load(Zip, "damaged/dd_cut_before_central.zip", Bytes);
    EXPECT_TRUE(Zip.ScanMode());
    ASSERT_EQ(Zip.Count(), 3);
    for (int I = 0; I < 3; ++I) {
      const TZipHeaderInfo& E = Zip.EntryHeader(I);
      const std::string Want = Body(E.FullName());
      EXPECT_EQ(E.FullName(), std::string(1, static_cast<char>('a' + I)) + ".txt");
      EXPECT_EQ(E.UncompressedSize(), Want.size());
      EXPECT_EQ(E.CompressedSize(), Want.size());
      EXPECT_EQ(E.Crc32(), Crc(Want));
      EXPECT_EQ(E.Defect(), "");
    }
    EXPECT_EQ(Zip.TestZip(), 3);
    Zip.SetDestDir(Temp("out"));
    Zip.SetOverwriteMode(Always);
    EXPECT_EQ(Zip.UnZip(), 3);
    for (const char* Name : {"a.txt", "b.txt", "c.txt"})
      EXPECT_EQ(test::ReadFile(Dir / "out" / Name), Body(Name));
  }
}

TEST_F(HostileTest, ScanFollowsLongDataPastSignaturesInside) {
  // Two stored descriptor entries of 100 kB, each holding a local header
  // signature in its data, cut before the central directory.
  auto LE = [](std::string& To, uint64_t V, int Bytes) {
    for (int I = 0; I < Bytes; ++I) To += static_cast<char>((V >> (8 * I)) & 0xFF);
  };
  std::string Bytes;
  std::vector<std::string> Datas;
  for (const std::string Name : {"x.bin", "y.bin"}) {
    std::string Data(100000, Name[0]);
    Data.replace(5000, 4, "PK\x03\x04");
    Data.replace(70000, 4, "PK\x01\x02");
    Datas.push_back(Data);
    Bytes += "PK\x03\x04";
    LE(Bytes, 10, 2), LE(Bytes, 8, 2), LE(Bytes, 0, 2), LE(Bytes, 0x568530E4, 4);
    LE(Bytes, 0, 4), LE(Bytes, 0, 4), LE(Bytes, 0, 4), LE(Bytes, Name.size(), 2), LE(Bytes, 0, 2);
    Bytes += Name + Data + "PK\x07\x08";
    LE(Bytes, Crc(Data), 4), LE(Bytes, Data.size(), 4), LE(Bytes, Data.size(), 4);
  }
  TArcUnZip Zip;
  Load(Zip, "long.zip", &Bytes);
  ASSERT_EQ(Zip.Count(), 2);
  for (int I = 0; I < 2; ++I) {
    EXPECT_EQ(Zip.EntryHeader(I).CompressedSize(), 100000u);
    EXPECT_EQ(Zip.EntryHeader(I).Crc32(), Crc(Datas[static_cast<size_t>(I)]));
  }
  EXPECT_EQ(Zip.TestZip(), 2);
}

TEST_F(HostileTest, EntryWithoutItsDescriptorIsUnreadableAndTheScanGoesOn) {
  std::string Bytes = test::ReadFile(DataFile("damaged/dd_cut_before_central.zip"));
  const size_t First = Bytes.find("PK\x07\x08");
  ASSERT_NE(First, std::string::npos);
  Bytes[First + 8] ^= 1;  // its compressed size no longer fits the data
  TArcUnZip Zip;
  Load(Zip, "damaged/dd_cut_before_central.zip", &Bytes);
  ASSERT_EQ(Zip.Count(), 3);
  EXPECT_NE(Zip.EntryHeader(0).Defect().find("no data descriptor"), std::string::npos);
  EXPECT_EQ(Zip.EntryHeader(1).Defect(), "");
  EXPECT_EQ(Zip.EntryHeader(2).Crc32(), Crc(Body("c.txt")));
}

TEST_F(HostileTest, OverlappingEntriesAreRefusedAsAPossibleZipBomb) {
  TArcUnZip Zip;
  try {
    Load(Zip, "hostile/overlapping_entries.zip");
    FAIL() << "loaded " << Zip.Count() << " entries";
  } catch (const EBadZipFile& E) {
    EXPECT_EQ(E.Message(), "Not a valid zip file!");
    EXPECT_NE(E.Detail().find("zip bomb"), std::string::npos) << E.Detail();
    EXPECT_NE(E.Detail().find("\"0.bin\" and \"1.bin\""), std::string::npos) << E.Detail();
  }
  EXPECT_EQ(Zip.Count(), 0);
}

TEST_F(HostileTest, EntryRunningIntoTheNextIsRebuiltWhenTheLocalHeadersTellWhereItIs) {
  // b.txt's central offset points into a.txt's data: the local headers
  // hold both entries apart, so the directory was only damaged.
  std::vector<int64_t> Offsets;
  std::string Bytes = test::BuildArchive({{"a.txt", std::string(100, 'a'), ""}, {"b.txt", "bb", ""}}, "", &Offsets);
  const size_t Second = Bytes.find("PK\x01\x02", Bytes.find("PK\x01\x02") + 4);
  Bytes[Second + 42] = 40;
  TArcUnZip Zip;
  Load(Zip, "into.zip", &Bytes);
  EXPECT_TRUE(Zip.ScanMode());
  ASSERT_EQ(Zip.Count(), 2);
  EXPECT_EQ(Zip.EntryHeader(1).RelativeOffset(), static_cast<uint64_t>(Offsets[1]));
}

TEST_F(HostileTest, DeclaredSizesTheDataCannotHaveMakeTheEntryUnreadable) {
  struct TCase {
    const char* File;
    std::vector<std::string> Defective;  // the rest is sound
  };
  for (const TCase& C : std::vector<TCase>{{"damaged/zip64_sizes_overflow.zip", {"h1.bin", "h2.bin", "h3.bin"}},
                                           {"damaged/size_declared_larger.zip", {"short.txt"}},
                                           {"damaged/size_declared_smaller.zip", {}},
                                           {"interop/damaged/dmg_truncated_last_entry.zip", {"big.txt"}}}) {
    SCOPED_TRACE(C.File);
    TArcUnZip Zip;
    Load(Zip, C.File);
    std::vector<std::string> Got;
    for (int I = 0; I < Zip.Count(); ++I) {
      const TZipHeaderInfo& E = Zip.EntryHeader(I);
      if (E.Defect().empty()) continue;
      Got.push_back(E.FullName());
      EXPECT_NE(E.Defect().find("size"), std::string::npos) << E.Defect();
    }
    EXPECT_EQ(Got, C.Defective);
  }
  {  // a compressed size past the end of the file
    std::string Bytes = test::BuildArchive({{"a.txt", "aaaa", ""}});
    const size_t Central = Bytes.find("PK\x01\x02");
    Bytes[Central + 20 + 3] = 0x10;  // compressed size 0x10000004
    Bytes[Central + 24 + 3] = 0x10;
    TArcUnZip Zip;
    Load(Zip, "far.zip", &Bytes);
    ASSERT_EQ(Zip.Count(), 1);
    EXPECT_NE(Zip.EntryHeader(0).Defect().find("past the end of the archive"), std::string::npos);
  }
}

TEST_F(HostileTest, PasswordCheckUsesTheStoredHourOfADescriptorEntry) {
  TArcUnZip Zip;
  Load(Zip, "damaged/bit3_hour_31.zip");
  ASSERT_EQ(Zip.Count(), 1);
  EXPECT_EQ((Zip.EntryHeader(0).FileDateTime() >> 11) & 31, 31u);
  Zip.SetPassword("Sesame42");
  EXPECT_EQ(Zip.TestZip(), 1);
}

TEST_F(HostileTest, CommentPastTheEndIsCutWithAWarning) {
  TArcUnZip Zip;
  Load(Zip, "damaged/comment_past_end.zip");
  EXPECT_FALSE(Zip.ScanMode());
  ASSERT_EQ(Zip.DirectoryWarnings().size(), 1u);
  EXPECT_NE(Zip.DirectoryWarnings()[0].find("200-byte archive comment"), std::string::npos);
  EXPECT_EQ(Zip.ArchiveComment(), "");
  EXPECT_EQ(Zip.Count(), 3);
  EXPECT_EQ(Zip.TestZip(), 3);
}

}  // namespace
}  // namespace zem

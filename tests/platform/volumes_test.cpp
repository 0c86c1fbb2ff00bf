// Drive type, volume information, free space and labels through a fake
// drive table, and the cluster arithmetic behind the free-space query.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "common/test_support.h"
#include "platform/drives.h"
#include "platform/volumes.h"
#include "platform/winapi.h"

namespace zem::platform {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t GiB = 1ull << 30;

class Volumes : public ::testing::Test {
 protected:
  void SetUp() override {
    auto Table = std::make_unique<TFakeDriveTable>();
    Table->AddDrive('F', Card.Native(), "CAMERA", 5 * GiB);
    Table->AddDrive('G', Big.Native(), "BIG CARD", 64 * GiB);
    Table->AddDrive('H', Reader.Native(), "", 0, DRIVE_REMOVABLE, /*HasMedia=*/false);
    Table->AddDrive('I', Odd.Native(), "ODD", 5 * GiB + 1);
    Table->AddDrive('J', Disc.Native(), "DISC", 700u << 20, DRIVE_CDROM);
    Scope = std::make_unique<TDriveTableScope>(std::move(Table));
  }

  // The size the four numbers of the free-space query multiply out to.
  static uint64_t Capacity(const char* Root, uint64_t* Free = nullptr) {
    uint32_t Spc = 0, Bps = 0, FreeClusters = 0, Total = 0;
    if (!GetDiskFreeSpaceA(Root, &Spc, &Bps, &FreeClusters, &Total)) return 0;
    if (Free != nullptr) *Free = uint64_t{FreeClusters} * Spc * Bps;
    return uint64_t{Total} * Bps * Spc;
  }

  test::TTempDir Card, Big, Reader, Odd, Disc;
  std::unique_ptr<TDriveTableScope> Scope;
};

TEST_F(Volumes, DriveTypesByRootPath) {
  EXPECT_EQ(GetDriveTypeA("F:\\"), DRIVE_REMOVABLE);
  EXPECT_EQ(GetDriveTypeA("F:"), DRIVE_REMOVABLE);
  EXPECT_EQ(GetDriveTypeA("f:\\"), DRIVE_REMOVABLE);
  EXPECT_EQ(GetDriveTypeA("H:\\"), DRIVE_REMOVABLE);  // a reader without a card is still there
  EXPECT_EQ(GetDriveTypeA("J:\\"), DRIVE_CDROM);
  EXPECT_EQ(GetDriveTypeA("C:\\"), DRIVE_FIXED);
  EXPECT_EQ(GetDriveTypeA("Q:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(GetDriveTypeA("A:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(GetDriveTypeA("F"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(GetDriveTypeA("FF:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(GetDriveTypeA(""), DRIVE_NO_ROOT_DIR);
}

TEST_F(Volumes, ErrorModeIsKeptAndThePreviousReturned) {
  const uint32_t Before = SetErrorMode(SEM_FAILCRITICALERRORS);
  EXPECT_EQ(SetErrorMode(SEM_NOOPENFILEERRORBOX), SEM_FAILCRITICALERRORS);
  EXPECT_EQ(SetErrorMode(Before), SEM_NOOPENFILEERRORBOX);
}

TEST_F(Volumes, VolumeInformationGivesTheLabel) {
  char Name[261];
  std::memset(Name, 'x', sizeof Name);
  ASSERT_TRUE(GetVolumeInformationA("F:\\", Name, sizeof Name, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_STREQ(Name, "CAMERA");
  ASSERT_TRUE(GetVolumeInformationA("g:", Name, sizeof Name, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_STREQ(Name, "BIG CARD");

  // Serial numbers, name lengths and file system names when asked for.
  uint32_t SerialF = 0, SerialG = 0, MaxLen = 0, Flags = 0;
  char FsName[32];
  ASSERT_TRUE(GetVolumeInformationA("F:\\", nullptr, 0, &SerialF, &MaxLen, &Flags, FsName, sizeof FsName));
  ASSERT_TRUE(GetVolumeInformationA("G:\\", nullptr, 0, &SerialG, nullptr, nullptr, nullptr, 0));
  EXPECT_NE(SerialF, SerialG);
  uint32_t Again = 0;
  ASSERT_TRUE(GetVolumeInformationA("F:\\", nullptr, 0, &Again, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(Again, SerialF);
  EXPECT_GE(MaxLen, 255u);
  EXPECT_STREQ(FsName, FileSystemName("fake").c_str());
}

TEST_F(Volumes, VolumeInformationFailures) {
  char Name[261] = "untouched";
  SetLastError(0);
  EXPECT_FALSE(GetVolumeInformationA("H:\\", Name, sizeof Name, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
  EXPECT_FALSE(GetVolumeInformationA("Q:\\", Name, sizeof Name, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(GetVolumeInformationA("nonsense", Name, sizeof Name, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_STREQ(Name, "untouched");

  // The label needs its NUL: 6 bytes are one too few for "CAMERA".
  SetLastError(0);
  EXPECT_FALSE(GetVolumeInformationA("F:\\", Name, 6, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_NE(GetLastError(), ERROR_SUCCESS);
  EXPECT_TRUE(GetVolumeInformationA("F:\\", Name, 7, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_STREQ(Name, "CAMERA");

  // A drive whose folder has gone is a failure, not an empty success.
  fs::remove_all(Card.Path());
  EXPECT_FALSE(GetVolumeInformationA("F:\\", Name, sizeof Name, nullptr, nullptr, nullptr, nullptr, 0));
  fs::create_directory(Card.Path());
}

TEST_F(Volumes, CapacitiesMultiplyBackExactly) {
  EXPECT_EQ(Capacity("F:"), 5 * GiB);
  EXPECT_EQ(Capacity("G:\\"), 64 * GiB);
  EXPECT_EQ(Capacity("J:"), uint64_t{700} << 20);
  // 5 GiB + 1 has no exact split into 32-bit counts: rounded down, by less
  // than one cluster.
  uint32_t Spc = 0, Bps = 0, Free = 0, Total = 0;
  ASSERT_TRUE(GetDiskFreeSpaceA("I:", &Spc, &Bps, &Free, &Total));
  const uint64_t Got = uint64_t{Total} * Spc * Bps;
  EXPECT_LE(Got, 5 * GiB + 1);
  EXPECT_LT(5 * GiB + 1 - Got, uint64_t{Spc} * Bps);
  EXPECT_LE(Free, Total);
}

TEST_F(Volumes, FreeSpaceIsCapacityLessTheFilesOnTheCard) {
  uint64_t Free = 0;
  ASSERT_EQ(Capacity("F:", &Free), 5 * GiB);
  EXPECT_EQ(Free, 5 * GiB);
  test::WriteFile(Card / "DCIM/100/a.jpg", std::string(3 << 20, 'a'));
  test::WriteFile(Card / "b.txt", std::string(1000, 'b'));
  // A link to a file elsewhere takes no room on the card.
  test::WriteFile(Big / "elsewhere.bin", std::string(1 << 20, 'c'));
  fs::create_symlink(Big / "elsewhere.bin", Card / "link.bin");

  const uint64_t Used = (3 << 20) + 1000;
  uint32_t Spc = 0, Bps = 0, FreeClusters = 0, Total = 0;
  ASSERT_TRUE(GetDiskFreeSpaceA("F:\\", &Spc, &Bps, &FreeClusters, &Total));
  EXPECT_EQ(uint64_t{FreeClusters}, (5 * GiB - Used) / (uint64_t{Spc} * Bps));

  uint64_t Avail = 0, TotalBytes = 0, FreeBytes = 0;
  ASSERT_TRUE(GetDiskFreeSpaceExA("F:\\DCIM", &Avail, &TotalBytes, &FreeBytes));
  EXPECT_EQ(TotalBytes, 5 * GiB);
  EXPECT_EQ(FreeBytes, 5 * GiB - Used);
  EXPECT_EQ(Avail, 5 * GiB - Used);
  ASSERT_TRUE(GetDiskFreeSpaceExA("F:\\", nullptr, &TotalBytes, nullptr));
  EXPECT_EQ(TotalBytes, 5 * GiB);
  SetLastError(0);
  EXPECT_FALSE(GetDiskFreeSpaceExA("F:\\missing\\deeper", &Avail, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  // More bytes on the card than its capacity: no room, not a wrapped number.
  TFakeDriveTable Small;
  Small.AddDrive('K', Card.Native(), "SMALL", 1 << 20);
  auto Previous = InstallDriveTable(std::make_unique<TFakeDriveTable>(Small));
  ASSERT_TRUE(GetDiskFreeSpaceExA("K:\\", &Avail, &TotalBytes, &FreeBytes));
  EXPECT_EQ(TotalBytes, uint64_t{1} << 20);
  EXPECT_EQ(FreeBytes, 0u);
  EXPECT_EQ(Capacity("K:"), uint64_t{1} << 20);
  InstallDriveTable(std::move(Previous));
}

TEST_F(Volumes, FreeSpaceFailuresAndTheSystemDrive) {
  SetLastError(0);
  EXPECT_EQ(Capacity("H:"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
  EXPECT_EQ(Capacity("Q:"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(GetDiskFreeSpaceExA("H:\\", nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);

  // C: is measured: its numbers agree with the file system's own to within
  // one cluster.
  uint32_t Spc = 0, Bps = 0, Free = 0, Total = 0;
  ASSERT_TRUE(GetDiskFreeSpaceA("C:\\", &Spc, &Bps, &Free, &Total));
  const uint64_t Real = fs::space("/").capacity;
  const uint64_t Got = uint64_t{Total} * Spc * Bps;
  EXPECT_LE(Got, Real);
  EXPECT_LT(Real - Got, uint64_t{Spc} * Bps);
  EXPECT_LE(Free, Total);
}

TEST_F(Volumes, LabelsAreSetThroughTheTable) {
  char Name[261];
  ASSERT_TRUE(SetVolumeLabelA("F:\\", "PKBACK# 001"));
  ASSERT_TRUE(GetVolumeInformationA("F:\\", Name, sizeof Name, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_STREQ(Name, "PKBACK# 001");
  ASSERT_TRUE(SetVolumeLabelA("F:\\", nullptr));  // no name removes the label
  ASSERT_TRUE(GetVolumeInformationA("F:\\", Name, sizeof Name, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_STREQ(Name, "");

  EXPECT_FALSE(SetVolumeLabelA("H:\\", "X"));
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
  EXPECT_FALSE(SetVolumeLabelA("Q:\\", "X"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  // The real table cannot relabel a mounted volume and says so.
  test::TTempDir Empty;
  TDriveTableScope Real(std::make_unique<TLinuxDriveTable>(Empty.Native(), Empty.Native(), Empty.Native()));
  EXPECT_FALSE(SetVolumeLabelA("C:\\", "X"));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST(ClusterSplit, SizesSplitIntoThirtyTwoBitCounts) {
  struct TCase {
    uint64_t Total;
    bool Exact;
  };
  const TCase Cases[] = {
      {0, true},
      {512, true},
      {1000, true},                       // byte-sized sectors
      {4 * GiB - 512, true},
      {4 * GiB, true},
      {5 * GiB, true},
      {64 * GiB, true},
      {2048 * GiB, true},
      {(1ull << 40) + 512, true},         // 2^31 + 1 sectors still fit
      {(1ull << 45) + 512, false},        // needs 16-sector clusters
      {5 * GiB + 1, false},
      {(1ull << 63) + 3, false},          // odd and huge
      {~0ull, false},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Total);
    const TClusterSplit S = SplitIntoClusters(C.Total, C.Total / 3);
    EXPECT_TRUE(S.BytesPerSector == 512 || S.BytesPerSector == 1);
    EXPECT_EQ(S.SectorsPerCluster & (S.SectorsPerCluster - 1), 0u);  // a power of two
    const uint64_t Cluster = uint64_t{S.SectorsPerCluster} * S.BytesPerSector;
    const uint64_t Got = uint64_t{S.TotalClusters} * Cluster;
    if (C.Exact) {
      EXPECT_EQ(Got, C.Total);
    } else {
      EXPECT_LT(Got, C.Total);
      EXPECT_LT(C.Total - Got, Cluster);
    }
    EXPECT_EQ(uint64_t{S.FreeClusters}, (C.Total / 3) / Cluster);
    // The smallest cluster that fits: half of it would overflow the count.
    if (S.SectorsPerCluster > 1) {
      EXPECT_GT(C.Total / (Cluster / 2), 0xFFFFFFFFull);
    }
  }
  // Free space beyond the total never gives more free than total clusters.
  const TClusterSplit Over = SplitIntoClusters(4 * GiB, 8 * GiB);
  EXPECT_EQ(Over.FreeClusters, Over.TotalClusters);
}

TEST(ClusterSplit, FileSystemNamesAsTheVolumeQueryGivesThem) {
  EXPECT_EQ(FileSystemName("vfat"), "FAT32");
  EXPECT_EQ(FileSystemName("msdos"), "FAT");
  EXPECT_EQ(FileSystemName("exfat"), "exFAT");
  EXPECT_EQ(FileSystemName("ntfs"), "NTFS");
  EXPECT_EQ(FileSystemName("ntfs3"), "NTFS");
  EXPECT_EQ(FileSystemName("ext4"), "EXT4");
  EXPECT_EQ(FileSystemName(""), "");
}

}  // namespace
}  // namespace zem::platform

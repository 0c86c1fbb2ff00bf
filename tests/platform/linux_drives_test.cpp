// The real drive table fed a made-up machine: mountinfo, sysfs and udev's
// label links built in a temporary folder.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "platform/drives.h"
#include "platform/fault_file_system.h"
#include "platform/winapi.h"

namespace zem::platform {
namespace {

namespace fs = std::filesystem;

// Builds the three roots of a fake machine.
class TFakeMachine {
 public:
  std::string Proc() const { return (Dir / "proc").string(); }
  std::string Sys() const { return (Dir / "sys").string(); }
  std::string Dev() const { return (Dir / "dev").string(); }

  // A disk below DevicePath (relative to sys/devices) with its removable flag.
  void AddDisk(const std::string& DevicePath, const std::string& Name, unsigned Major, unsigned Minor,
               bool Removable) {
    const fs::path Folder = fs::path("devices") / DevicePath / "block" / Name;
    test::WriteFile(Dir / "sys" / Folder / "removable", Removable ? "1\n" : "0\n");
    Register(Folder, Name, Major, Minor);
    Folders[Name] = Folder;
  }
  void AddPartition(const std::string& DiskName, const std::string& Name, unsigned Major, unsigned Minor) {
    const fs::path Folder = Folders.at(DiskName) / Name;
    test::WriteFile(Dir / "sys" / Folder / "partition", "1\n");
    Register(Folder, Name, Major, Minor);
  }
  // udev's label link: the name escaped, the target "../../<device>".
  void AddLabel(const std::string& EscapedLabel, const std::string& Device) {
    fs::create_directories(Dir / "dev" / "disk" / "by-label");
    fs::create_symlink("../../" + Device, Dir / "dev" / "disk" / "by-label" / EscapedLabel);
  }
  void AddDevLink(const std::string& RelPath, const std::string& Target) {
    fs::create_directories((Dir / "dev" / RelPath).parent_path());
    fs::create_symlink(Target, Dir / "dev" / RelPath);
  }
  void AddMount(const std::string& Line) { MountInfo += std::to_string(NextId++) + " 1 " + Line + "\n"; }
  void Write() const { test::WriteFile(Dir / "proc" / "self" / "mountinfo", MountInfo); }

  test::TTempDir Dir;
  std::map<std::string, fs::path> Folders;

 private:
  void Register(const fs::path& Folder, const std::string& Name, unsigned Major, unsigned Minor) {
    fs::create_directories(Dir / "sys" / "class" / "block");
    fs::create_directories(Dir / "sys" / "dev" / "block");
    fs::create_symlink(fs::path("../..") / Folder, Dir / "sys" / "class" / "block" / Name);
    fs::create_symlink(fs::path("../..") / Folder,
                       Dir / "sys" / "dev" / "block" / (std::to_string(Major) + ":" + std::to_string(Minor)));
  }
  std::string MountInfo;
  int NextId = 20;
};

// A laptop with a fixed disk, a USB card reader, an SD slot, a soldered
// eMMC, a DVD drive, a snap loop device, and network and pseudo mounts.
class LinuxDriveTable : public ::testing::Test {
 protected:
  void SetUp() override {
    M.AddDisk("pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "sda", 8, 0, false);
    M.AddPartition("sda", "sda2", 8, 2);
    M.AddPartition("sda", "sda3", 8, 3);
    M.AddDisk("pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0", "sdb", 8, 16, true);
    M.AddPartition("sdb", "sdb1", 8, 17);
    M.AddDisk("platform/sdhci/mmc_host/mmc0/mmc0:aaaa", "mmcblk0", 179, 0, false);
    M.AddPartition("mmcblk0", "mmcblk0p1", 179, 1);
    test::WriteFile(M.Dir / "sys/devices/platform/sdhci/mmc_host/mmc0/mmc0:aaaa/type", "SD\n");
    fs::create_symlink("../../../mmc0:aaaa", M.Dir / "sys" / M.Folders["mmcblk0"] / "device");
    M.AddDisk("platform/emmc/mmc_host/mmc1/mmc1:0001", "mmcblk1", 179, 8, false);
    M.AddPartition("mmcblk1", "mmcblk1p2", 179, 10);
    test::WriteFile(M.Dir / "sys/devices/platform/emmc/mmc_host/mmc1/mmc1:0001/type", "MMC\n");
    fs::create_symlink("../../../mmc1:0001", M.Dir / "sys" / M.Folders["mmcblk1"] / "device");
    M.AddDisk("pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0", "sr0", 11, 0, true);
    M.AddDisk("virtual", "loop0", 7, 0, false);

    M.AddLabel("MY\\x20CARD", "sdb1");
    M.AddLabel("CAMERA", "mmcblk0p1");
    M.AddLabel("rootfs", "sda2");
    M.AddDevLink("disk/by-uuid/1234-ABCD", "../../sdb1");

    // Mount points in mountinfo order, not sorted.
    M.AddMount("8:2 / / rw,relatime shared:1 - ext4 /dev/root rw");
    M.AddMount("0:21 / /proc rw - proc proc rw");
    M.AddMount("0:5 / /run rw - tmpfs tmpfs rw");
    M.AddMount("8:3 / /home rw - ext4 /dev/sda3 rw");
    M.AddMount("7:0 / /snap/x ro - squashfs /dev/loop0 ro");
    M.AddMount("0:50 / /net/share rw - nfs4 server:/export rw");
    M.AddMount("179:10 / /boot/efi rw - vfat /dev/mmcblk1p2 rw");
    M.AddMount("8:17 / /mnt/again rw - vfat /dev/disk/by-uuid/1234-ABCD rw");
    M.AddMount("8:17 / /media/user/MY\\040CARD rw,nosuid shared:5 master:2 - vfat /dev/sdb1 rw");
    M.AddMount("179:1 / /media/user/CAMERA rw - exfat /dev/mmcblk0p1 rw");
    M.AddMount("11:0 / /media/user/DVD ro - iso9660 /dev/sr0 ro");
    M.Write();
  }

  std::vector<TDriveEntry> Drives() { return TLinuxDriveTable(M.Proc(), M.Sys(), M.Dev()).Drives(); }

  TFakeMachine M;
};

TEST_F(LinuxDriveTable, RemovableVolumesGetLettersInMountPointOrder) {
  const std::vector<TDriveEntry> D = Drives();
  ASSERT_EQ(D.size(), 4u);

  EXPECT_EQ(D[0].Letter, 'C');
  EXPECT_EQ(D[0].MountPoint, "/");
  EXPECT_EQ(D[0].Type, DRIVE_FIXED);
  EXPECT_EQ(D[0].FileSystem, "ext4");
  // "/dev/root" is no device node; the device number leads to sda2.
  EXPECT_EQ(D[0].Device, "/dev/sda2");
  EXPECT_EQ(D[0].Label, "rootfs");

  EXPECT_EQ(D[1].Letter, 'D');
  EXPECT_EQ(D[1].MountPoint, "/media/user/CAMERA");
  EXPECT_EQ(D[1].Type, DRIVE_REMOVABLE);  // an SD card although its flag is 0
  EXPECT_EQ(D[1].Label, "CAMERA");
  EXPECT_EQ(D[1].FileSystem, "exfat");
  EXPECT_EQ(D[1].Device, "/dev/mmcblk0p1");

  EXPECT_EQ(D[2].Letter, 'E');
  EXPECT_EQ(D[2].MountPoint, "/media/user/DVD");
  EXPECT_EQ(D[2].Type, DRIVE_CDROM);
  EXPECT_EQ(D[2].Label, "");

  // The reader's card: escaped mount point and label undone, and one letter
  // although it is mounted twice (once through a by-uuid link).
  EXPECT_EQ(D[3].Letter, 'F');
  EXPECT_EQ(D[3].MountPoint, "/media/user/MY CARD");
  EXPECT_EQ(D[3].Type, DRIVE_REMOVABLE);
  EXPECT_EQ(D[3].Label, "MY CARD");
  EXPECT_EQ(D[3].FileSystem, "vfat");
  EXPECT_EQ(D[3].Device, "/dev/sdb1");
  for (const TDriveEntry& E : D) EXPECT_TRUE(E.HasMedia);
}

TEST_F(LinuxDriveTable, FixedLoopNetworkAndBuiltInVolumesAreLeftOut) {
  for (const TDriveEntry& E : Drives()) {
    EXPECT_NE(E.MountPoint, "/home");
    EXPECT_NE(E.MountPoint, "/snap/x");
    EXPECT_NE(E.MountPoint, "/net/share");
    EXPECT_NE(E.MountPoint, "/boot/efi");  // soldered eMMC
    EXPECT_NE(E.MountPoint, "/mnt/again");
    EXPECT_NE(E.MountPoint, "/proc");
  }
}

TEST_F(LinuxDriveTable, MountsAreReadAfreshAndLaterMountsHideEarlierOnes) {
  auto Table = TLinuxDriveTable(M.Proc(), M.Sys(), M.Dev());
  ASSERT_EQ(Table.Drives().size(), 4u);
  // The card is unmounted from its first place; its other mount takes over.
  std::string Info = test::ReadFile(M.Dir / "proc/self/mountinfo");
  const size_t At = Info.rfind('\n', Info.find("8:17 / /media/user/MY")) + 1;
  Info.erase(At, Info.find('\n', At) + 1 - At);
  // Something else is mounted over the DVD's folder and hides it.
  Info += "99 1 0:60 / /media/user/DVD rw - tmpfs tmpfs rw\n";
  test::WriteFile(M.Dir / "proc/self/mountinfo", Info);

  const std::vector<TDriveEntry> D = Table.Drives();
  ASSERT_EQ(D.size(), 3u);
  EXPECT_EQ(D[1].MountPoint, "/media/user/CAMERA");
  EXPECT_EQ(D[2].Letter, 'E');
  EXPECT_EQ(D[2].MountPoint, "/mnt/again");
  EXPECT_EQ(D[2].Label, "MY CARD");
}

TEST_F(LinuxDriveTable, LettersStayWithTheirVolumesWhileTheyAreMounted) {
  TLinuxDriveTable Table(M.Proc(), M.Sys(), M.Dev());
  auto Letters = [&] {
    std::map<std::string, char> L;
    for (const TDriveEntry& E : Table.Drives()) L[E.MountPoint] = E.Letter;
    return L;
  };
  ASSERT_EQ(Letters().at("/media/user/MY CARD"), 'F');
  // A card mounted at a place that sorts first takes the first free letter.
  M.AddDisk("usb9/sdc", "sdc", 8, 32, true);
  M.AddMount("8:32 / /media/user/AAA rw - vfat /dev/sdc rw");
  M.Write();
  std::map<std::string, char> L = Letters();
  EXPECT_EQ(L.at("/media/user/AAA"), 'G');
  EXPECT_EQ(L.at("/media/user/CAMERA"), 'D');
  EXPECT_EQ(L.at("/media/user/DVD"), 'E');
  EXPECT_EQ(L.at("/media/user/MY CARD"), 'F');
  // The SD card goes; the next card takes its letter, nobody else moves.
  auto WriteWithoutTheSdCard = [&] {
    M.Write();
    std::string Info = test::ReadFile(M.Dir / "proc/self/mountinfo");
    const size_t At = Info.rfind('\n', Info.find("179:1 / /media/user/CAMERA")) + 1;
    Info.erase(At, Info.find('\n', At) + 1 - At);
    test::WriteFile(M.Dir / "proc/self/mountinfo", Info);
  };
  WriteWithoutTheSdCard();
  L = Letters();
  EXPECT_EQ(L.count("/media/user/CAMERA"), 0u);
  EXPECT_EQ(L.at("/media/user/AAA"), 'G');
  EXPECT_EQ(L.at("/media/user/MY CARD"), 'F');
  M.AddDisk("usb9/sdd", "sdd", 8, 48, true);
  M.AddMount("8:48 / /media/user/ZZZ rw - vfat /dev/sdd rw");
  WriteWithoutTheSdCard();
  L = Letters();
  EXPECT_EQ(L.at("/media/user/ZZZ"), 'D');
  EXPECT_EQ(L.at("/media/user/AAA"), 'G');
}

// On a mount table that signals its changes (the kernel's, here a stand-in
// the fault file system signals for), the table is read once and then only
// after a change is signalled; letters stay with their volumes across it.
TEST_F(LinuxDriveTable, SignallingMountTableIsReadAgainOnlyAfterAChange) {
  TFaultFileSystem Fault;
  Fault.TreatAsMountTable("*/proc/self/mountinfo");
  const int Reads = Fault.Add({.Op = TFsOp::Read, .Path = "*/proc/self/mountinfo", .Call = INT_MAX});
  TFileSystemOverride Guard(Fault);
  TLinuxDriveTable Table(M.Proc(), M.Sys(), M.Dev());
  auto Letters = [&] {
    std::map<std::string, char> L;
    for (const TDriveEntry& E : Table.Drives()) L[E.MountPoint] = E.Letter;
    return L;
  };
  ASSERT_EQ(Letters().size(), 4u);
  const int First = Fault.Seen(Reads);
  ASSERT_GT(First, 0);

  // Mounted behind the kernel's back: no signal, so no reading.
  M.AddDisk("usb9/sdc", "sdc", 8, 32, true);
  M.AddMount("8:32 / /media/user/AAA rw - vfat /dev/sdc rw");
  M.Write();
  for (int I = 0; I < 3; ++I) EXPECT_EQ(Letters().count("/media/user/AAA"), 0u);
  EXPECT_EQ(Fault.Seen(Reads), First);

  Fault.ReportMountChange();
  std::map<std::string, char> L = Letters();
  const int Second = Fault.Seen(Reads);
  EXPECT_GT(Second, First);
  EXPECT_EQ(L.at("/media/user/AAA"), 'G');
  EXPECT_EQ(L.at("/media/user/CAMERA"), 'D');
  EXPECT_EQ(L.at("/media/user/DVD"), 'E');
  EXPECT_EQ(L.at("/media/user/MY CARD"), 'F');
  EXPECT_EQ(Letters().size(), 5u);
  EXPECT_EQ(Fault.Seen(Reads), Second);
}

TEST_F(LinuxDriveTable, AtMostLettersDToZ) {
  for (int I = 0; I < 30; ++I) {
    const std::string Name = "usb" + std::to_string(100 + I);
    M.AddDisk("usb9/" + Name, Name, 65, static_cast<unsigned>(I * 16), true);
    M.AddMount("65:" + std::to_string(I * 16) + " / /media/z/" + Name + " rw - vfat /dev/" + Name + " rw");
  }
  M.Write();
  const std::vector<TDriveEntry> D = Drives();
  ASSERT_EQ(D.size(), 24u);  // C: and D..Z
  EXPECT_EQ(D.back().Letter, 'Z');
  for (size_t I = 1; I < D.size(); ++I) EXPECT_EQ(D[I].Letter, static_cast<char>('C' + I));
}

TEST_F(LinuxDriveTable, MissingSourcesGiveOnlyTheSystemDrive) {
  test::TTempDir Empty;
  TLinuxDriveTable Table(Empty.Native(), Empty.Native(), Empty.Native());
  const std::vector<TDriveEntry> D = Table.Drives();
  ASSERT_EQ(D.size(), 1u);
  EXPECT_EQ(D[0].Letter, 'C');
  EXPECT_EQ(D[0].MountPoint, "/");
  EXPECT_EQ(D[0].Type, DRIVE_FIXED);
  EXPECT_FALSE(Table.SetLabel('C', "X"));
}

// Inside a chroot the mount holding "/" is outside the visible tree, so
// mountinfo lists only what was mounted inside it.
TEST(LinuxDriveTableInAChroot, SystemDriveStillNamesTheRootFileSystem) {
  TFakeMachine M;
  M.AddMount("0:21 / /proc rw - proc proc rw");
  M.AddMount("0:5 / /dev rw - devtmpfs udev rw");
  M.Write();
  const std::vector<TDriveEntry> D = TLinuxDriveTable(M.Proc(), M.Sys(), M.Dev()).Drives();
  ASSERT_EQ(D.size(), 1u);
  EXPECT_EQ(D[0].Letter, 'C');
  EXPECT_EQ(D[0].MountPoint, "/");
  EXPECT_FALSE(D[0].FileSystem.empty());
}

TEST(LinuxDriveTableOnThisMachine, SystemDriveIsTheRootFileSystem) {
  TLinuxDriveTable Table;
  const std::vector<TDriveEntry> D = Table.Drives();
  // The kernel's table does not change by itself between two readings.
  const std::vector<TDriveEntry> Again = Table.Drives();
  ASSERT_EQ(Again.size(), D.size());
  for (size_t I = 0; I < D.size(); ++I) EXPECT_EQ(Again[I].MountPoint, D[I].MountPoint);
  ASSERT_FALSE(D.empty());
  EXPECT_EQ(D[0].Letter, 'C');
  EXPECT_EQ(D[0].MountPoint, "/");
  EXPECT_FALSE(D[0].FileSystem.empty());  // every Linux system mounts "/"
  for (size_t I = 1; I < D.size(); ++I) {
    EXPECT_EQ(D[I].Letter, static_cast<char>('C' + I));
    EXPECT_TRUE(D[I].Type == DRIVE_REMOVABLE || D[I].Type == DRIVE_CDROM);
    EXPECT_TRUE(fs::is_directory(D[I].MountPoint));
  }
}

}  // namespace
}  // namespace zem::platform

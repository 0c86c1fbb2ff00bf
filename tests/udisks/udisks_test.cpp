// The UDisks2 drive table on real (loop-device) cards, against the private
// daemons of scripts/udisks-test-env.sh. Without them every test skips with
// the script's reason.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "common/test_support.h"
#include "cli/cardcli/card_commands.h"
#include "platform/drives.h"
#include "platform/format.h"
#include "platform/udisks_drives.h"
#include "platform/window_services.h"
#include "platform/winapi.h"

namespace zem::platform {
namespace {

namespace fs = std::filesystem;

const char* Env(const char* Name) {
  const char* V = std::getenv(Name);
  return V != nullptr && *V != '\0' ? V : nullptr;
}

#define REQUIRE_PRIVATE_UDISKS()                                                         \
  do {                                                                                   \
    if (Env("ZEM_UDISKS_TEST_BUS") == nullptr) {                                         \
      const char* Why = Env("ZEM_UDISKS_SKIP_REASON");                                   \
      GTEST_SKIP() << (Why != nullptr ? Why                                              \
                                      : "no private UDisks2 (run through "               \
                                        "scripts/udisks-test-env.sh)");                  \
    }                                                                                    \
  } while (0)

// A shell command with the private bus as the system bus; its output, and
// the test fails when it fails.
std::string Shell(const std::string& Command, bool MustSucceed = true) {
  int Status = 0;
  const std::string Out = test::RunCommand(
      "DBUS_SYSTEM_BUS_ADDRESS='" + std::string(Env("ZEM_UDISKS_TEST_BUS")) + "' " + Command + " 2>&1",
      Status);
  if (MustSucceed) EXPECT_EQ(Status, 0) << Command << ":\n" << Out;
  return Out;
}

// A card: an image file of 64 MiB with a file system, attached as a loop
// device through the daemon (as a card would be inserted) and mounted.
class TLoopCard {
 public:
  TLoopCard(const std::string& Name, const std::string& FsType, const std::string& Label,
            const std::string& Folder = Env("ZEM_UDISKS_TEST_DIR")) {
    FImage = Folder + "/" + Name + ".img";
    Shell("truncate -s 64M '" + FImage + "'");
    Shell(FsType == "vfat" ? "mkfs.vfat -n '" + Label + "' '" + FImage + "'"
                         : "mkfs.exfat -L '" + Label + "' '" + FImage + "'");
    const std::string Out = Shell("udisksctl loop-setup --no-user-interaction -f '" + FImage + "'");
    const size_t At = Out.find(" as /dev/");
    if (At != std::string::npos) {
      FDevice = Out.substr(At + 4);
      FDevice = FDevice.substr(0, FDevice.find_first_of(". \n"));
    }
    EXPECT_FALSE(FDevice.empty()) << Out;
    Shell("udevadm settle --timeout=10");
  }
  ~TLoopCard() { Remove(); }

  void Mount(const std::string& AsUser = std::string()) {
    Shell(Prefix(AsUser) + "udisksctl mount --no-user-interaction -b " + FDevice);
  }
  void Unmount() { Shell("udisksctl unmount --no-user-interaction -b " + FDevice, false); }
  // The card pulled: unmounted and its loop device deleted.
  void Remove() {
    if (FDevice.empty()) return;
    Unmount();
    Shell("udisksctl loop-delete --no-user-interaction -b " + FDevice);
    FDevice.clear();
  }
  const std::string& Device() const { return FDevice; }
  std::string Blkid(const char* Tag) {
    return Trim(Shell("blkid -p -o value -s " + std::string(Tag) + " " + FDevice, false));
  }

  static std::string Trim(std::string S) {
    while (!S.empty() && (S.back() == '\n' || S.back() == ' ')) S.pop_back();
    return S;
  }

 private:
  static std::string Prefix(const std::string& User) {
    return User.empty() ? std::string() : "setpriv --reuid=" + User + " --regid=" + User + " --clear-groups ";
  }
  std::string FImage, FDevice;
};

// The table on the private bus, counting its change reports.
struct TWatchedTable {
  TWatchedTable() : Table(new TUDisksDriveTable(Env("ZEM_UDISKS_TEST_BUS"))) {
    Table->SetOnChange([this] { ++Changes; });
  }
  // The entry of the device once the table lists it (or no longer does:
  // Present false), waiting for the daemon's signals up to 20 s.
  std::optional<TDriveEntry> WaitFor(const std::string& Device, bool Present = true) {
    for (int I = 0; I < 200; ++I) {
      std::optional<TDriveEntry> Found;
      for (const TDriveEntry& E : Table->Drives())
        if (E.Device == Device) Found = E;
      if (Found.has_value() == Present) return Found;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << Device << (Present ? " never appeared" : " never went away");
    return std::nullopt;
  }
  TUDisksDriveTable* Table;  // owned by the drive table slot once installed
  std::atomic<int> Changes{0};
};

class UDisksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_UDISKS();
    Watched = std::make_unique<TWatchedTable>();
    Scope = std::make_unique<TDriveTableScope>(std::unique_ptr<TDriveTable>(Watched->Table));
  }
  void TearDown() override {
    if (Watched) Watched->Table->SetOnChange(nullptr);
    Scope.reset();
  }
  std::unique_ptr<TWatchedTable> Watched;
  std::unique_ptr<TDriveTableScope> Scope;
};

TEST_F(UDisksTest, CardsAppearAndGoWithTheirLettersAndReportChanges) {
  Watched->Table->Drives();  // starts watching
  TLoopCard A("insert-a", "vfat", "CAMERA");
  A.Mount();
  const auto EA = Watched->WaitFor(A.Device());
  ASSERT_TRUE(EA);
  EXPECT_GT(Watched->Changes.load(), 0);
  EXPECT_EQ(EA->Type, DRIVE_REMOVABLE);
  EXPECT_EQ(EA->Label, "CAMERA");
  EXPECT_EQ(EA->FileSystem, "vfat");
  EXPECT_TRUE(fs::is_directory(EA->MountPoint)) << EA->MountPoint;
  EXPECT_NE(EA->Identity.find(A.Blkid("UUID")), std::string::npos) << EA->Identity;

  TLoopCard B("insert-b", "exfat", "PHONE");
  B.Mount();
  const auto EB = Watched->WaitFor(B.Device());
  ASSERT_TRUE(EB);
  EXPECT_NE(EB->Letter, EA->Letter);
  EXPECT_EQ(EB->FileSystem, "exfat");

  // Pulling A frees its letter; B keeps its own.
  const int Before = Watched->Changes.load();
  A.Remove();
  Watched->WaitFor(EA->Device, false);
  EXPECT_GT(Watched->Changes.load(), Before);
  const auto EB2 = Watched->WaitFor(B.Device());
  ASSERT_TRUE(EB2);
  EXPECT_EQ(EB2->Letter, EB->Letter);

  // A card put in again takes the free letter and leaves B alone.
  TLoopCard C("insert-c", "vfat", "AGAIN");
  C.Mount();
  const auto EC = Watched->WaitFor(C.Device());
  ASSERT_TRUE(EC);
  EXPECT_EQ(EC->Letter, EA->Letter);
  EXPECT_EQ(Watched->WaitFor(B.Device())->Letter, EB->Letter);
}

struct TFormatCase {
  const char* Initial;  // file system the card comes with
  const char* Chosen;   // FormatDrive's choice ("" = the card's own)
  const char* Made;     // blkid's TYPE afterwards
};

TEST_F(UDisksTest, FormatMakesAnEmptyFileSystemWithTheLabelUnderTheSameLetter) {
  const TFormatCase Cases[] = {
      {"vfat", "", "vfat"}, {"exfat", "", "exfat"}, {"vfat", "exFAT", "exfat"}};
  for (const TFormatCase& C : Cases) {
    SCOPED_TRACE(std::string(C.Initial) + " -> " + C.Made);
    TLoopCard Card(std::string("format-") + C.Initial, C.Initial, "KEEPME");
    Card.Mount();
    const auto Before = Watched->WaitFor(Card.Device());
    ASSERT_TRUE(Before);
    test::WriteFile(fs::path(Before->MountPoint) / "DCIM" / "a.jpg", "picture");
    const std::string OldUuid = Card.Blkid("UUID");

    ASSERT_TRUE(FormatMakesFileSystem(static_cast<uint32_t>(Before->Letter - 'A')));
    ASSERT_EQ(FormatDrive(static_cast<uint32_t>(Before->Letter - 'A'), {}, C.Chosen), 0u)
        << DriveTable().LastFailure();
    const auto After = Watched->WaitFor(Card.Device());
    ASSERT_TRUE(After);
    EXPECT_EQ(After->Letter, Before->Letter);
    EXPECT_FALSE(After->MountPoint.empty());
    EXPECT_NE(After->Identity, Before->Identity);
    EXPECT_EQ(Card.Blkid("TYPE"), C.Made);
    EXPECT_EQ(Card.Blkid("LABEL"), "KEEPME");
    EXPECT_NE(Card.Blkid("UUID"), OldUuid);
    Card.Unmount();
    if (std::string(C.Made) == "vfat") {
      const std::string Check = Shell("fsck.fat -n " + Card.Device());
      // The label's entry counts as a file; no cluster is in use.
      EXPECT_NE(Check.find(" files, 0/"), std::string::npos) << Check;
    } else {
      const std::string Check = Shell("fsck.exfat -n " + Card.Device());
      EXPECT_NE(Check.find("files 0"), std::string::npos) << Check;
    }
  }
}

TEST_F(UDisksTest, SetLabelRelabelsTheCard) {
  TLoopCard Card("label", "exfat", "OLD");
  Card.Mount();
  const auto E = Watched->WaitFor(Card.Device());
  ASSERT_TRUE(E);
  const std::string Root = std::string(1, E->Letter) + ":\\";
  ASSERT_TRUE(SetVolumeLabelA(Root.c_str(), "NEWNAME")) << DriveTable().LastFailure();
  EXPECT_EQ(Card.Blkid("LABEL"), "NEWNAME");
  for (int I = 0; I < 100 && DriveTable().Find(E->Letter)->Label != "NEWNAME"; ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(DriveTable().Find(E->Letter)->Label, "NEWNAME");
}

// Nothing is erased for a card that is not the one the entry names, for a
// device the table does not list, or for the system drive.
TEST_F(UDisksTest, FormatRefusesWhatIsNotTheListedCard) {
  TLoopCard Card("refuse", "exfat", "SAFE");
  Card.Mount();
  const auto E = Watched->WaitFor(Card.Device());
  ASSERT_TRUE(E);
  test::WriteFile(fs::path(E->MountPoint) / "keep.txt", "kept");

  // A system device: an image outside the test cards' folder is one.
  TLoopCard System("system-device", "exfat", "SYSTEM", fs::path(Env("ZEM_UDISKS_TEST_DIR")).parent_path().string());
  System.Mount();
  for (const TDriveEntry& D : Watched->Table->Drives()) EXPECT_NE(D.Device, System.Device());

  TDriveEntry Swapped = *E;
  Swapped.Identity += "-other";
  TDriveEntry Unlisted = *E;
  Unlisted.Device = System.Device();
  TDriveEntry Root = *DriveTable().Find('C');
  for (const TDriveEntry* Bad : {&Swapped, &Unlisted, &Root}) {
    SCOPED_TRACE(Bad->Device + " " + Bad->Identity);
    EXPECT_FALSE(Watched->Table->MakeFileSystem(*Bad, "exfat", "GONE"));
    EXPECT_FALSE(Watched->Table->LastFailure().empty());
  }
  EXPECT_EQ(FormatDrive(2), static_cast<uint32_t>(SHFMT_NOFORMAT));
  EXPECT_EQ(test::ReadFile(fs::path(Watched->WaitFor(Card.Device())->MountPoint) / "keep.txt"), "kept");
  EXPECT_EQ(System.Blkid("LABEL"), "SYSTEM");
}

// Backup, then a restore whose format is the real one, through zemcard's
// commands on the card's letter.
TEST_F(UDisksTest, BackupFormatRestoreRoundTrip) {
  TLoopCard Card("roundtrip", "exfat", "TRIP");
  Card.Mount();
  const auto E = Watched->WaitFor(Card.Device());
  ASSERT_TRUE(E);
  const fs::path Mount = E->MountPoint;
  test::WriteFile(Mount / "DCIM" / "100CAM" / "a.jpg", test::RandomBytes(100000, 1));
  test::WriteFile(Mount / "notes.txt", "hello");
  test::TTempDir Work;
  const std::string Image = (Work / "trip.IMG").string();
  const std::string Letter(1, E->Letter);
  std::ostringstream Out, Err;
  ASSERT_EQ(RunCardCommand({"backup", Letter, Image}, Out, Err), kExitOk) << Err.str();
  test::WriteFile(Mount / "extra.txt", "not in the backup");
  const std::string OldUuid = Card.Blkid("UUID");

  std::istringstream Yes;
  ASSERT_EQ(RunCardCommand({"restore", "--yes", Image, Letter}, Yes, Out, Err), kExitOk) << Err.str();
  EXPECT_NE(Card.Blkid("UUID"), OldUuid);  // a new file system, not an emptied one
  // The restore ends with the card unmounted, ready to be pulled, and says
  // so; it is mounted again here to read what it holds.
  EXPECT_NE(Out.str().find("Job complete!\nThe card is unmounted: it can be removed."), std::string::npos)
      << Out.str();
  Watched->WaitFor(Card.Device(), false);
  EXPECT_EQ(Shell("findmnt -n -S " + Card.Device(), false), "");
  Card.Mount();
  const auto After = Watched->WaitFor(Card.Device());
  ASSERT_TRUE(After);
  EXPECT_EQ(After->Letter, E->Letter);
  const fs::path NewMount = After->MountPoint;
  EXPECT_EQ(test::ReadFile(NewMount / "DCIM" / "100CAM" / "a.jpg"), test::RandomBytes(100000, 1));
  EXPECT_EQ(test::ReadFile(NewMount / "notes.txt"), "hello");
  EXPECT_FALSE(fs::exists(NewMount / "extra.txt"));
  EXPECT_EQ(Card.Blkid("LABEL"), "TRIP");
}

TEST_F(UDisksTest, EjectUnmountsTheCard) {
  TLoopCard Card("eject", "vfat", "PULLME");
  Card.Mount();
  const auto E = Watched->WaitFor(Card.Device());
  ASSERT_TRUE(E);
  std::ostringstream Out, Err;
  ASSERT_EQ(RunCardCommand({"eject", std::string(1, E->Letter)}, Out, Err), kExitOk) << Err.str();
  // A loop device has no drive to power off.
  EXPECT_NE(Out.str().find("unmounted: the card can be removed"), std::string::npos) << Out.str();
  Watched->WaitFor(Card.Device(), false);
  EXPECT_EQ(Shell("findmnt -n -S " + Card.Device(), false), "");
  EXPECT_EQ(Card.Blkid("LABEL"), "PULLME");
}

// A user without root, allowed by the private polkit's rule, formats its
// own card with zemcard (the program reaches the private bus as its system
// bus).
TEST_F(UDisksTest, NonRootUserFormatsThroughPolkit) {
  const char* User = Env("ZEM_UDISKS_TEST_USER");
  if (User == nullptr) GTEST_SKIP() << "no non-root test user";
  const std::string Uid = TLoopCard::Trim(Shell(std::string("id -u ") + User));
  const std::string Zemcard = std::string(ZEM_BINARY_DIR) + "/cli/zemcard";
  ASSERT_TRUE(fs::exists(Zemcard));
  TLoopCard Card("user", "exfat", "MINE");
  Card.Mount(Uid);
  ASSERT_TRUE(Watched->WaitFor(Card.Device()));
  const std::string OldUuid = Card.Blkid("UUID");
  const std::string Out = Shell("setpriv --reuid=" + Uid + " --regid=" + Uid + " --clear-groups " +
                              Zemcard + " list");
  const size_t Quote = Out.find("\"MINE\"");
  ASSERT_NE(Quote, std::string::npos) << Out;
  const std::string Letter = Out.substr(Out.rfind('\n', Quote) == std::string::npos ? 0 : Out.rfind('\n', Quote) + 1, 1);
  Shell("setpriv --reuid=" + Uid + " --regid=" + Uid + " --clear-groups " + Zemcard +
      " format --yes " + Letter);
  EXPECT_NE(Card.Blkid("UUID"), OldUuid);
  EXPECT_EQ(Card.Blkid("LABEL"), "MINE");
  EXPECT_EQ(Card.Blkid("TYPE"), "exfat");
}

}  // namespace
}  // namespace zem::platform

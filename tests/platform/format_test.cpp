// Tests of the format stand-in: which drives it refuses and what it empties.
#include "platform/format.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>

#include "common/test_support.h"
#include "platform/drives.h"
#include "platform/winapi.h"

namespace zem::platform {
namespace {

namespace fs = std::filesystem;

// Every path below Root with its bytes (folders as "<dir>").
std::map<std::string, std::string> Snapshot(const fs::path& Root) {
  std::map<std::string, std::string> S;
  for (auto& E : fs::recursive_directory_iterator(Root)) {
    const std::string Rel = fs::relative(E.path(), Root).string();
    S[Rel] = E.is_symlink() ? "<link>" : E.is_directory() ? "<dir>" : test::ReadFile(E.path());
  }
  return S;
}

uint32_t DriveIndex(char Letter) { return static_cast<uint32_t>(Letter - 'A'); }

TEST(FormatDrive, RefusesEveryDriveThatIsNotRemovableAndTouchesNothing) {
  test::TTempDir Dir;
  for (const char* Name : {"fixed", "cdrom", "remote"}) test::WriteFile(Dir / Name / "f.txt", Name);
  auto T = std::make_unique<TFakeDriveTable>();
  T->AddDrive('D', (Dir / "fixed").string(), "DATA", 0, DRIVE_FIXED);
  T->AddDrive('E', (Dir / "cdrom").string(), "DISC", 0, DRIVE_CDROM);
  T->AddDrive('H', (Dir / "remote").string(), "NET", 0, DRIVE_REMOTE);
  T->AddDrive('R', "/", "ROOT", 0, DRIVE_REMOVABLE);  // never the root, whatever the type
  TDriveTableScope Scope(std::move(T));
  const auto Before = Snapshot(Dir.Path());

  int Asked = 0;
  auto Confirm = [&] {
    ++Asked;
    return true;
  };
  for (char Letter : {'C', 'D', 'E', 'H', 'R', 'Q', 'A'})
    EXPECT_EQ(FormatDrive(DriveIndex(Letter), Confirm), SHFMT_NOFORMAT) << Letter;
  EXPECT_EQ(FormatDrive(26, Confirm), SHFMT_NOFORMAT);
  EXPECT_EQ(FormatDrive(0xFFFFFFFFu, Confirm), SHFMT_NOFORMAT);
  EXPECT_EQ(Asked, 0);
  EXPECT_EQ(Snapshot(Dir.Path()), Before);
}

TEST(FormatDrive, EmptiesTheRemovableVolumeAndKeepsItsLabel) {
  test::TTempDir Dir;
  const fs::path Card = Dir / "card";
  test::WriteFile(Card / "DCIM/100CANON/IMG_0001.JPG", test::RandomBytes(10000, 1));
  test::WriteFile(Card / ".hidden/.inner", "hidden");
  test::WriteFile(Card / "ro/locked.txt", "read-only file in a read-only folder");
  fs::permissions(Card / "ro/locked.txt", fs::perms::owner_read);
  fs::permissions(Card / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  test::WriteFile(Card / "sealed/secret", "folder without any permission");
  fs::permissions(Card / "sealed", fs::perms::none);
  fs::create_directories(Card / "empty");
  // A link to a folder outside the card goes; what it points to stays.
  test::WriteFile(Dir / "outside/precious.txt", "not on the card");
  fs::create_directory_symlink(Dir / "outside", Card / "link");
  fs::permissions(Card, fs::perms::owner_read | fs::perms::owner_exec);  // read-only root

  auto T = std::make_unique<TFakeDriveTable>();
  T->AddDrive('F', Card.string(), "CAMERA", 1ull << 30);
  T->AddDrive('G', (Dir / "reader").string(), "", 0, DRIVE_REMOVABLE, /*HasMedia=*/false);
  TDriveTableScope Scope(std::move(T));

  // Cancelled: nothing touched.
  const auto Before = Snapshot(Card);
  EXPECT_EQ(FormatDrive(DriveIndex('F'), [] { return false; }), SHFMT_CANCEL);
  EXPECT_EQ(Snapshot(Card), Before);
  // A reader without a card cannot be formatted: an error.
  EXPECT_EQ(FormatDrive(DriveIndex('G'), [] { return true; }), SHFMT_ERROR);

  EXPECT_EQ(FormatDrive(DriveIndex('F')), 0u);
  EXPECT_TRUE(fs::is_directory(Card));
  EXPECT_TRUE(fs::is_empty(Card));
  EXPECT_EQ(test::ReadFile(Dir / "outside/precious.txt"), "not on the card");
  // The mount point keeps its own permissions, the volume its label.
  EXPECT_EQ(fs::status(Card).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(DriveTable().Find('F')->Label, "CAMERA");
  char Label[261] = {};
  ASSERT_TRUE(
      GetVolumeInformationA("F:\\", Label, sizeof Label, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_STREQ(Label, "CAMERA");
  fs::permissions(Card, fs::perms::owner_all);
  // An empty volume formats again.
  EXPECT_EQ(FormatDrive(DriveIndex('F')), 0u);
}

}  // namespace
}  // namespace zem::platform

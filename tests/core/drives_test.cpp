// Tests of the drive layer: listing, labels, captions, capacities and card walks.
#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/test_support.h"
#include "core/drives.h"
#include "platform/drives.h"
#include "platform/winapi.h"

namespace zem {
namespace {

namespace fs = std::filesystem;
using platform::DRIVE_FIXED;
using platform::DRIVE_REMOVABLE;
using platform::TDriveTableScope;
using platform::TFakeDriveTable;

constexpr uint64_t kGiB = 1ull << 30;

// Records what the drive layer does to the window's list.
class TRecordingList : public TDriveListControl {
 public:
  void Clear() override {
    Items.clear();
    ++Clears;
  }
  void AddItem(const std::string& Caption) override { Items.push_back(Caption); }
  std::vector<std::string> Items;
  int Clears = 0;
};

// A machine with a mix of drives, each a temporary folder.
class DriveListTest : public ::testing::Test {
 protected:
  DriveListTest() {
    auto Table = std::make_unique<TFakeDriveTable>();
    // Added out of order: the listing must still follow the letters.
    Table->AddDrive('K', Folder("k"), "zeta", 2 * kGiB);
    Table->AddDrive('A', Folder("a"), "FLOPPYA", 1474560);
    Table->AddDrive('B', Folder("b"), "FLOPPYB", 1474560);
    Table->AddDrive('D', Folder("d"), "DISK", 500 * kGiB, DRIVE_FIXED);
    Table->AddDrive('F', Folder("f"), "CAMERA", 64 * kGiB);
    Table->AddDrive('G', Folder("g"), "", 0, DRIVE_REMOVABLE, /*HasMedia=*/false);
    Table->AddDrive('H', Folder("h"), "");
    Table->AddDrive('Z', Folder("z"), "LAST", 128 * 1024 * 1024);
    Scope = std::make_unique<TDriveTableScope>(std::move(Table));
  }

  std::string Folder(const std::string& Name) {
    fs::create_directories(Dir / Name);
    return (Dir / Name).string();
  }

  test::TTempDir Dir;
  std::unique_ptr<TDriveTableScope> Scope;
};

TEST_F(DriveListTest, ListsRemovableDrivesCToZInLetterOrder) {
  std::vector<std::string> List{"kept"};
  ListRemovableDrives(List);
  // Appends; A and B are never examined, the fixed D and the root C are left
  // out, the reader without a card and the unlabelled card show " (X:)".
  const std::vector<std::string> Expected{"kept",    "CAMERA (F:)", " (G:)",
                                          " (H:)",   "ZETA (K:)",   "LAST (Z:)"};
  EXPECT_EQ(List, Expected);
}

TEST_F(DriveListTest, MachineWithoutRemovableDrivesGivesEmptyList) {
  auto Table = std::make_unique<TFakeDriveTable>();
  Table->AddDrive('A', Folder("a2"), "FLOPPY");
  Table->AddDrive('E', Folder("e2"), "DATA", 0, DRIVE_FIXED);
  TDriveTableScope Inner(std::move(Table));
  std::vector<std::string> List;
  ListRemovableDrives(List);
  EXPECT_TRUE(List.empty());

  TRecordingList Control;
  Control.Items = {"stale (F:)"};
  FillDriveList(Control);
  EXPECT_EQ(Control.Clears, 1);
  EXPECT_TRUE(Control.Items.empty());
}

TEST_F(DriveListTest, FillDriveListReplacesItemsWithFreshCaptions) {
  TRecordingList Control;
  Control.Items = {"OLD (Q:)", "OLDER (R:)"};
  FillDriveList(Control);
  std::vector<std::string> Expected;
  ListRemovableDrives(Expected);
  EXPECT_EQ(Control.Clears, 1);
  EXPECT_EQ(Control.Items, Expected);
  EXPECT_EQ(Control.Items.front(), "CAMERA (F:)");
}

TEST_F(DriveListTest, LabelCaseFollowsTheLetterAndFailuresGiveEmpty) {
  EXPECT_EQ(DriveLabel('F'), "CAMERA");
  EXPECT_EQ(DriveLabel('f'), "camera");
  EXPECT_EQ(DriveLabel('K'), "ZETA");
  EXPECT_EQ(DriveLabel('k'), "zeta");
  EXPECT_EQ(DriveLabel('G'), "");  // no card
  EXPECT_EQ(DriveLabel('Q'), "");  // no such drive
}

TEST_F(DriveListTest, LabelQueryRestoresTheErrorMode) {
  const uint32_t Original = platform::SetErrorMode(platform::SEM_NOOPENFILEERRORBOX);
  DriveLabel('G');   // fails: no medium
  DriveLabel('F');   // succeeds
  std::vector<std::string> List;
  ListRemovableDrives(List);
  EXPECT_EQ(platform::SetErrorMode(Original), platform::SEM_NOOPENFILEERRORBOX);
}

TEST_F(DriveListTest, CapacityIsTheWholeVolumeIn64Bits) {
  EXPECT_EQ(DriveCapacity("F"), 64 * kGiB);  // above 4 GiB: neither 0 nor wrapped
  EXPECT_EQ(DriveCapacity("K"), 2 * kGiB);
  EXPECT_EQ(DriveCapacity("Z"), 128u * 1024 * 1024);
  EXPECT_EQ(DriveCapacity("G"), 0u);  // reader without a card
  EXPECT_EQ(DriveCapacity("Q"), 0u);  // no such drive
  EXPECT_EQ(DriveCapacity(""), 0u);
}

TEST_F(DriveListTest, CapacityDoesNotDependOnFreeSpace) {
  test::WriteFile(Dir / "f" / "big.bin", std::string(1 << 20, 'x'));
  EXPECT_EQ(DriveCapacity("F"), 64 * kGiB);
}

TEST(DriveLetterOf, TakesTheCharacterBetweenParenthesisAndColon) {
  EXPECT_EQ(DriveLetterOf("CAMERA (F:)"), "F");
  EXPECT_EQ(DriveLetterOf(" (G:)"), "G");
  EXPECT_EQ(DriveLetterOf("(H:)"), "H");
  // Only the first ":)" counts.
  EXPECT_EQ(DriveLetterOf("A (B:) (C:)"), "B");
  EXPECT_EQ(DriveLetterOf("X:) (C:)"), "");
}

TEST(DriveLetterOf, LeavesTheResultAsPassedWithoutACaption) {
  EXPECT_EQ(DriveLetterOf("CAMERA"), "");
  EXPECT_EQ(DriveLetterOf(""), "");
  EXPECT_EQ(DriveLetterOf(":)"), "");
  EXPECT_EQ(DriveLetterOf("F:)"), "");       // ":)" at position 2
  EXPECT_EQ(DriveLetterOf("CAMERA [F:)"), ""); // no "(" two places before
  EXPECT_EQ(DriveLetterOf("CAMERA (F:)", "x"), "F");
  EXPECT_EQ(DriveLetterOf("CAMERA F:)", "x"), "x");
}

TEST(HumanSize, DecimalUnitsAsPrintedOnCards) {
  EXPECT_EQ(HumanSize(0), "0 B");
  EXPECT_EQ(HumanSize(999), "999 B");
  EXPECT_EQ(HumanSize(1000), "1.0 kB");
  EXPECT_EQ(HumanSize(1536), "1.5 kB");
  EXPECT_EQ(HumanSize(999'949), "999.9 kB");
  EXPECT_EQ(HumanSize(999'950), "1.0 MB");  // would print as 1000.0 kB
  EXPECT_EQ(HumanSize(31'914'983'424ull), "31.9 GB");
  EXPECT_EQ(HumanSize(1ull << 32), "4.3 GB");
  EXPECT_EQ(HumanSize(2'000'000'000'000ull), "2.0 TB");
  EXPECT_EQ(HumanSize(UINT64_MAX), "18.4 EB");
}

// A card with hidden, read-only and empty folders on fake drive F.
class CollectFilesTest : public ::testing::Test {
 protected:
  CollectFilesTest() {
    const fs::path R = Dir.Path();
    test::WriteFile(R / "a.txt", "a");
    test::WriteFile(R / "noext", "n");
    test::WriteFile(R / ".hidden", "h");
    test::WriteFile(R / "DCIM" / "100CAM" / "img1.jpg", "1");
    test::WriteFile(R / "DCIM" / "100CAM" / "img2.jpg", "2");
    test::WriteFile(R / "DCIM" / "index.dat", "i");
    test::WriteFile(R / "DCIM" / "101CAM" / "deep" / "x.raw", "x");
    test::WriteFile(R / ".trash" / "old.jpg", "o");
    test::WriteFile(R / "ro" / "locked.txt", "r");
    fs::create_directories(R / "empty");
    fs::create_directories(R / "emptytree" / "a" / "b");
    fs::permissions(R / "ro" / "locked.txt", fs::perms::owner_read | fs::perms::group_read);
    fs::permissions(R / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    auto Table = std::make_unique<TFakeDriveTable>();
    Table->AddDrive('F', Dir.Native(), "CARD", 8 * kGiB);
    Scope = std::make_unique<TDriveTableScope>(std::move(Table));
  }

  test::TTempDir Dir;
  std::unique_ptr<TDriveTableScope> Scope;
};

// Every folder's files form one unbroken run of the list, which is what a
// depth-first walk produces whatever order the search returns names in.
void ExpectDepthFirst(const std::vector<std::string>& List) {
  std::set<std::string> Folders;
  for (const std::string& Path : List)
    for (size_t I = Path.find('\\', 3); I != std::string::npos; I = Path.find('\\', I + 1))
      Folders.insert(Path.substr(0, I + 1));
  for (const std::string& Folder : Folders) {
    auto Inside = [&](const std::string& P) { return P.rfind(Folder, 0) == 0; };
    auto First = std::find_if(List.begin(), List.end(), Inside);
    auto AfterRun = std::find_if_not(First, List.end(), Inside);
    EXPECT_EQ(std::find_if(AfterRun, List.end(), Inside), List.end())
        << "files of " << Folder << " are not contiguous";
  }
}

TEST_F(CollectFilesTest, CollectsEveryFileDepthFirst) {
  std::vector<std::string> List{"F:\\earlier"};
  CollectFiles("*.*", "F:\\", List);
  ASSERT_FALSE(List.empty());
  EXPECT_EQ(List.front(), "F:\\earlier");
  List.erase(List.begin());
  const std::set<std::string> Expected{
      "F:\\a.txt",          "F:\\noext",          "F:\\.hidden",
      "F:\\DCIM\\100CAM\\img1.jpg", "F:\\DCIM\\100CAM\\img2.jpg", "F:\\DCIM\\index.dat",
      "F:\\DCIM\\101CAM\\deep\\x.raw", "F:\\.trash\\old.jpg", "F:\\ro\\locked.txt"};
  EXPECT_EQ(std::set<std::string>(List.begin(), List.end()), Expected);
  EXPECT_EQ(List.size(), Expected.size()) << "a file was listed twice";
  ExpectDepthFirst(List);
}

TEST_F(CollectFilesTest, TrailingSeparatorIsOptional) {
  std::vector<std::string> WithSep, WithoutSep;
  CollectFiles("*.*", "F:\\DCIM\\", WithSep);
  CollectFiles("*.*", "F:\\DCIM", WithoutSep);
  EXPECT_EQ(WithSep, WithoutSep);
  EXPECT_EQ(WithSep.size(), 4u);
  for (const std::string& P : WithSep) {
    EXPECT_EQ(P.rfind("F:\\DCIM\\", 0), 0u) << P;
    EXPECT_EQ(P.find("\\\\"), std::string::npos) << P;
  }
}

TEST_F(CollectFilesTest, TheMaskAppliesAtEveryLevel) {
  std::vector<std::string> List;
  CollectFiles("*.jpg", "F:\\DCIM", List);
  // The folders 100CAM and 101CAM do not match "*.jpg", so the walk does not
  // enter them, and index.dat is not a match either.
  EXPECT_TRUE(List.empty());
  CollectFiles("*.jpg", "F:\\DCIM\\100CAM", List);
  std::sort(List.begin(), List.end());
  EXPECT_EQ(List, (std::vector<std::string>{"F:\\DCIM\\100CAM\\img1.jpg",
                                             "F:\\DCIM\\100CAM\\img2.jpg"}));
}

TEST_F(CollectFilesTest, FoldersThatCannotBeSearchedContributeNothing) {
  std::vector<std::string> List;
  CollectFiles("*.*", "F:\\missing", List);
  CollectFiles("*.*", "F:\\empty", List);
  CollectFiles("*.*", "F:\\emptytree", List);
  CollectFiles("*.*", "Q:\\", List);  // no such drive
  EXPECT_TRUE(List.empty());
}

TEST_F(CollectFilesTest, UnreadableFolderIsSkippedAndTheWalkGoesOn) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop the superuser";
  test::WriteFile(Dir / "shut" / "secret.txt", "s");
  fs::permissions(Dir / "shut", fs::perms::none);
  std::vector<std::string> List;
  CollectFiles("*.*", "F:\\", List);
  fs::permissions(Dir / "shut", fs::perms::owner_all);
  EXPECT_EQ(std::count(List.begin(), List.end(), "F:\\shut\\secret.txt"), 0);
  EXPECT_EQ(List.size(), 9u);
}

}  // namespace
}  // namespace zem

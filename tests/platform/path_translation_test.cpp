// Windows-style paths to native ones and back, through a fake drive table.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include "common/test_support.h"
#include "platform/drives.h"
#include "platform/winapi.h"

namespace zem::platform {
namespace {

class PathTranslation : public ::testing::Test {
 protected:
  void SetUp() override {
    auto Table = std::make_unique<TFakeDriveTable>();
    Table->AddDrive('F', Card.Native(), "CAMERA", 1 << 30);
    Table->AddDrive('G', (Card / "nested").string(), "INNER", 1 << 20);
    Scope = std::make_unique<TDriveTableScope>(std::move(Table));
  }
  test::TTempDir Card;
  std::unique_ptr<TDriveTableScope> Scope;
};

TEST_F(PathTranslation, DrivePathsMapBelowTheMountPoint) {
  EXPECT_EQ(ToNativePath("F:\\DCIM\\a.jpg"), Card.Native() + "/DCIM/a.jpg");
  EXPECT_EQ(ToNativePath("f:\\DCIM\\a.jpg"), Card.Native() + "/DCIM/a.jpg");
  EXPECT_EQ(ToNativePath("F:\\"), Card.Native());
  EXPECT_EQ(ToNativePath("F:"), Card.Native());
  // Doubled separators (a temp folder ending in "\" + "\ZEM0.DAT") collapse.
  EXPECT_EQ(ToNativePath("F:\\tmp\\\\ZEM0.DAT"), Card.Native() + "/tmp/ZEM0.DAT");
  EXPECT_EQ(ToNativePath("F:/DCIM//b.jpg"), Card.Native() + "/DCIM/b.jpg");
  // ".." never climbs above the drive's root.
  EXPECT_EQ(ToNativePath("F:\\..\\..\\etc\\passwd"), Card.Native() + "/etc/passwd");
}

TEST_F(PathTranslation, RootRelativeAndUnknownDrives) {
  EXPECT_EQ(ToNativePath("C:\\etc\\hosts"), "/etc/hosts");
  EXPECT_EQ(ToNativePath("\\etc\\hosts"), "/etc/hosts");
  EXPECT_EQ(ToNativePath("C:\\"), "/");
  EXPECT_EQ(ToNativePath("Q:\\x"), "");
  // A colon that is not the second character after a letter is part of a
  // name, as Linux file names allow.
  char Cwd[4096];
  ASSERT_NE(getcwd(Cwd, sizeof Cwd), nullptr);
  std::string Here = Cwd;
  EXPECT_EQ(ToNativePath("12:30:05.jpg"), (Here == "/" ? "" : Here) + "/12:30:05.jpg");
  EXPECT_EQ(ToNativePath("sub\\x.txt"), (Here == "/" ? "" : Here) + "/sub/x.txt");
}

TEST_F(PathTranslation, NativePathsTakeTheLongestMountPoint) {
  EXPECT_EQ(FromNativePath(Card.Native() + "/DCIM/a.jpg"), "F:\\DCIM\\a.jpg");
  EXPECT_EQ(FromNativePath(Card.Native()), "F:\\");
  EXPECT_EQ(FromNativePath(Card.Native() + "/"), "F:\\");
  EXPECT_EQ(FromNativePath(Card.Native() + "/nested/x"), "G:\\x");
  EXPECT_EQ(FromNativePath(Card.Native() + "/nestedother/x"), "F:\\nestedother\\x");
  EXPECT_EQ(FromNativePath("/etc//hosts"), "C:\\etc\\hosts");
  EXPECT_EQ(FromNativePath("/"), "C:\\");
  EXPECT_EQ(FromNativePath(Card.Native() + "/sub/"), "F:\\sub\\");
}

TEST_F(PathTranslation, RoundTrips) {
  for (const std::string P : {"F:\\DCIM\\100CANON\\IMG_0001.JPG", "G:\\a b\\c", "C:\\var\\tmp\\x",
                              "F:\\12\xef\x80\xba" "30.jpg", "F:\\\xe6\x97\xa5\xe6\x9c\xac.jpg"}) {
    EXPECT_EQ(FromNativePath(ToNativePath(P)), P) << P;
  }
  std::string Native = Card.Native() + "/nested/deep/file.txt";
  EXPECT_EQ(ToNativePath(FromNativePath(Native)), Native);
}

// Any Linux name comes back byte for byte: the characters that mean
// something in a Windows-style path, bytes that are not UTF-8, and the
// escape characters themselves. Inside, such a name holds no separator,
// drive colon or wildcard, distinct names stay distinct, and case folding
// leaves the escapes alone.
TEST_F(PathTranslation, EveryLinuxNameRoundTripsThroughItsInternalForm) {
  const std::string Names[] = {
      "a:b.txt", "b.txt", "x\\y", "*", "?", "<>|\"", "C:", "a\\..\\b", "..\\", "\xff\xfe", "caf\xe9",
      "\xed\xa0\x80", "\xc3", "\xef\x80\xba", "\xef\x80\xba:", "\xef\x83\xbf", "A.txt", "a.txt",
      "\xe6\x97\xa5.jpg", " lead and trail. ", "\x01\x1f"};
  std::set<std::string> Seen;
  for (const std::string& N : Names) {
    const std::string Internal = NameFromNative(N);
    EXPECT_EQ(NameToNative(Internal), N) << N;
    EXPECT_EQ(Internal.find_first_of("\\/:*?<>|\""), std::string::npos) << N;
    EXPECT_TRUE(Seen.insert(Internal).second) << N;
    const std::string Native = Card.Native() + "/dir/" + N;
    const std::string Win = FromNativePath(Native);
    EXPECT_EQ(Win, "F:\\dir\\" + Internal) << N;
    EXPECT_EQ(ToNativePath(Win), Native) << N;
  }
  EXPECT_EQ(NameFromNative("a:b"), "a\xef\x80\xba" "b");      // U+F03A
  EXPECT_EQ(NameFromNative("\xff"), "\xef\x83\xbf");         // U+F0FF
  EXPECT_EQ(AnsiUpperCaseFileName(NameFromNative("\xe9" "a")), NameFromNative("\xe9") + "A");
  // A root-level "a:b.txt" is a name on the card, never drive A:.
  EXPECT_EQ(ToNativePath(FromNativePath(Card.Native() + "/a:b.txt")), Card.Native() + "/a:b.txt");
}

TEST(DriveTableRegistry, InstallAndRestore) {
  {
    auto Table = std::make_unique<TFakeDriveTable>();
    Table->AddDrive('E', "/nonexistent-card", "X", 0, DRIVE_CDROM);
    TDriveTableScope Scope(std::move(Table));
    auto E = DriveTable().Find('e');
    ASSERT_TRUE(E.has_value());
    EXPECT_EQ(E->Type, static_cast<uint32_t>(DRIVE_CDROM));
    EXPECT_TRUE(DriveTable().SetLabel('E', "NEW"));
    EXPECT_EQ(DriveTable().Find('E')->Label, "NEW");
    EXPECT_FALSE(DriveTable().SetLabel('Z', "NEW"));
  }
  auto C = DriveTable().Find('C');
  ASSERT_TRUE(C.has_value());
  EXPECT_EQ(C->MountPoint, "/");
}

}  // namespace
}  // namespace zem::platform

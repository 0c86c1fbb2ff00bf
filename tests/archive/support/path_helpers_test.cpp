// Path and name helpers: texts, names with colons, DOS times, moves, volumes.
#include "archive/support/path_helpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <set>

#include "common/test_support.h"
#include "platform/drives.h"
#include "platform/winapi.h"

namespace zem {
namespace {

namespace fs = std::filesystem;
using namespace platform;

// Builds a DOS date and time from its fields (date in the high 16 bits).
int32_t Dos(uint32_t Year, uint32_t Month, uint32_t Day, uint32_t Hour, uint32_t Minute,
            uint32_t Sec2) {
  return static_cast<int32_t>(Sec2 | (Minute << 5) | (Hour << 11) | (Day << 16) | (Month << 21) |
                              ((Year - 1980) << 25));
}

TEST(PathHelpers, SeparatorsAndTexts) {
  char Buffer[] = "F:\\DCIM/100\\a.jpg";
  EXPECT_EQ(ToSlashes(Buffer), Buffer);
  EXPECT_STREQ(Buffer, "F:/DCIM/100/a.jpg");
  EXPECT_STREQ(ToBackslashes(Buffer), "F:\\DCIM\\100\\a.jpg");
  EXPECT_EQ(ToSlashes(static_cast<char*>(nullptr)), nullptr);
  EXPECT_EQ(ToSlashes(std::string("a\\b\\c")), "a/b/c");
  EXPECT_EQ(ToBackslashes(std::string("a/b\\c/")), "a\\b\\c\\");

  EXPECT_EQ(RightText("abc", 5), "abc");
  EXPECT_EQ(LeftText("abc", 5), "abc");
  EXPECT_EQ(RightText("abc", 1), "c");
  EXPECT_EQ(LeftText("abc", 2), "ab");
  EXPECT_EQ(RightText("abc", 0), "");
  EXPECT_EQ(LeftText("abc", -3), "");

  for (const char* Wild : {"a*", "a?", "x|y", "<a-c>", "b>", "C:\\logs\\*\\x"})
    EXPECT_TRUE(IsWildcardName(Wild)) << Wild;
  for (const char* Plain : {"", "a.txt", "C:\\dir\\12:30:05.jpg", "[x]"})
    EXPECT_FALSE(IsWildcardName(Plain)) << Plain;

  EXPECT_EQ(Min64(-5, 3), -5);
  EXPECT_EQ(Max64(-5, 3), 3);
  EXPECT_EQ(Max64(int64_t{1} << 40, 7), int64_t{1} << 40);

  TSearchRec Found;
  Found.FindData.nFileSizeHigh = 2;
  Found.FindData.nFileSizeLow = 0x80000001u;
  EXPECT_EQ(FoundSize64(Found), (int64_t{2} << 32) + 0x80000001LL);
}

TEST(PathHelpers, PercentRule) {
  EXPECT_EQ(PercentDone(5, 0), 0);
  EXPECT_EQ(PercentDone(5, -1), 0);
  EXPECT_EQ(PercentDone(1, 2), 50);
  EXPECT_EQ(PercentDone(3, 2), 100);
  EXPECT_EQ(PercentDone(1, 40), 2);  // 2.5 rounds to the even 2
  EXPECT_EQ(PercentDone(3, 40), 8);  // 7.5 rounds to the even 8
  EXPECT_EQ(PercentDone(1, 3), 33);
  EXPECT_EQ(PercentDone(2, 3), 67);
  EXPECT_EQ(PercentDone(0, 7), 0);
  // Sizes near the 64-bit limit must not overflow in done * 100.
  const int64_t Big = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(PercentDone(Big / 2, Big), 50);
  EXPECT_EQ(PercentDone(Big, Big / 4), 100);
}

TEST(PathHelpers, NormalizeDosDateTimeForcesEachFieldIntoRange) {
  const int32_t Valid = Dos(2024, 2, 29, 13, 45, 29);
  EXPECT_EQ(NormalizeDosDateTime(Valid), Valid);
  EXPECT_EQ(NormalizeDosDateTime(Dos(1980, 1, 1, 0, 0, 0)), Dos(1980, 1, 1, 0, 0, 0));

  EXPECT_EQ(NormalizeDosDateTime(Dos(2001, 13, 5, 10, 20, 3)), Dos(2001, 12, 5, 10, 20, 3));
  EXPECT_EQ(NormalizeDosDateTime(Dos(2001, 0, 5, 10, 20, 3)), Dos(2001, 1, 5, 10, 20, 3));
  EXPECT_EQ(NormalizeDosDateTime(Dos(2001, 7, 0, 10, 20, 3)), Dos(2001, 7, 1, 10, 20, 3));
  EXPECT_EQ(NormalizeDosDateTime(Dos(2001, 7, 9, 24, 60, 30)), Dos(2001, 7, 9, 23, 59, 29));
  EXPECT_EQ(NormalizeDosDateTime(Dos(2100, 7, 9, 1, 2, 3)), Dos(2099, 7, 9, 1, 2, 3));

  // Every bit set: seconds/2 31 -> 29, minutes 63 -> 59, hours 31 -> 23,
  // day 31 stays, month 15 -> 12, years 127 -> 119: 2099-12-31 23:59:58.
  EXPECT_EQ(NormalizeDosDateTime(-1), Dos(2099, 12, 31, 23, 59, 29));
}

TEST(PathHelpers, DosDateTimeConversion) {
  TDateTime Value = -1;
  ASSERT_TRUE(DosDateTimeToDateTime(Dos(1980, 1, 1, 0, 0, 0), Value));
  EXPECT_DOUBLE_EQ(Value, 29221.0);  // days from 1899-12-30 to 1980-01-01
  ASSERT_TRUE(DosDateTimeToDateTime(Dos(2000, 3, 1, 12, 0, 0), Value));
  TDateTime Feb29 = 0;
  ASSERT_TRUE(DosDateTimeToDateTime(Dos(2000, 2, 29, 12, 0, 0), Feb29));
  EXPECT_DOUBLE_EQ(Value - Feb29, 1.0);
  ASSERT_TRUE(DosDateTimeToDateTime(Dos(2010, 6, 15, 6, 30, 15), Value));
  EXPECT_DOUBLE_EQ(Value, EncodeDateTime(2010, 6, 15, 6, 30, 30));
  EXPECT_NEAR(Value - static_cast<int64_t>(Value), (6 * 3600 + 30 * 60 + 30) / 86400.0, 1e-9);

  Value = 123;
  EXPECT_FALSE(DosDateTimeToDateTime(Dos(2023, 4, 31, 0, 0, 0), Value));  // 31 April
  EXPECT_FALSE(DosDateTimeToDateTime(Dos(2100, 2, 29, 0, 0, 0), Value));  // 2100 is not leap
  EXPECT_FALSE(DosDateTimeToDateTime(Dos(2001, 13, 1, 0, 0, 0), Value));
  EXPECT_DOUBLE_EQ(Value, 123);
}

TEST(PathHelpers, NamesSplitAtAColonOnlyAfterADriveLetter) {
  EXPECT_EQ(ExtractFileName("12:30:05.jpg"), "12:30:05.jpg");
  EXPECT_EQ(ExtractFilePath("12:30:05.jpg"), "");
  EXPECT_EQ(ExtractFileDrive("12:30:05.jpg"), "");
  EXPECT_EQ(ExtractFileExt("12:30:05.jpg"), ".jpg");
  EXPECT_EQ(ExtractFileName("F:\\DCIM\\12:30:05.jpg"), "12:30:05.jpg");
  EXPECT_EQ(ExtractFilePath("F:\\DCIM\\12:30:05.jpg"), "F:\\DCIM\\");
  EXPECT_EQ(ExtractFileName("dir\\a:b"), "a:b");
  EXPECT_EQ(ExtractFileName("ab:c"), "ab:c");

  EXPECT_EQ(ExtractFileDrive("f:\\x"), "f:");
  EXPECT_EQ(ExtractFileName("F:a.txt"), "a.txt");
  EXPECT_EQ(ExtractFilePath("F:a.txt"), "F:");
  EXPECT_EQ(ExtractFileName("F:\\"), "");
  EXPECT_EQ(ExtractFileDrive("1:\\x"), "");

  EXPECT_EQ(ExtractFileExt("dir.d\\README"), "");
  EXPECT_EQ(ExtractFileExt("a\\b.tar.gz"), ".gz");
  EXPECT_EQ(ChangeFileExt("C:\\x\\arc.zip", ".zfc"), "C:\\x\\arc.zfc");
  EXPECT_EQ(ChangeFileExt("C:\\x.d\\arc", ".zfc"), "C:\\x.d\\arc.zfc");
  EXPECT_EQ(ChangeFileExt("10:00.a", ""), "10:00");

  EXPECT_EQ(IncludeTrailingBackslash("C:\\x"), "C:\\x\\");
  EXPECT_EQ(IncludeTrailingBackslash("C:\\x\\"), "C:\\x\\");
  EXPECT_EQ(IncludeTrailingBackslash(""), "");
  EXPECT_EQ(ExcludeTrailingBackslash("C:\\x\\"), "C:\\x");
  EXPECT_EQ(ExcludeTrailingBackslash("C:\\x"), "C:\\x");
}

TEST(PathHelpers, CharacterBuffers) {
  EXPECT_EQ(PCharToText(nullptr), "");
  EXPECT_EQ(PCharToText("abc"), "abc");
  EXPECT_EQ(TextToPChar(""), nullptr);
  std::unique_ptr<char[]> Copy = TextToPChar("F:\\x y");
  ASSERT_NE(Copy, nullptr);
  EXPECT_STREQ(Copy.get(), "F:\\x y");
}

TEST(PathHelpers, OemRoundTripKeepsNamesApart) {
  std::string Ascii = "DCIM\\IMG_0001.JPG";
  EXPECT_EQ(OemRoundTrip(Ascii), "DCIM\\IMG_0001.JPG");
  std::string Accented = "caf\xC3\xA9.txt";  // é has a code page 437 form
  EXPECT_EQ(OemRoundTrip(Accented), "caf\xC3\xA9.txt");
  // Names with characters code page 437 lacks stay as they are, so two of
  // them never collapse into the same substituted name.
  std::string A = "\xE6\x97\xA5.txt", B = "\xE6\x9C\xAC.txt";
  OemRoundTrip(A);
  OemRoundTrip(B);
  EXPECT_EQ(A, "\xE6\x97\xA5.txt");
  EXPECT_NE(A, B);
}

// Two fake removable drives on separate folders.
class PathHelpersOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    auto Table = std::make_unique<TFakeDriveTable>();
    Table->AddDrive('F', F.Native(), "CAMERA", 1 << 30);
    Table->AddDrive('G', G.Native(), "", 1 << 30, DRIVE_FIXED);
    Scope = std::make_unique<TDriveTableScope>(std::move(Table));
  }
  test::TTempDir F, G;
  std::unique_ptr<TDriveTableScope> Scope;
};

TEST_F(PathHelpersOnDisk, RenameOverReplacesAnExistingFile) {
  test::WriteFile(F / "new.zip", "new");
  test::WriteFile(F / "old.zip", "old");
  EXPECT_TRUE(RenameOver("F:\\new.zip", "f:\\old.zip"));
  EXPECT_EQ(test::ReadFile(F / "old.zip"), "new");
  EXPECT_FALSE(fs::exists(F / "new.zip"));

  // A stray file of the old aside-name blocks nothing; the replaced file's
  // mode stays.
  test::WriteFile(F / "new.zip", "newer");
  test::WriteFile(F / "old.zip$$$", "stray");
  fs::permissions(F / "old.zip", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(RenameOver("F:\\new.zip", "F:\\old.zip"));
  EXPECT_EQ(test::ReadFile(F / "old.zip"), "newer");
  EXPECT_EQ(fs::status(F / "old.zip").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(test::ReadFile(F / "old.zip$$$"), "stray");

  // Without a destination it is a plain rename.
  test::WriteFile(F / "a", "A");
  EXPECT_TRUE(RenameOver("F:\\a", "F:\\b"));
  EXPECT_EQ(test::ReadFile(F / "b"), "A");
}

TEST_F(PathHelpersOnDisk, RenameOverRefusesOtherDrivesAndKeepsTheOldFile) {
  test::WriteFile(F / "a", "A");
  test::WriteFile(G / "a", "G");
  EXPECT_FALSE(RenameOver("F:\\a", "G:\\a"));
  EXPECT_EQ(test::ReadFile(F / "a"), "A");
  EXPECT_EQ(test::ReadFile(G / "a"), "G");

  // A source that cannot be renamed leaves the destination as it was.
  EXPECT_FALSE(RenameOver("F:\\missing", "F:\\a"));
  EXPECT_EQ(test::ReadFile(F / "a"), "A");
}

TEST_F(PathHelpersOnDisk, MoveOrCopyFileAcrossDrives) {
  const std::string Data = test::RandomBytes(200 * 1024 + 17, 7);
  test::WriteFile(F / "big.bin", Data);
  test::WriteFile(G / "big.bin", "stale");
  MoveOrCopyFile("F:\\big.bin", "G:\\big.bin");
  EXPECT_EQ(test::ReadFile(G / "big.bin"), Data);

  // Same drive: a rename.
  MoveOrCopyFile("F:\\big.bin", "F:\\moved.bin");
  EXPECT_FALSE(fs::exists(F / "big.bin"));
  EXPECT_EQ(test::ReadFile(F / "moved.bin"), Data);
}

TEST_F(PathHelpersOnDisk, MoveOrCopyFileFailures) {
  test::WriteFile(F / "empty", "");
  try {
    MoveOrCopyFile("F:\\empty", "G:\\empty");
    FAIL() << "an empty copy must raise";
  } catch (const EInOutError& E) {
    EXPECT_EQ(E.Message(), "Error: Could not copy from F:\\empty -> G:\\empty");
  }
  EXPECT_FALSE(fs::exists(G / "empty"));
  EXPECT_TRUE(fs::exists(F / "empty"));

  EXPECT_THROW(MoveOrCopyFile("F:\\missing", "G:\\x"), EFOpenError);
  EXPECT_FALSE(fs::exists(G / "x"));
  test::WriteFile(F / "data", "abc");
  EXPECT_THROW(MoveOrCopyFile("F:\\data", "G:\\no\\such\\dir\\x"), EFCreateError);
}

// A read that fails half-way is no copy: the bytes before it must not pass
// for the whole file (the caller deletes the source after a copy).
TEST_F(PathHelpersOnDisk, MoveOrCopyFileReadErrorIsNoCopy) {
  test::WriteFile(F / "big.bin", test::RandomBytes(200 * 1024, 8));
  TFaultFileSystem Fault;
  Fault.Add({.Op = TFsOp::Read, .Path = "*/big.bin", .Error = EIO, .Offset = 100000});
  {
    TFileSystemOverride Guard(Fault);
    EXPECT_THROW(MoveOrCopyFile("F:\\big.bin", "G:\\big.bin"), EInOutError);
  }
  EXPECT_FALSE(fs::exists(G / "big.bin"));
  EXPECT_EQ(fs::file_size(F / "big.bin"), 200u * 1024);
}

TEST_F(PathHelpersOnDisk, FileTimes) {
  EXPECT_EQ(FileDosDateTime("F:\\missing"), -1);
  EXPECT_DOUBLE_EQ(PathDateTime("F:\\missing"), EncodeDateTime(2099, 12, 31, 23, 59, 58));

  test::WriteFile(F / "sub" / "a.txt", "x");
  const int32_t Stamp = Dos(2015, 8, 20, 14, 10, 21);
  ASSERT_EQ(FileSetDate("F:\\sub\\a.txt", Stamp), 0);
  EXPECT_EQ(FileDosDateTime("F:\\sub\\a.txt"), Stamp);
  TDateTime Expected = 0;
  ASSERT_TRUE(DosDateTimeToDateTime(Stamp, Expected));
  EXPECT_DOUBLE_EQ(PathDateTime("F:\\sub\\a.txt"), Expected);

  // A directory has a time too; a trailing "\" is ignored.
  EXPECT_NE(FileDosDateTime("F:\\sub"), -1);
  TDateTime Dir = PathDateTime("F:\\sub\\");
  EXPECT_GT(Dir, EncodeDateTime(2000, 1, 1, 0, 0, 0));
  EXPECT_LE(Dir, NowDateTime() + 1.0);
}

TEST_F(PathHelpersOnDisk, FoldersAndExistence) {
  ForceDirs("F:\\a\\b\\c\\");
  EXPECT_TRUE(fs::is_directory(F / "a" / "b" / "c"));
  ForceDirs("F:\\a\\b\\c");  // already there: nothing happens
  EXPECT_TRUE(DirExists("F:\\a\\b"));
  EXPECT_FALSE(FileExistsAt("F:\\a\\b"));
  test::WriteFile(F / "a" / "f.txt", "1");
  EXPECT_TRUE(FileExistsAt("F:\\a\\f.txt"));
  EXPECT_FALSE(DirExists("F:\\a\\f.txt"));
  EXPECT_FALSE(DirExists("F:\\nope"));
  EXPECT_FALSE(DirExists(""));
  EXPECT_TRUE(DirExists("F:\\a\\b\\"));
  EXPECT_FALSE(FileExistsAt("F:\\nope"));
  ForceDirs("F:");  // too short to mean anything
  EXPECT_TRUE(DirExists("F:\\"));

  EXPECT_EQ(CurrentDirOf(0), GetCurrentDirectoryA());
  EXPECT_EQ(CurrentDirOf(7), "G:\\");  // not the current drive: its root
}

TEST_F(PathHelpersOnDisk, ShortPathKeepsComponentsWithoutShortForms) {
  test::WriteFile(F / "Long Folder Name" / "some long file.jpeg", "x");
  EXPECT_EQ(ShortPathOf("F:\\Long Folder Name\\some long file.jpeg"),
            "F:\\Long Folder Name\\some long file.jpeg");
  EXPECT_EQ(ShortPathOf("F:\\Long Folder Name\\not here.txt"),
            "F:\\Long Folder Name\\not here.txt");
  EXPECT_EQ(ShortPathOf("F:\\Long Folder Name\\"), "F:\\Long Folder Name\\");
  EXPECT_EQ(ShortPathOf("F:Long Folder Name"), "F:\\Long Folder Name");
  EXPECT_EQ(ShortPathOf("F:\\"), "F:\\");
  EXPECT_EQ(ShortPathOf("\\etc\\12:30"), "\\etc\\12:30");
}

TEST_F(PathHelpersOnDisk, TempFilesAndVolumes) {
  std::set<std::string> Names;
  for (int I = 0; I < 3; ++I) {
    std::string Name = UniqueTempFile("G:\\");
    ASSERT_FALSE(Name.empty());
    EXPECT_EQ(ExtractFileName(Name).substr(0, 3), "DOV");
    EXPECT_TRUE(FileExistsAt(Name));
    EXPECT_EQ(fs::file_size(ToNativePath(Name)), 0u);
    Names.insert(Name);
  }
  EXPECT_EQ(Names.size(), 3u);
  EXPECT_EQ(UniqueTempFile("G:\\no such folder\\"), "");

  EXPECT_TRUE(IsRemovableDrive("F:\\"));
  EXPECT_FALSE(IsRemovableDrive("G:\\"));
  EXPECT_FALSE(IsRemovableDrive("Q:\\"));
  EXPECT_EQ(VolumeLabelOf("F:\\"), "CAMERA");
  EXPECT_EQ(VolumeLabelOf("Q:\\"), "");
  EXPECT_TRUE(SetVolumeLabelOf("F:\\", "BACKUP"));
  EXPECT_EQ(VolumeLabelOf("F:\\"), "BACKUP");

  uint32_t Cluster = ClusterSize("F:\\");
  EXPECT_GT(Cluster, 0u);
  EXPECT_EQ(Cluster & (Cluster - 1), 0u);  // a power of two
  try {
    ClusterSize("Q:\\");
    FAIL() << "a missing drive has no cluster size";
  } catch (const EOSError& E) {
    EXPECT_NE(E.ErrorCode(), 0u);
  }
}

}  // namespace
}  // namespace zem

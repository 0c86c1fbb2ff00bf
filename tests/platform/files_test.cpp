// File streams, errors, attributes, file times and file operations on a fake
// drive F: whose root is a temporary folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/test_support.h"
#include "platform/winapi.h"

namespace zem::platform {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

class FilesOnFakeDrive : public ::testing::Test {
 protected:
  FilesOnFakeDrive() : Scope(MakeTable(Dir)) {}
  static std::unique_ptr<TDriveTable> MakeTable(const test::TTempDir& D) {
    auto T = std::make_unique<TFakeDriveTable>();
    T->AddDrive('F', D.Native(), "CARD");
    return T;
  }
  test::TTempDir Dir;
  TDriveTableScope Scope;
};

// Sets TZ for one test and puts the previous zone back.
class TZoneScope {
 public:
  explicit TZoneScope(const char* Zone) {
    if (const char* Old = std::getenv("TZ")) FOld = Old, FHad = true;
    setenv("TZ", Zone, 1);
    tzset();
  }
  ~TZoneScope() {
    if (FHad)
      setenv("TZ", FOld.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string FOld;
  bool FHad = false;
};

int32_t Dos(int Year, int Month, int Day, int Hour, int Min, int Sec) {
  return static_cast<int32_t>((static_cast<uint32_t>(Year - 1980) << 25) | (Month << 21) | (Day << 16) |
                              (Hour << 11) | (Min << 5) | (Sec / 2));
}

// ---- File streams -------------------------------------------------------

TEST_F(FilesOnFakeDrive, FileStreamCreateWriteSeekReadAndSize) {
  std::string Data = test::RandomBytes(300000, 7);
  {
    TFileStream S("F:\\a.bin", fmCreate);
    EXPECT_EQ(S.FileName(), "F:\\a.bin");
    S.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
    EXPECT_EQ(S.Size(), 300000);
    EXPECT_EQ(S.Seek(-10, soEnd), 299990);
    char Tail[10];
    S.ReadBuffer(Tail, 10);
    EXPECT_EQ(std::string(Tail, 10), Data.substr(299990));
    char More[4];
    EXPECT_EQ(S.Read(More, 4), 0);  // at the end
    S.SetSize(1000);
    EXPECT_EQ(S.Size(), 1000);
    EXPECT_EQ(S.Position(), 1000);
  }
  EXPECT_EQ(ReadFile(Dir / "a.bin"), Data.substr(0, 1000));

  // Read/write in place keeps the rest; a short read stops at the end.
  {
    TFileStream S("F:\\a.bin", fmOpenReadWrite | fmShareExclusive);
    S.SetPosition(10);
    S.WriteBuffer("XYZ", 3);
    S.SetPosition(995);
    char Buf[16];
    EXPECT_EQ(S.Read(Buf, 16), 5);
  }
  std::string Expected = Data.substr(0, 1000);
  Expected.replace(10, 3, "XYZ");
  EXPECT_EQ(ReadFile(Dir / "a.bin"), Expected);

  // Read-only streams refuse writes; fmCreate truncates.
  {
    TFileStream S("F:\\a.bin", fmOpenRead | fmShareDenyWrite);
    EXPECT_EQ(S.Write("q", 1), 0);
    EXPECT_THROW(S.WriteBuffer("q", 1), EWriteError);
  }
  { TFileStream S("F:\\a.bin", fmCreate); }
  EXPECT_EQ(fs::file_size(Dir / "a.bin"), 0u);
}

TEST_F(FilesOnFakeDrive, FileStreamErrorsNameTheFileAndTheReason) {
  auto OpenMessage = [](const std::string& Name, uint16_t Mode) -> std::string {
    try {
      TFileStream S(Name, Mode);
    } catch (const EFCreateError& E) {
      return "create: " + E.Message();
    } catch (const EFOpenError& E) {
      return "open: " + E.Message();
    }
    return "opened";
  };
  fs::create_directory(Dir / "folder");
  // The Linux path and the system's own reason ("Is a directory", not the
  // general text of the code).
  const std::string D = Dir.Native();
  EXPECT_EQ(OpenMessage("F:\\missing.txt", fmOpenWrite),
            "open: Cannot open file \"" + D + "/missing.txt\": No such file or directory");
  EXPECT_FALSE(fs::exists(Dir / "missing.txt"));  // opening never creates
  EXPECT_EQ(OpenMessage("F:\\nodir\\x.txt", fmCreate),
            "create: Cannot create file \"" + D + "/nodir/x.txt\": No such file or directory");
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(OpenMessage("F:\\folder", fmOpenRead),
            "open: Cannot open file \"" + D + "/folder\": Is a directory");
  EXPECT_EQ(OpenMessage("F:\\folder", fmCreate),
            "create: Cannot create file \"" + D + "/folder\": Is a directory");
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(SysErrorMessage(GetLastError()), "Is a directory");
  // A name no drive holds has no Linux path: it is shown as given.
  EXPECT_EQ(OpenMessage("Q:\\x.txt", fmOpenRead),
            "open: Cannot open file \"Q:\\x.txt\": No such file or directory");
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesOnFakeDrive, FileStreamsDoNotLeakIntoChildProcesses) {
  WriteFile(Dir / "c.txt", "x");
  TFileStream S("F:\\c.txt", fmOpenRead);
  EXPECT_NE(fcntl(S.Handle(), F_GETFD) & FD_CLOEXEC, 0);
}

// ---- Errors ---------------------------------------------------------------

TEST(Errors, TranslationTextsAndRaise) {
  EXPECT_EQ(ErrnoToWinError(ENOENT), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ErrnoToWinError(ENOTDIR), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(ErrnoToWinError(EISDIR), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ErrnoToWinError(ENOSPC), ERROR_DISK_FULL);
  EXPECT_EQ(ErrnoToWinError(EEXIST), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ErrnoToWinError(EXDEV), ERROR_NOT_SAME_DEVICE);
  EXPECT_EQ(ErrnoToWinError(ENOTEMPTY), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(ErrnoToWinError(EROFS), ERROR_WRITE_PROTECT);
  EXPECT_EQ(SysErrorMessage(ERROR_DISK_FULL), "No space left on device");
  EXPECT_EQ(SysErrorMessage(ERROR_INVALID_DRIVE), "No such drive");
  EXPECT_FALSE(SysErrorMessage(123456).empty());

  SetLastError(ERROR_ACCESS_DENIED);
  try {
    RaiseLastOSError();
  } catch (const EOSError& E) {
    EXPECT_EQ(E.ErrorCode(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(E.Message(), "System Error.  Code: 5.\nPermission denied");
  }

  // The last error belongs to the thread that set it.
  SetLastError(ERROR_NO_MORE_FILES);
  uint32_t InThread = 1;
  std::thread T([&] { InThread = GetLastError(); SetLastError(ERROR_DISK_FULL); });
  T.join();
  EXPECT_EQ(InThread, ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
}

// ---- Attributes -------------------------------------------------------------

TEST_F(FilesOnFakeDrive, AttributesFromPermissionsAndNames) {
  WriteFile(Dir / "f.txt", "x");
  WriteFile(Dir / ".secret", "x");
  fs::create_directory(Dir / "d");
  EXPECT_EQ(GetFileAttributesA("F:\\f.txt"), FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(GetFileAttributesA("F:\\.secret"), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(GetFileAttributesA("F:\\d"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA("F:\\"), FILE_ATTRIBUTE_DIRECTORY);

  // Read-only round trip through the write permission bits.
  fs::permissions(Dir / "f.txt", fs::perms::group_write | fs::perms::others_write, fs::perm_options::add);
  ASSERT_TRUE(SetFileAttributesA("F:\\f.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(GetFileAttributesA("F:\\f.txt"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(fs::status(Dir / "f.txt").permissions() &
                (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write),
            fs::perms::none);
  // Windows refuses to delete a read-only file.
  EXPECT_FALSE(DeleteFileA("F:\\f.txt"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(SetFileAttributesA("F:\\f.txt", FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileAttributesA("F:\\f.txt"), FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_TRUE(DeleteFileA("F:\\f.txt"));

  EXPECT_EQ(GetFileAttributesA("F:\\f.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesA("F:\\no\\f.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(SetFileAttributesA("F:\\no\\f.txt", 0));
}

TEST(AttributesOnVfat, FatBitsRoundTrip) {
  // Making a vfat volume needs a mount, which only root can do on a stock
  // system; the suite never mounts. Runs when ZEM_TEST_VFAT names a folder
  // on a mounted vfat volume that this user may write.
  const char* Folder = std::getenv("ZEM_TEST_VFAT");
  if (Folder == nullptr) GTEST_SKIP() << "no vfat volume: set ZEM_TEST_VFAT to a writable vfat folder";
  auto T = std::make_unique<TFakeDriveTable>();
  T->AddDrive('V', Folder);
  TDriveTableScope Scope(std::move(T));
  { TFileStream S("V:\\zemattr.tmp", fmCreate); }
  ASSERT_TRUE(SetFileAttributesA("V:\\zemattr.tmp", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  EXPECT_EQ(GetFileAttributesA("V:\\zemattr.tmp"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  ASSERT_TRUE(SetFileAttributesA("V:\\zemattr.tmp", FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_TRUE(DeleteFileA("V:\\zemattr.tmp"));
}

// ---- Times ------------------------------------------------------------------

TEST(DosTimes, ConversionsAndInvalidDates) {
  TZoneScope Zone("Europe/Berlin");
  for (int32_t V : {Dos(1980, 1, 1, 0, 0, 0), Dos(2024, 2, 29, 23, 59, 58), Dos(2023, 7, 14, 12, 30, 10),
                    Dos(2107, 12, 31, 23, 59, 58)}) {
    time_t T;
    ASSERT_TRUE(DosDateTimeToUnix(V, T)) << std::hex << V;
    EXPECT_EQ(UnixToDosDateTime(T), V) << std::hex << V;
  }
  time_t T = 0;
  // Summer time: 14 July 2023 12:30:10 in Berlin is 10:30:10 UTC.
  ASSERT_TRUE(DosDateTimeToUnix(Dos(2023, 7, 14, 12, 30, 10), T));
  EXPECT_EQ(T, 1689330610);
  // A local time skipped by the spring change still gives a time.
  EXPECT_TRUE(DosDateTimeToUnix(Dos(2024, 3, 31, 2, 30, 0), T));

  EXPECT_FALSE(DosDateTimeToUnix(Dos(2023, 4, 31, 10, 0, 0), T));  // 31 April
  EXPECT_FALSE(DosDateTimeToUnix(Dos(2023, 2, 29, 10, 0, 0), T));  // not a leap year
  EXPECT_FALSE(DosDateTimeToUnix(Dos(2023, 13, 1, 10, 0, 0), T));
  EXPECT_FALSE(DosDateTimeToUnix(Dos(2023, 1, 0, 10, 0, 0), T));
  EXPECT_FALSE(DosDateTimeToUnix(Dos(2023, 1, 1, 24, 0, 0), T));
  EXPECT_FALSE(DosDateTimeToUnix(-1, T));

  EXPECT_EQ(UnixToDosDateTime(0), Dos(1980, 1, 1, 0, 0, 0));  // before 1980: the first DOS time
  EXPECT_EQ(UnixToDosDateTime(4354819200), -1);             // the year 2108
  EXPECT_EQ(UnixToDosDateTime(1689330611), Dos(2023, 7, 14, 12, 30, 10));  // odd second rounds down
}

TEST(FileTimes, FileTimeEpochAndRoundTrip) {
  FILETIME Ft = UnixToFileTime(0);
  EXPECT_EQ((uint64_t{Ft.dwHighDateTime} << 32) | Ft.dwLowDateTime, 116444736000000000ull);
  Ft = UnixToFileTime(1689330610, 123456789);
  EXPECT_EQ((uint64_t{Ft.dwHighDateTime} << 32) | Ft.dwLowDateTime,
            116444736000000000ull + 1689330610ull * 10000000 + 1234567);
  EXPECT_EQ(FileTimeToUnix(Ft), 1689330610);
}

TEST_F(FilesOnFakeDrive, FileDatesByNameAndHandle) {
  WriteFile(Dir / "t.txt", "x");
  int32_t Age = Dos(2019, 11, 5, 8, 15, 22);
  ASSERT_EQ(FileSetDate("F:\\t.txt", Age), 0);
  EXPECT_EQ(FileAge("F:\\t.txt"), Age);
  time_t Expected;
  ASSERT_TRUE(DosDateTimeToUnix(Age, Expected));
  int64_t Size = -1, MTimeNs = -1;
  ASSERT_TRUE(GetFileStamp("F:\\t.txt", Size, MTimeNs));
  EXPECT_EQ(Size, 1);
  EXPECT_EQ(MTimeNs, static_cast<int64_t>(Expected) * 1000000000);
  struct stat St;
  ASSERT_EQ(stat((Dir / "t.txt").c_str(), &St), 0);
  EXPECT_EQ(St.st_atime, Expected);  // access time too

  {
    TFileStream S("F:\\t.txt", fmOpenReadWrite);
    int32_t Other = Dos(2001, 1, 2, 3, 4, 6);
    EXPECT_EQ(FileSetDate(S.Handle(), Other), 0);
    EXPECT_EQ(FileGetDate(S.Handle()), Other);
    EXPECT_EQ(FileSetDate(S.Handle(), Dos(2001, 4, 31, 0, 0, 0)), static_cast<int>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(FlushFileBuffers(S.Handle()));
  }
  EXPECT_EQ(FileAge("F:\\none.txt"), -1);
  EXPECT_NE(FileSetDate("F:\\none.txt", Age), 0);
  EXPECT_FALSE(GetFileStamp("F:\\none.txt", Size, MTimeNs));
  EXPECT_EQ(FileGetDate(-1), -1);
  EXPECT_FALSE(FlushFileBuffers(-1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// ---- File and folder operations -------------------------------------------

TEST_F(FilesOnFakeDrive, MoveFileNeverReplaces) {
  WriteFile(Dir / "a.txt", "A");
  WriteFile(Dir / "b.txt", "B");
  EXPECT_FALSE(MoveFileA("F:\\a.txt", "F:\\b.txt"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadFile(Dir / "a.txt"), "A");
  EXPECT_EQ(ReadFile(Dir / "b.txt"), "B");

  ASSERT_TRUE(CreateDirectoryA("F:\\sub"));
  EXPECT_TRUE(MoveFileA("F:\\a.txt", "F:\\sub\\\\c.txt"));  // doubled separator accepted
  EXPECT_FALSE(fs::exists(Dir / "a.txt"));
  EXPECT_EQ(ReadFile(Dir / "sub" / "c.txt"), "A");
  EXPECT_TRUE(MoveFileA("F:\\sub", "F:\\moved"));  // folders move too
  EXPECT_TRUE(fs::exists(Dir / "moved" / "c.txt"));

  EXPECT_FALSE(MoveFileA("F:\\gone.txt", "F:\\x.txt"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(MoveFileA("F:\\b.txt", "F:\\nodir\\x.txt"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesOnFakeDrive, MoveFileAcrossVolumesFails) {
  std::error_code Ec;
  if (!fs::is_directory("/dev/shm", Ec)) GTEST_SKIP() << "no second file system at /dev/shm";
  struct stat A, B;
  if (stat("/dev/shm", &A) != 0 || stat(Dir.Native().c_str(), &B) != 0 || A.st_dev == B.st_dev)
    GTEST_SKIP() << "/dev/shm is on the same file system as the temporary folder";
  std::string Other = "/dev/shm/zemmove-" + std::to_string(getpid());
  fs::create_directory(Other);
  auto* T = static_cast<TFakeDriveTable*>(&DriveTable());
  T->AddDrive('G', Other);
  WriteFile(Dir / "a.txt", "A");
  EXPECT_FALSE(MoveFileA("F:\\a.txt", "G:\\a.txt"));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);
  EXPECT_EQ(ReadFile(Dir / "a.txt"), "A");
  fs::remove_all(Other);
}

TEST_F(FilesOnFakeDrive, FoldersDeletesAndExistence) {
  EXPECT_TRUE(CreateDirectoryA("F:\\d"));
  EXPECT_FALSE(CreateDirectoryA("F:\\d"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryA("F:\\x\\y"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(CreateDirectoryA("Q:\\d"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  WriteFile(Dir / "d" / "f.txt", "x");
  EXPECT_TRUE(DirectoryExists("F:\\d"));
  EXPECT_FALSE(DirectoryExists("F:\\d\\f.txt"));
  EXPECT_TRUE(FileExists("F:\\d\\\\f.txt"));
  EXPECT_FALSE(FileExists("F:\\d"));
  EXPECT_FALSE(FileExists("Q:\\d\\f.txt"));

  EXPECT_FALSE(RemoveDirectoryA("F:\\d"));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(DeleteFileA("F:\\d"));  // a folder is not a file
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(DeleteFileA("F:\\d\\f.txt"));
  EXPECT_FALSE(DeleteFileA("F:\\d\\f.txt"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(RemoveDirectoryA("F:\\d"));
  EXPECT_FALSE(DirectoryExists("F:\\d"));
}

TEST_F(FilesOnFakeDrive, CurrentDirectoryIsWindowsStyle) {
  fs::path Saved = fs::current_path();
  fs::create_directories(Dir / "w" / "x");
  ASSERT_TRUE(SetCurrentDirectoryA("F:\\w\\x\\"));
  EXPECT_EQ(GetCurrentDirectoryA(), "F:\\w\\x");
  ASSERT_TRUE(SetCurrentDirectoryA("F:\\"));
  EXPECT_EQ(GetCurrentDirectoryA(), "F:\\");
  EXPECT_FALSE(SetCurrentDirectoryA("F:\\none"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  fs::current_path(Saved);
}

// ---- Clock ------------------------------------------------------------------

TEST(Clock, FixedValuesRepeatAndFreeOnesAdvance) {
  SetFixedClock(true, 123456789, 4242);
  int64_t C = 0;
  ASSERT_TRUE(QueryPerformanceCounter(&C));
  EXPECT_EQ(C, 123456789);
  EXPECT_EQ(GetTickCount(), 4242u);
  SetFixedClock(false);
  int64_t A = 0, B = 0;
  ASSERT_TRUE(QueryPerformanceCounter(&A));
  Sleep(2);
  ASSERT_TRUE(QueryPerformanceCounter(&B));
  EXPECT_GE(B - A, 2000000);  // Sleep waited at least 2 ms of the counter's ns
  EXPECT_FALSE(QueryPerformanceCounter(nullptr));
}

}  // namespace
}  // namespace zem::platform

// The fault-injecting file system, driven through the platform's own file
// functions on a fake drive F: so that each test also shows the failure
// arriving where the system sees it (a short transfer, the last error, a
// failing status).
#include "platform/fault_file_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "common/test_support.h"
#include "platform/format.h"
#include "platform/safe_files.h"
#include "platform/winapi.h"

namespace zem::platform {
namespace {

namespace fs = std::filesystem;

class FaultFileSystem : public ::testing::Test {
 protected:
  FaultFileSystem() : Scope(MakeTable(Dir)) {}
  static std::unique_ptr<TDriveTable> MakeTable(const test::TTempDir& D) {
    auto T = std::make_unique<TFakeDriveTable>();
    T->AddDrive('F', D.Native(), "CARD");
    return T;
  }
  test::TTempDir Dir;
  TDriveTableScope Scope;
  TFaultFileSystem Fault;
};

TEST_F(FaultFileSystem, ReadFailingAtAnOffsetDeliversExactlyTheBytesBeforeIt) {
  const std::string Data = test::RandomBytes(200000, 1);
  test::WriteFile(Dir / "data.bin", Data);
  const int Id = Fault.Add({.Op = TFsOp::Read, .Path = "*/data.bin", .Error = EIO, .Offset = 65536});
  TFileSystemOverride Guard(Fault);

  TFileStream S("F:\\data.bin", fmOpenRead);
  std::string Got(Data.size(), '\0');
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(S.Read(Got.data(), static_cast<int64_t>(Got.size())), 65536);
  EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
  EXPECT_EQ(Got.substr(0, 65536), Data.substr(0, 65536));
  EXPECT_EQ(Fault.Fired(Id), 1);
  // Before the offset reads go on; at it every read fails.
  S.SetPosition(1000);
  char Small[100];
  EXPECT_EQ(S.Read(Small, 100), 100);
  EXPECT_EQ(std::string(Small, 100), Data.substr(1000, 100));
  S.SetPosition(70000);
  EXPECT_THROW(S.ReadBuffer(Small, 1), EReadError);
  EXPECT_EQ(Fault.Fired(Id), 2);
}

TEST_F(FaultFileSystem, WriteHittingAFullDiskKeepsTheBytesBeforeIt) {
  const std::string Data = test::RandomBytes(100000, 2);
  const int Id = Fault.Add({.Op = TFsOp::Write, .Path = "*/out.bin", .Error = ENOSPC, .Offset = 40000});
  {
    TFileSystemOverride Guard(Fault);
    TFileStream S("F:\\out.bin", fmCreate);
    EXPECT_EQ(S.Write(Data.data(), static_cast<int64_t>(Data.size())), 40000);
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_THROW(S.WriteBuffer("x", 1), EWriteError);
  }
  EXPECT_EQ(Fault.Fired(Id), 2);
  EXPECT_EQ(test::ReadFile(Dir / "out.bin"), Data.substr(0, 40000));
}

TEST_F(FaultFileSystem, RenameThatFailsLeavesBothNamesAsTheyWere) {
  test::WriteFile(Dir / "a.txt", "alpha");
  const int Id = Fault.Add({.Op = TFsOp::Rename, .Path = "*/b.txt", .Error = EACCES});
  TFileSystemOverride Guard(Fault);
  EXPECT_FALSE(MoveFileA("F:\\a.txt", "F:\\b.txt"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Fault.Fired(Id), 1);
  EXPECT_EQ(test::ReadFile(Dir / "a.txt"), "alpha");
  EXPECT_FALSE(fs::exists(Dir / "b.txt"));
  EXPECT_TRUE(MoveFileA("F:\\a.txt", "F:\\c.txt"));  // another name passes
}

TEST_F(FaultFileSystem, CardPulledMidFileRemovesItAndKillsItsHandles) {
  const std::string Data = test::RandomBytes(5000, 3);
  test::WriteFile(Dir / "photo.jpg", Data);
  const int Id = Fault.Add(
      {.Op = TFsOp::Read, .Path = "*/photo.jpg", .Error = ENODEV, .Offset = 1000, .Vanish = true});
  TFileSystemOverride Guard(Fault);

  TFileStream S("F:\\photo.jpg", fmOpenRead);
  std::string Got(Data.size(), '\0');
  EXPECT_EQ(S.Read(Got.data(), 5000), 1000);
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
  EXPECT_EQ(Fault.Fired(Id), 1);
  EXPECT_FALSE(fs::exists(Dir / "photo.jpg"));
  // Every further call on the handle fails, whatever it is.
  EXPECT_EQ(S.Seek(0, soBeginning), -1);
  EXPECT_EQ(FileGetDate(S.Handle()), -1);
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
  EXPECT_FALSE(FileExists("F:\\photo.jpg"));
}

TEST_F(FaultFileSystem, NthCallFailsAloneAndOnlyMatchingPathsCount) {
  test::WriteFile(Dir / "a.txt", "a");
  test::WriteFile(Dir / "other.bin", "b");
  const int Id = Fault.Add({.Op = TFsOp::Open, .Path = "*.txt", .Error = EACCES, .Call = 2});
  TFileSystemOverride Guard(Fault);
  TFileStream First("F:\\a.txt", fmOpenRead);
  for (int I = 0; I < 3; ++I) TFileStream Other("F:\\other.bin", fmOpenRead);  // not counted
  EXPECT_THROW(TFileStream("F:\\a.txt", fmOpenRead), EFOpenError);
  TFileStream Third("F:\\a.txt", fmOpenRead);
  EXPECT_EQ(Fault.Fired(Id), 1);
}

// Each routed operation reports the error the file system gave, as its
// caller's status and the last error.
TEST_F(FaultFileSystem, RoutedOperationsReportTheInjectedError) {
  test::WriteFile(Dir / "f.txt", "file");
  test::WriteFile(Dir / "sub/g.txt", "in a folder");
  struct TCase {
    const char* Name;
    TFault Fault;
    std::function<bool()> Call;  // true when the operation succeeded
    uint32_t Code;
  };
  const TCase Cases[] = {
      {"folder listing", {.Op = TFsOp::List, .Error = EIO},
       [] { TSearchRec F; const bool Ok = FindFirst("F:\\sub\\*.*", faAnyFile, F) == 0; FindClose(F); return Ok; },
       ERROR_IO_DEVICE},
      {"delete", {.Op = TFsOp::Unlink, .Error = EROFS}, [] { return DeleteFileA("F:\\f.txt"); },
       ERROR_WRITE_PROTECT},
      {"new folder", {.Op = TFsOp::MakeFolder, .Error = ENOSPC}, [] { return CreateDirectoryA("F:\\new"); },
       ERROR_DISK_FULL},
      {"flush", {.Op = TFsOp::Sync, .Error = EIO},
       [] { TFileStream S("F:\\f.txt", fmOpenReadWrite); return FlushFileBuffers(S.Handle()); },
       ERROR_IO_DEVICE},
      {"file times", {.Op = TFsOp::SetTimes, .Error = EPERM},
       [] { return FileSetDate("F:\\f.txt", 0x52210000) == 0; }, ERROR_ACCESS_DENIED},
      {"attributes", {.Op = TFsOp::Stat, .Path = "*/f.txt", .Error = EIO},
       [] { return GetFileAttributesA("F:\\f.txt") != INVALID_FILE_ATTRIBUTES; }, ERROR_IO_DEVICE},
      {"free space", {.Op = TFsOp::StatFs, .Error = EIO},
       [] { uint64_t Free = 0; return GetDiskFreeSpaceExA("F:\\", &Free, nullptr, nullptr); },
       ERROR_IO_DEVICE},
      {"format", {.Op = TFsOp::Unlink, .Error = EIO}, [] { return FormatDrive('F' - 'A') == 0; },
       ERROR_IO_DEVICE},
      {"folder made below a folder", {.Op = TFsOp::MakeFolder, .Path = "*/sub/new", .Error = ENOSPC},
       [this] {
         TFolderHandle Base, Folder;
         std::string FailedAt;
         return OpenFolder(Dir.Native(), Base) == 0 && WalkFolders(Base, "sub/new/deeper", true, Folder, FailedAt) == 0;
       },
       ERROR_DISK_FULL},
      {"new file put in place", {.Op = TFsOp::Rename, .Path = "*/sub/g.txt", .Error = EACCES},
       [this] {
         TFolderHandle Base, Folder;
         std::string FailedAt;
         if (OpenFolder(Dir.Native(), Base) != 0 || WalkFolders(Base, "sub", false, Folder, FailedAt) != 0) return true;
         TPendingFile File(std::move(Folder), "g.txt");
         File.Write("new", 3);
         return File.Commit(-1, INVALID_FILE_ATTRIBUTES) == 0;
       },
       ERROR_ACCESS_DENIED},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TFaultFileSystem One;
    const int Id = One.Add(C.Fault);
    TFileSystemOverride Guard(One);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(C.Call());
    EXPECT_EQ(GetLastError(), C.Code);
    EXPECT_GT(One.Fired(Id), 0);
  }
  // The failed delete and format removed nothing; the new file that could
  // not be put in place went, the one it would have replaced stayed.
  EXPECT_EQ(test::ReadFile(Dir / "f.txt"), "file");
  EXPECT_EQ(test::ReadFile(Dir / "sub/g.txt"), "in a folder");
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir / "sub"), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace zem::platform

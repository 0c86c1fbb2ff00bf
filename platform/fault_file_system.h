// A file system for tests that makes chosen calls fail: a disk that fills
// up at some byte, a read error in the middle of a file, a rename refused,
// a card pulled out while a file on it is open. It wraps another file
// system (normally the Linux one) and passes every other call through.
//
//   TFaultFileSystem Fault;
//   const int Full = Fault.Add({.Op = TFsOp::Write, .Path = "*/out.zip",
//                               .Error = ENOSPC, .Offset = 100000});
//   TFileSystemOverride Guard(Fault);
//   ... the code under test ...
//   EXPECT_GT(Fault.Fired(Full), 0);
#pragma once

#include <errno.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace zem::platform {

// The calls a fault can name. Sync covers fsync, syncfs and the page-cache
// drop; Stat covers stat, lstat, fstat and fstatat;
// StatFs covers statfs and statvfs; MakeFolder covers mkdir, mkdirat and
// mkdtemp; Rename covers rename and renameat; RemoveFolder covers rmdir and
// unlinkat of a folder; Chmod (chown too) and SetTimes cover their by-name
// and by-descriptor forms; Attributes the FAT ioctls.
// The current folder, the clocks and the environment cannot fail.
enum class TFsOp {
  Open, Close, Read, Write, Seek, Truncate, Sync, Stat, StatFs, List, MakeFolder,
  RemoveFolder, Rename, Link, Unlink, ReadLink, RealPath, Chmod, SetTimes, Attributes,
};

struct TFault {
  TFsOp Op = TFsOp::Read;
  // Glob ('*', '?'; '*' also matches '/') over the native path the call
  // names. Calls on a descriptor match the path it was opened under, calls
  // relative to a folder descriptor that folder's path joined with the name;
  // a rename or link matches by either of its two paths.
  std::string Path = "*";
  int Error = EIO;
  // The trigger. Offset (reads and writes only): a call fails when the
  // file's position has reached Offset, and a call that would cross it is
  // cut short there, so exactly the bytes before Offset get through. Call:
  // only the Call-th matching call fails (counting from 1). Neither: every
  // matching call fails.
  int64_t Offset = -1;
  int Call = 0;
  // At the trigger the file is removed from its folder, and every later
  // call on a descriptor open on it fails with Error as well (a card pulled
  // out mid-file: use ENODEV or EIO).
  bool Vanish = false;
};

class TFaultFileSystem : public TFileSystem {
 public:
  // Wraps Inner, by default the file system in use when it is made.
  explicit TFaultFileSystem(TFileSystem& Inner = FileSystem()) : FInner(Inner) {}

  // Arms a fault; returns its number for Fired.
  int Add(const TFault& Fault);
  // How often fault Id has made a call fail.
  int Fired(int Id) const;
  // How many calls fault Id has matched, failed or not: a fault armed for
  // a call that never comes (Call = INT_MAX) counts calls.
  int Seen(int Id) const;

  // A plain file whose path matches Glob stands for the kernel's mount
  // table: statfs says it lies on proc, and MountsChanged on a descriptor
  // open on it answers 1 once after each ReportMountChange (0 otherwise),
  // as the kernel's table does after a mount or an unmount.
  void TreatAsMountTable(const std::string& Glob);
  void ReportMountChange();

  int Open(const std::string& Path, int Flags, mode_t Mode = 0) override;
  int OpenAt(int Dir, const std::string& Name, int Flags, mode_t Mode = 0) override;
  int Close(int Fd) override;
  ssize_t Read(int Fd, void* Buffer, size_t Count) override;
  ssize_t Write(int Fd, const void* Buffer, size_t Count) override;
  off_t Seek(int Fd, off_t Offset, int Whence) override;
  int Truncate(int Fd, off_t Size) override;
  int Sync(int Fd) override;
  int SyncFileSystem(int Fd) override;
  int DropCache(int Fd) override;
  int ReadAhead(int Fd) override;
  int Stat(const std::string& Path, struct stat& St) override;
  int LStat(const std::string& Path, struct stat& St) override;
  int FStat(int Fd, struct stat& St) override;
  int StatAt(int Dir, const std::string& Name, struct stat& St, int Flags) override;
  int StatFs(const std::string& Path, struct statfs& Fs) override;
  int FStatFs(int Fd, struct statfs& Fs) override;
  int StatVfs(const std::string& Path, struct statvfs& Vfs) override;
  int MountId(int Dir, const std::string& Name, int Flags, uint64_t& Id) override;
  int MountsChanged(int Fd) override;
  int ListFolder(int Fd, const std::function<void(const char* Name)>& OnName) override;
  int MakeFolder(const std::string& Path, mode_t Mode) override;
  int MakeFolderAt(int Dir, const std::string& Name, mode_t Mode) override;
  int MakeTempFolder(std::string& Template) override;
  int RemoveFolder(const std::string& Path) override;
  int ChangeFolder(const std::string& Path) override { return FInner.ChangeFolder(Path); }
  int CurrentFolder(std::string& Path) override { return FInner.CurrentFolder(Path); }
  int Rename(const std::string& From, const std::string& To, unsigned Flags = 0) override;
  int RenameAt(int FromDir, const std::string& From, int ToDir, const std::string& To,
               unsigned Flags = 0) override;
  int Link(const std::string& From, const std::string& To) override;
  int SymLinkAt(const std::string& Target, int Dir, const std::string& Name) override;
  int Unlink(const std::string& Path) override;
  int UnlinkAt(int Dir, const std::string& Name, int Flags) override;
  int ReadLink(const std::string& Path, std::string& Target) override;
  int RealPath(const std::string& Path, std::string& Resolved) override;
  int Chmod(const std::string& Path, mode_t Mode) override;
  int FChmod(int Fd, mode_t Mode) override;
  int ChmodAt(int Dir, const std::string& Name, mode_t Mode) override;
  int Chown(const std::string& Path, uid_t Owner, gid_t Group) override;
  int SetTimes(const std::string& Path, const struct timespec Times[2]) override;
  int FSetTimes(int Fd, const struct timespec Times[2]) override;
  int SetTimesAt(int Dir, const std::string& Name, const struct timespec Times[2], int Flags) override;
  int GetFatAttributes(int Fd, uint32_t& Attributes) override;
  int SetFatAttributes(int Fd, uint32_t Attributes) override;
  int ClockTime(clockid_t Clock, struct timespec& Time) override { return FInner.ClockTime(Clock, Time); }
  std::optional<std::string> GetEnv(const std::string& Name) override { return FInner.GetEnv(Name); }

 private:
  struct TArmed {
    TFault Fault;
    int Calls = 0;  // matching calls seen
    int Fired = 0;
  };

  // Whether the call fails: true with errno set. Fd (or -1) is the
  // descriptor the call works on, Path and Other the names it gives (Path
  // empty: the descriptor's). Count, for reads and writes, is cut short
  // before an offset fault's byte.
  bool Injected(TFsOp Op, int Fd, std::string Path, const std::string& Other = std::string(),
                size_t* Count = nullptr);
  // The native path of an open descriptor, or of Name relative to Dir.
  std::string PathOf(int Fd) const;
  std::string PathAt(int Dir, const std::string& Name) const;
  // Remembers the path of a descriptor just opened (Fd >= 0).
  int Opened(int Fd, const std::string& Path);

  TFileSystem& FInner;
  mutable std::mutex FLock;
  std::vector<TArmed> FFaults;
  std::map<int, std::string> FPaths;  // open descriptor -> native path
  std::map<int, int> FDead;           // descriptor of a vanished file -> errno
  std::string FMountTable;            // glob of the stand-in mount table
  int FMountEvent = 0;                // mount changes reported so far
  std::map<int, int> FMountSeen;      // descriptor on it -> changes it has told of
};

}  // namespace zem::platform

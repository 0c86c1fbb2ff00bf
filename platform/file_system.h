// The file-system seam: every call platform/ makes on files, folders, the
// clocks and the environment goes through one object, the TFileSystem in
// use. The Linux implementation makes the system calls; a test installs
// another one (usually a TFaultFileSystem, platform/fault_file_system.h,
// wrapped around the Linux one) to make chosen calls fail.
//
// The operations keep the system calls' conventions: a failure returns -1
// (or a null result) and sets errno, so the errno translation above the
// seam stays the one in errors.cpp. No operation retries on EINTR; the
// callers that retried before still do.
#pragma once

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace zem::platform {

class TFileSystem {
 public:
  virtual ~TFileSystem() = default;

  // ---- Descriptors ----------------------------------------------------------
  // open(2), openat(2) (Dir: an open folder or AT_FDCWD): a descriptor or -1.
  virtual int Open(const std::string& Path, int Flags, mode_t Mode = 0) = 0;
  virtual int OpenAt(int Dir, const std::string& Name, int Flags, mode_t Mode = 0) = 0;
  // close(2); the descriptor is released even when it fails.
  virtual int Close(int Fd) = 0;
  virtual ssize_t Read(int Fd, void* Buffer, size_t Count) = 0;
  virtual ssize_t Write(int Fd, const void* Buffer, size_t Count) = 0;
  // lseek(2): the new position or -1.
  virtual off_t Seek(int Fd, off_t Offset, int Whence) = 0;
  virtual int Truncate(int Fd, off_t Size) = 0;  // ftruncate(2)
  virtual int Sync(int Fd) = 0;                  // fsync(2)
  // syncfs(2): everything written to the file system holding Fd reaches
  // its device. -1 with ENOSYS where there is none.
  virtual int SyncFileSystem(int Fd);
  // posix_fadvise(2) POSIX_FADV_DONTNEED over the whole file: its clean
  // pages leave the page cache, so the next read comes from the device.
  virtual int DropCache(int Fd) = 0;
  // posix_fadvise(2) POSIX_FADV_WILLNEED over the whole file: its pages
  // are read into the page cache ahead, without waiting for them.
  virtual int ReadAhead(int Fd) = 0;

  // ---- Status ---------------------------------------------------------------
  virtual int Stat(const std::string& Path, struct stat& St) = 0;
  virtual int LStat(const std::string& Path, struct stat& St) = 0;
  virtual int FStat(int Fd, struct stat& St) = 0;
  virtual int StatAt(int Dir, const std::string& Name, struct stat& St, int Flags) = 0;
  virtual int StatFs(const std::string& Path, struct statfs& Fs) = 0;
  virtual int FStatFs(int Fd, struct statfs& Fs) = 0;
  virtual int StatVfs(const std::string& Path, struct statvfs& Vfs) = 0;
  // The mount the entry Name of folder Dir (AT_FDCWD, or an open folder;
  // Name "" with AT_EMPTY_PATH in Flags: Dir itself) belongs to, as statx(2)
  // STATX_MNT_ID gives it: two bind mounts of one file system differ here
  // though st_dev is the same. -1 with ENOSYS where the kernel gives none.
  virtual int MountId(int Dir, const std::string& Name, int Flags, uint64_t& Id);
  // Whether the mount table open as Fd (/proc/self/mountinfo) has changed
  // since it was opened or since the last call that answered 1: a poll(2)
  // for POLLPRI that does not wait (the kernel raises POLLPRI and POLLERR on
  // that file after a mount or an unmount). 1 changed, 0 not, -1 with errno.
  // Only a table on the proc file system signals; a plain file never does.
  virtual int MountsChanged(int Fd);

  // ---- Folders --------------------------------------------------------------
  // Hands every name of the open folder Fd to OnName, from the folder's
  // start, without "." and "..". 0, or -1 when the folder cannot be read
  // (the names handed over until then stand). Only a bounded buffer of
  // names is held, whatever the folder's size.
  virtual int ListFolder(int Fd, const std::function<void(const char* Name)>& OnName) = 0;
  virtual int MakeFolder(const std::string& Path, mode_t Mode) = 0;  // mkdir(2)
  virtual int MakeFolderAt(int Dir, const std::string& Name, mode_t Mode) = 0;  // mkdirat(2)
  // mkdtemp(3): the trailing "XXXXXX" of Template become the new folder's.
  virtual int MakeTempFolder(std::string& Template) = 0;
  virtual int RemoveFolder(const std::string& Path) = 0;  // rmdir(2)
  virtual int ChangeFolder(const std::string& Path) = 0;  // chdir(2)
  virtual int CurrentFolder(std::string& Path) = 0;       // getcwd(3)

  // ---- Names ----------------------------------------------------------------
  // rename(2); with Flags (RENAME_NOREPLACE) renameat2(2).
  virtual int Rename(const std::string& From, const std::string& To, unsigned Flags = 0) = 0;
  // renameat2(2): each name relative to its folder (an open folder or AT_FDCWD).
  virtual int RenameAt(int FromDir, const std::string& From, int ToDir, const std::string& To,
                       unsigned Flags = 0) = 0;
  virtual int Link(const std::string& From, const std::string& To) = 0;  // link(2)
  // symlinkat(2): a symbolic link Name in folder Dir holding Target.
  virtual int SymLinkAt(const std::string& Target, int Dir, const std::string& Name) = 0;
  virtual int Unlink(const std::string& Path) = 0;
  // unlinkat(2); Flags AT_REMOVEDIR removes a folder.
  virtual int UnlinkAt(int Dir, const std::string& Name, int Flags) = 0;
  virtual int ReadLink(const std::string& Path, std::string& Target) = 0;
  virtual int RealPath(const std::string& Path, std::string& Resolved) = 0;  // realpath(3)

  // ---- Permissions, times and FAT attributes --------------------------------
  virtual int Chmod(const std::string& Path, mode_t Mode) = 0;
  virtual int FChmod(int Fd, mode_t Mode) = 0;
  virtual int ChmodAt(int Dir, const std::string& Name, mode_t Mode) = 0;
  // chown(2) (links followed); (uid_t)-1 or (gid_t)-1 leaves that one.
  virtual int Chown(const std::string& Path, uid_t Owner, gid_t Group) = 0;
  // utimensat(2) (links followed) and futimens(2): access, then modification.
  virtual int SetTimes(const std::string& Path, const struct timespec Times[2]) = 0;
  virtual int FSetTimes(int Fd, const struct timespec Times[2]) = 0;
  // utimensat(2) relative to a folder; AT_SYMLINK_NOFOLLOW sets a link's own.
  virtual int SetTimesAt(int Dir, const std::string& Name, const struct timespec Times[2], int Flags) = 0;
  // The FAT attribute byte of a file on a vfat volume, through its ioctls.
  virtual int GetFatAttributes(int Fd, uint32_t& Attributes) = 0;
  virtual int SetFatAttributes(int Fd, uint32_t Attributes) = 0;

  // ---- Clocks and environment -----------------------------------------------
  // clock_gettime(2): CLOCK_REALTIME for the wall clock, CLOCK_MONOTONIC for
  // the counters.
  virtual int ClockTime(clockid_t Clock, struct timespec& Time) = 0;
  // getenv(3): the value, or nothing when the variable is not set.
  virtual std::optional<std::string> GetEnv(const std::string& Name) = 0;
};

// The real one: each operation is the system call it is named after.
class TLinuxFileSystem : public TFileSystem {
 public:
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
  int ChangeFolder(const std::string& Path) override;
  int CurrentFolder(std::string& Path) override;
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
  int ClockTime(clockid_t Clock, struct timespec& Time) override;
  std::optional<std::string> GetEnv(const std::string& Name) override;
};

// Reads the file at Path as the device holds it: the file is synced, its
// pages dropped from the page cache, then read whole through the file
// system in use, each block handed to OnData. A link is not followed.
// VolumeSynced says the caller has had the file's whole file system
// written out (SyncVolume succeeded) since the file was last written: its
// pages are clean and the file's own sync is skipped. Returns 0, or the
// errno of the call that failed; Synced (when given) tells whether the
// file reached the device before that.
// Prefetched says PrefetchFromDevice succeeded for the file since: its
// pages were dropped then and are being read from the device, so they are
// not dropped again.
int ReadFromDevice(const std::string& Path,
                   const std::function<void(const void* Data, size_t Size)>& OnData,
                   bool* Synced = nullptr, bool VolumeSynced = false, bool Prefetched = false);

// Starts reading the file at Path from the device ahead of ReadFromDevice:
// synced (unless VolumeSynced), its pages dropped from the page cache, then
// a read-ahead of the whole file asked for, without waiting. Reading many
// small files back one after another waits on the device once per file;
// with the next ones asked for ahead, the device has several requests at a
// time. Returns 0, or the errno of the call that failed (the file is then
// read as if never prefetched).
int PrefetchFromDevice(const std::string& Path, bool VolumeSynced);

// Has the file system holding the folder Path write out everything written
// to it (syncfs), through the file system in use. Returns 0, or the errno of
// the call that failed.
int SyncVolume(const std::string& Path);

// The whole of a small file (the mount table, a sysfs value) read through
// the file system in use; empty when it cannot be read.
std::string ReadSmallFile(const std::string& Path);

// The file system in use: the Linux one unless another is installed.
TFileSystem& FileSystem();
// Makes Fs (nullptr: the Linux one) the file system in use and returns the
// one installed before (nullptr when that was the Linux one). Fs is not
// owned and must outlive its installation. Install while no other thread
// uses files.
TFileSystem* InstallFileSystem(TFileSystem* Fs);

// Scoped installation for tests:
//   TFaultFileSystem Fault;
//   TFileSystemOverride Guard(Fault);
class TFileSystemOverride {
 public:
  explicit TFileSystemOverride(TFileSystem& Fs) : FPrevious(InstallFileSystem(&Fs)) {}
  ~TFileSystemOverride() { InstallFileSystem(FPrevious); }
  TFileSystemOverride(const TFileSystemOverride&) = delete;
  TFileSystemOverride& operator=(const TFileSystemOverride&) = delete;

 private:
  TFileSystem* FPrevious;
};

}  // namespace zem::platform

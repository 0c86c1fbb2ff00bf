// File and folder operations by Windows-style path: delete, rename, folders,
// the current directory, existence tests, change stamps and flushing.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <cstdlib>

#include "platform/drives.h"
#include "platform/file_internal.h"
#include "platform/file_system.h"
#include "platform/winapi.h"

namespace zem::platform {

namespace detail {

bool NativePathOf(const char* WinPath, std::string& Native) {
  Native = (WinPath == nullptr || *WinPath == '\0') ? std::string() : ToNativePath(WinPath);
  if (Native.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

}  // namespace detail

namespace {

// Whether A and B name the same directory entry (a change of case only, on
// a volume that ignores case).
bool SameEntry(const std::string& A, const std::string& B) {
  struct stat Sa, Sb;
  TFileSystem& Fs = FileSystem();
  return Fs.LStat(A, Sa) == 0 && Fs.LStat(B, Sb) == 0 && Sa.st_dev == Sb.st_dev &&
         Sa.st_ino == Sb.st_ino;
}

bool Exists(const std::string& Native) {
  struct stat St;
  return FileSystem().LStat(Native, St) == 0;
}

// Reports a failed rename: a missing source is the file's fault, anything
// else belongs to the destination.
bool RenameFailed(int Err, const std::string& From, const std::string& To) {
  if (Err == ENOENT && !Exists(From)) return detail::SetLastErrno(ENOENT, From);
  return detail::SetLastErrno(Err, To);
}

}  // namespace

bool DeleteFileA(const char* FileName) {
  std::string Native;
  if (!detail::NativePathOf(FileName, Native)) return false;
  TFileSystem& Fs = FileSystem();
  struct stat St;
  if (Fs.LStat(Native, St) != 0) return detail::SetLastErrno(errno, Native);
  if (S_ISDIR(St.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  // As on Windows, a read-only file is not deleted until the bit is cleared.
  if (!S_ISLNK(St.st_mode) &&
      (detail::DosAttributesOf(Native, St, detail::IsFatVolume(Native)) & FILE_ATTRIBUTE_READONLY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (Fs.Unlink(Native) != 0) return detail::SetLastErrno(errno, Native);
  return true;
}

bool MoveFileA(const char* ExistingFileName, const char* NewFileName) {
  std::string From, To;
  if (!detail::NativePathOf(ExistingFileName, From) || !detail::NativePathOf(NewFileName, To))
    return false;
  TFileSystem& Fs = FileSystem();
  if (Fs.Rename(From, To, RENAME_NOREPLACE) == 0) return true;
  int Err = errno;
  if (Err == EEXIST) {
    if (SameEntry(From, To) && Fs.Rename(From, To) == 0) return true;
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  if (Err != EINVAL && Err != ENOSYS && Err != EOPNOTSUPP) return RenameFailed(Err, From, To);

  // The file system cannot rename without replacing. A file is moved by a
  // hard link, which refuses an existing target atomically; where links are
  // not supported either (vfat), the check and the rename are two steps.
  struct stat St;
  if (Fs.LStat(From, St) != 0) return detail::SetLastErrno(errno, From);
  if (!S_ISDIR(St.st_mode)) {
    if (Fs.Link(From, To) == 0) {
      Fs.Unlink(From);
      return true;
    }
    if (errno == EEXIST) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return false;
    }
  }
  if (Exists(To) && !SameEntry(From, To)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  if (Fs.Rename(From, To) != 0) return RenameFailed(errno, From, To);
  return true;
}

bool CreateDirectoryA(const char* PathName) {
  std::string Native;
  if (!detail::NativePathOf(PathName, Native)) return false;
  if (FileSystem().MakeFolder(Native, 0777) != 0) return detail::SetLastErrno(errno, Native);
  return true;
}

bool RemoveDirectoryA(const char* PathName) {
  std::string Native;
  if (!detail::NativePathOf(PathName, Native)) return false;
  if (FileSystem().RemoveFolder(Native) != 0) return detail::SetLastErrno(errno == EEXIST ? ENOTEMPTY : errno, Native);
  return true;
}

bool SetCurrentDirectoryA(const char* PathName) {
  std::string Native;
  if (!detail::NativePathOf(PathName, Native)) return false;
  if (FileSystem().ChangeFolder(Native) != 0) return detail::SetLastErrno(errno, Native);
  return true;
}

std::string GetCurrentDirectoryA() {
  std::string Native;
  if (FileSystem().CurrentFolder(Native) != 0) {
    detail::SetLastErrno(errno);
    return std::string();
  }
  std::string Dir = FromNativePath(Native);
  if (Dir.size() > 3 && Dir.back() == '\\') Dir.pop_back();
  return Dir;
}

bool FileExists(const std::string& FileName) {
  std::string Native;
  if (!detail::NativePathOf(FileName.c_str(), Native)) return false;
  struct stat St;
  return FileSystem().Stat(Native, St) == 0 && S_ISREG(St.st_mode);
}

bool DirectoryExists(const std::string& PathName) {
  std::string Native;
  if (!detail::NativePathOf(PathName.c_str(), Native)) return false;
  struct stat St;
  return FileSystem().Stat(Native, St) == 0 && S_ISDIR(St.st_mode);
}

bool GetFileStamp(const std::string& FileName, int64_t& Size, int64_t& MTimeNs) {
  std::string Native;
  if (!detail::NativePathOf(FileName.c_str(), Native)) return false;
  struct stat St;
  if (FileSystem().Stat(Native, St) != 0) return detail::SetLastErrno(errno, Native);
  Size = static_cast<int64_t>(St.st_size);
  MTimeNs = static_cast<int64_t>(St.st_mtim.tv_sec) * 1000000000 + St.st_mtim.tv_nsec;
  return true;
}

namespace detail {

bool LockOrClose(int Fd, const std::string& NativePath) {
  if (::flock(Fd, LOCK_EX | LOCK_NB) == 0) return true;
  const int Err = errno;
  FileSystem().Close(Fd);
  if (Err == EWOULDBLOCK)
    platform::SetLastError(ERROR_SHARING_VIOLATION);
  else
    SetLastErrno(Err, NativePath);
  return false;
}

}  // namespace detail

TFileLock::TFileLock(const std::string& FileName) {
  std::string Native;
  if (!detail::NativePathOf(FileName.c_str(), Native)) return;
  TFileSystem& Fs = FileSystem();
  const int Fd = Fs.Open(Native, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (Fd < 0) {
    detail::SetLastErrno(errno, Native);
    return;
  }
  if (!detail::LockOrClose(Fd, Native)) return;
  struct stat Locked, Named;
  // The holder before may have renamed its new file over the name while
  // this one waited on the old.
  if (Fs.FStat(Fd, Locked) != 0 || Fs.Stat(Native, Named) != 0 || Locked.st_dev != Named.st_dev ||
      Locked.st_ino != Named.st_ino) {
    Fs.Close(Fd);
    platform::SetLastError(ERROR_SHARING_VIOLATION);
    return;
  }
  FFd = Fd;
}

TFileLock::~TFileLock() {
  if (FFd >= 0) FileSystem().Close(FFd);
}

namespace {

void FillFileInfo(const struct stat& St, TFileInfo& Info) {
  Info.Device = static_cast<uint64_t>(St.st_dev);
  Info.Inode = static_cast<uint64_t>(St.st_ino);
  Info.Size = static_cast<int64_t>(St.st_size);
  Info.MTimeNs = static_cast<int64_t>(St.st_mtim.tv_sec) * 1000000000 + St.st_mtim.tv_nsec;
  Info.CTimeNs = static_cast<int64_t>(St.st_ctim.tv_sec) * 1000000000 + St.st_ctim.tv_nsec;
  Info.Mode = static_cast<uint32_t>(St.st_mode & 07777);
  Info.Owner = static_cast<uint32_t>(St.st_uid);
  Info.Group = static_cast<uint32_t>(St.st_gid);
  Info.Links = static_cast<uint64_t>(St.st_nlink);
}

}  // namespace

bool GetFileInfo(const std::string& FileName, TFileInfo& Info) {
  std::string Native;
  if (!detail::NativePathOf(FileName.c_str(), Native)) return false;
  struct stat St;
  if (FileSystem().Stat(Native, St) != 0) return detail::SetLastErrno(errno, Native);
  FillFileInfo(St, Info);
  return true;
}

bool GetFileInfo(THandle Handle, TFileInfo& Info) {
  struct stat St;
  if (FileSystem().FStat(Handle, St) != 0) return detail::SetLastErrno(errno);
  FillFileInfo(St, Info);
  return true;
}

bool GetOpenFileStatus(THandle Handle, const std::string& FileName, TOpenFileStatus& Status,
                       const struct stat* Known) {
  TFileSystem& Fs = FileSystem();
  struct stat St;
  if (Known != nullptr)
    St = *Known;
  else if (Fs.FStat(Handle, St) != 0)
    return detail::SetLastErrno(errno);
  FillFileInfo(St, Status.Info);
  Status.DosTime = UnixToDosDateTime(St.st_mtime);
  struct statfs Vol;
  const bool OnFat = Fs.FStatFs(Handle, Vol) == 0 && Vol.f_type == MSDOS_SUPER_MAGIC;
  uint32_t Fat = 0;
  if (OnFat && Fs.GetFatAttributes(Handle, Fat) == 0) {
    Fat &= FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
           FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_DIRECTORY;
    if (S_ISDIR(St.st_mode)) Fat |= FILE_ATTRIBUTE_DIRECTORY;
    Status.Attributes = Fat != 0 ? Fat : FILE_ATTRIBUTE_NORMAL;
    return true;
  }
  // Off FAT (or when the ioctl is refused) the permission rules, as for a
  // look-up by name: only the name's last component counts there, and a
  // leading dot is one in either form of the name.
  const size_t Sep = FileName.find_last_of("\\/");
  const std::string Last = Sep == std::string::npos ? FileName : FileName.substr(Sep + 1);
  Status.Attributes = detail::DosAttributesOf(Last, St, false);
  return true;
}

bool GetLinkInfo(const std::string& FileName, std::string& Target, TFileInfo& Info) {
  std::string Native;
  if (!detail::NativePathOf(FileName.c_str(), Native)) return false;
  // The name's own last component: a trailing separator would follow it.
  while (Native.size() > 1 && Native.back() == '/') Native.pop_back();
  struct stat St;
  if (FileSystem().LStat(Native, St) != 0) return detail::SetLastErrno(errno, Native);
  if (!S_ISLNK(St.st_mode)) return false;
  if (FileSystem().ReadLink(Native, Target) != 0) return detail::SetLastErrno(errno, Native);
  FillFileInfo(St, Info);
  return true;
}

uint32_t ProcessUmask() {
  // The kernel shows the mask in the process status; reading it there
  // leaves it alone for the other threads.
  const int Fd = FileSystem().Open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (Fd >= 0) {
    std::string Text;
    char Buf[4096];
    ssize_t N;
    while ((N = FileSystem().Read(Fd, Buf, sizeof Buf)) > 0) Text.append(Buf, static_cast<size_t>(N));
    FileSystem().Close(Fd);
    const size_t At = Text.find("\nUmask:");
    if (At != std::string::npos) return static_cast<uint32_t>(std::strtoul(Text.c_str() + At + 7, nullptr, 8)) & 0777;
  }
  const mode_t Mask = ::umask(022);
  ::umask(Mask);
  return static_cast<uint32_t>(Mask) & 0777;
}

bool SetFileMode(const std::string& FileName, uint32_t Mode) {
  std::string Native;
  if (!detail::NativePathOf(FileName.c_str(), Native)) return false;
  if (FileSystem().Chmod(Native, static_cast<mode_t>(Mode & 07777)) != 0)
    return detail::SetLastErrno(errno, Native);
  return true;
}

bool ReplaceFileA(const char* ReplacedFileName, const char* ReplacementFileName) {
  std::string To, From;
  if (!detail::NativePathOf(ReplacedFileName, To) || !detail::NativePathOf(ReplacementFileName, From))
    return false;
  TFileSystem& Fs = FileSystem();
  struct stat Old;
  if (Fs.Stat(To, Old) == 0) {
    // Owner and group first: a change of owner clears the set-id bits,
    // which the mode then puts back. Each is a wish: a user who may not
    // give the file away, or not to that group, keeps the replacement's
    // own (chown refuses with EPERM and changes nothing).
    struct stat New;
    if (Fs.Stat(From, New) == 0 && (New.st_uid != Old.st_uid || New.st_gid != Old.st_gid)) {
      if (Fs.Chown(From, Old.st_uid, Old.st_gid) != 0) Fs.Chown(From, static_cast<uid_t>(-1), Old.st_gid);
    }
    Fs.Chmod(From, Old.st_mode & 07777);
  }
  if (Fs.Rename(From, To) != 0) return RenameFailed(errno, From, To);
  return true;
}

bool FlushFileBuffers(THandle Handle) {
  if (FileSystem().Sync(Handle) != 0) return detail::SetLastErrno(errno);
  return true;
}

}  // namespace zem::platform

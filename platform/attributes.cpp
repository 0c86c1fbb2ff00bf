// DOS file attributes: the FAT bits on vfat volumes, a mapping from the
// permission bits and the leading-dot convention elsewhere.
#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include "platform/drives.h"
#include "platform/file_internal.h"
#include "platform/file_system.h"
#include "platform/winapi.h"

namespace zem::platform {

namespace {

// The bits a FAT directory entry may have changed by SetFileAttributesA.
constexpr uint32_t kSettableFatBits =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

int OpenForIoctl(const std::string& NativePath) {
  int Fd;
  do {
    Fd = FileSystem().Open(NativePath, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (Fd < 0 && errno == EINTR);
  return Fd;
}

}  // namespace

namespace detail {

std::string BaseNameOf(const std::string& NativePath) {
  size_t End = NativePath.size();
  while (End > 1 && NativePath[End - 1] == '/') --End;
  size_t Slash = NativePath.find_last_of('/', End - 1);
  if (Slash == std::string::npos) return NativePath.substr(0, End);
  return NativePath.substr(Slash + 1, End - Slash - 1);
}

bool IsFatVolume(const std::string& NativePath) {
  struct statfs Fs;
  if (FileSystem().StatFs(NativePath, Fs) != 0) return false;
  return Fs.f_type == MSDOS_SUPER_MAGIC;
}

uint32_t DosAttributesOf(const std::string& NativePath, const struct stat& St, bool OnFat) {
  const bool IsDir = S_ISDIR(St.st_mode);
  if (OnFat) {
    int Fd = OpenForIoctl(NativePath);
    if (Fd >= 0) {
      uint32_t Attr = 0;
      int Rc = FileSystem().GetFatAttributes(Fd, Attr);
      FileSystem().Close(Fd);
      if (Rc == 0) {
        Attr &= kSettableFatBits | FILE_ATTRIBUTE_DIRECTORY;
        if (IsDir) Attr |= FILE_ATTRIBUTE_DIRECTORY;
        return Attr != 0 ? Attr : FILE_ATTRIBUTE_NORMAL;
      }
    }
    // Fall through to the permission rules when the ioctl is refused.
  }
  uint32_t Attr = 0;
  if ((St.st_mode & S_IWUSR) == 0) Attr |= FILE_ATTRIBUTE_READONLY;
  std::string Name = BaseNameOf(NativePath);
  if (Name.size() > 1 && Name[0] == '.' && Name != "..") Attr |= FILE_ATTRIBUTE_HIDDEN;
  Attr |= IsDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  return Attr;
}

}  // namespace detail

uint32_t GetFileAttributesA(const char* FileName) {
  std::string Native;
  if (!detail::NativePathOf(FileName, Native)) return INVALID_FILE_ATTRIBUTES;
  struct stat St;
  if (FileSystem().Stat(Native, St) != 0) {
    detail::SetLastErrno(errno, Native);
    return INVALID_FILE_ATTRIBUTES;
  }
  return detail::DosAttributesOf(Native, St, detail::IsFatVolume(Native));
}

bool SetFileAttributesA(const char* FileName, uint32_t Attributes) {
  std::string Native;
  if (!detail::NativePathOf(FileName, Native)) return false;
  struct stat St;
  if (FileSystem().Stat(Native, St) != 0) return detail::SetLastErrno(errno, Native);
  if (Attributes == FILE_ATTRIBUTE_NORMAL) Attributes = 0;

  if (detail::IsFatVolume(Native)) {
    int Fd = OpenForIoctl(Native);
    if (Fd < 0) return detail::SetLastErrno(errno, Native);
    uint32_t Fat = Attributes & kSettableFatBits;
    int Rc = FileSystem().SetFatAttributes(Fd, Fat);
    int Err = errno;
    FileSystem().Close(Fd);
    if (Rc != 0) return detail::SetLastErrno(Err, Native);
    return true;
  }

  // Elsewhere only read-only maps to something settable: the write bits.
  // Hidden follows the name, archive and system have no counterpart.
  mode_t Mode = St.st_mode & 07777;
  if (Attributes & FILE_ATTRIBUTE_READONLY)
    Mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  else if ((Mode & S_IWUSR) == 0)
    Mode |= S_IWUSR;
  if (Mode != (St.st_mode & 07777) && FileSystem().Chmod(Native, Mode) != 0)
    return detail::SetLastErrno(errno, Native);
  return true;
}

}  // namespace zem::platform

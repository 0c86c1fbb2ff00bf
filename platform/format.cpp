// Emptying a removable volume below its mount point, as the format does.
//
// The walk works on open folder handles (openat, unlinkat) so that a name
// swapped for a link while the walk runs cannot lead it out of the card:
// every folder is opened with O_NOFOLLOW and links are unlinked as entries.
// A folder's names are read in full before any is removed, since removing
// while reading may skip entries.
#include "platform/format.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/drives.h"
#include "platform/file_internal.h"
#include "platform/file_system.h"
#include "platform/winapi.h"

namespace zem::platform {

namespace {

constexpr mode_t kOwnerAll = S_IRWXU;

// The names in the open folder Fd, without "." and "..". False (last error
// set) when the folder cannot be read.
bool ReadNames(int Fd, const std::string& Path, std::vector<std::string>& Names) {
  if (FileSystem().ListFolder(Fd, [&](const char* Name) { Names.emplace_back(Name); }) != 0)
    return detail::SetLastErrno(errno, Path);
  return true;
}

// Opens the sub-folder Name of Parent with full access for its owner (a
// read-only folder must be writable to be emptied). The permission is added
// through the open handle; only a folder that cannot even be opened gets it
// by name first.
int OpenFolderForEmptying(int Parent, const std::string& Name, const struct stat& St) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  TFileSystem& Fs = FileSystem();
  int Fd = Fs.OpenAt(Parent, Name, kFlags);
  if (Fd < 0 && errno == EACCES) {
    Fs.ChmodAt(Parent, Name, (St.st_mode & 07777) | kOwnerAll);
    Fd = Fs.OpenAt(Parent, Name, kFlags);
  }
  if (Fd >= 0 && (St.st_mode & kOwnerAll) != kOwnerAll) Fs.FChmod(Fd, (St.st_mode & 07777) | kOwnerAll);
  return Fd;
}

// Removes everything inside the open folder Fd (at native Path) that lies on
// device Dev. Returns false when anything stays; the last error then tells
// the first failure met.
bool EmptyFolder(int Fd, const std::string& Path, dev_t Dev, bool& ErrorSet) {
  auto Fail = [&](int Err, const std::string& Where) {
    if (!ErrorSet) detail::SetLastErrno(Err, Where);
    ErrorSet = true;
    return false;
  };
  std::vector<std::string> Names;
  if (!ReadNames(Fd, Path, Names)) {
    ErrorSet = true;
    return false;
  }
  TFileSystem& Fs = FileSystem();
  bool Ok = true;
  for (const std::string& Name : Names) {
    const std::string Child = Path + "/" + Name;
    struct stat St;
    if (Fs.StatAt(Fd, Name, St, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) Ok = Fail(errno, Child);
      continue;
    }
    if (S_ISDIR(St.st_mode)) {
      if (St.st_dev != Dev) {  // another volume mounted inside the card
        Ok = Fail(EBUSY, Child);
        continue;
      }
      const int Sub = OpenFolderForEmptying(Fd, Name, St);
      if (Sub < 0) {
        Ok = Fail(errno, Child);
        continue;
      }
      const bool Emptied = EmptyFolder(Sub, Child, Dev, ErrorSet);
      Fs.Close(Sub);
      if (!Emptied) {
        Ok = false;
        continue;
      }
      if (Fs.UnlinkAt(Fd, Name, AT_REMOVEDIR) != 0) Ok = Fail(errno, Child);
    } else if (Fs.UnlinkAt(Fd, Name, 0) != 0 && errno != ENOENT) {
      Ok = Fail(errno, Child);
    }
  }
  return Ok;
}

// Empties the folder at MountPoint; true when it is empty afterwards.
bool EmptyVolume(const std::string& MountPoint) {
  TFileSystem& Fs = FileSystem();
  const int Root = Fs.Open(MountPoint, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Root < 0) return detail::SetLastErrno(errno, MountPoint);
  struct stat St;
  if (Fs.FStat(Root, St) != 0) {
    const int Err = errno;
    Fs.Close(Root);
    return detail::SetLastErrno(Err, MountPoint);
  }
  // The mount point keeps its own permissions; write access is lent for the
  // emptying only.
  const mode_t Mode = St.st_mode & 07777;
  const bool Lend = (Mode & kOwnerAll) != kOwnerAll;
  if (Lend) Fs.FChmod(Root, Mode | kOwnerAll);
  bool ErrorSet = false;
  EmptyFolder(Root, MountPoint, St.st_dev, ErrorSet);
  std::vector<std::string> Left;
  const bool Read = ReadNames(Root, MountPoint, Left);
  if (Lend) Fs.FChmod(Root, Mode);
  Fs.Close(Root);
  if (!Read) return false;
  if (!Left.empty()) {
    if (!ErrorSet) SetLastError(ERROR_DIR_NOT_EMPTY);
    return false;
  }
  return true;
}

}  // namespace

bool FormatMakesFileSystem(uint32_t Drive) {
  return Drive < 26 && DriveTable().MakesFileSystems(static_cast<char>('A' + Drive));
}

std::string DefaultNewFileSystem(uint32_t Drive) {
  if (Drive >= 26) return "FAT32";
  const std::optional<TDriveEntry> E = DriveTable().Find(static_cast<char>('A' + Drive));
  if (E && E->FileSystem == "exfat") return "exFAT";
  if (E && E->FileSystem == "vfat") return "FAT32";
  uint64_t Total = 0;
  const std::string Root = std::string(1, static_cast<char>('A' + Drive)) + ":\\";
  if (E && GetDiskFreeSpaceExA(Root.c_str(), nullptr, &Total, nullptr) && Total > (32ull << 30))
    return "exFAT";
  return "FAT32";
}

uint32_t FormatDrive(uint32_t Drive, const std::function<bool()>& Confirm,
                     const std::string& FileSystem) {
  if (Drive >= 26) return SHFMT_NOFORMAT;
  const std::optional<TDriveEntry> E = DriveTable().Find(static_cast<char>('A' + Drive));
  if (!E || E->Type != DRIVE_REMOVABLE || E->MountPoint.empty() || E->MountPoint == "/" ||
      E->MountPoint[0] != '/') {
    SetLastError(ERROR_INVALID_DRIVE);
    return SHFMT_NOFORMAT;
  }
  if (!E->HasMedia) {
    SetLastError(ERROR_NOT_READY);
    return SHFMT_ERROR;
  }
  TDriveTable& Table = DriveTable();
  if (Table.MakesFileSystems(E->Letter)) {
    const std::string Chosen = FileSystem.empty() ? DefaultNewFileSystem(Drive) : FileSystem;
    if (Chosen != "FAT32" && Chosen != "exFAT") {
      SetLastError(ERROR_INVALID_PARAMETER);
      return SHFMT_ERROR;
    }
    if (Confirm && !Confirm()) return SHFMT_CANCEL;
    return Table.MakeFileSystem(*E, Chosen == "exFAT" ? "exfat" : "vfat", E->Label)
               ? 0u
               : static_cast<uint32_t>(SHFMT_ERROR);
  }
  if (Confirm && !Confirm()) return SHFMT_CANCEL;
  return EmptyVolume(E->MountPoint) ? 0u : static_cast<uint32_t>(SHFMT_ERROR);
}

}  // namespace zem::platform

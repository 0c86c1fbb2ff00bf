// Emptying a removable volume below its mount point, as the format does.
//
// The walk works on open folder handles (openat, unlinkat) so that a name
// swapped for a link while the walk runs cannot lead it out of the card:
// every folder is opened with O_NOFOLLOW and links are unlinked as entries.
// A folder's names are read in full before any is removed, since removing
// while reading may skip entries. The walk never enters another mount: a
// folder on another device, or shown by another mount of the same file
// system (a bind mount), is left alone.
#include "platform/format.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/card_guard.h"
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

// The mount the emptying stays on: its device, and its mount id where the
// kernel tells it (else the mount points of the table, by path).
struct TMountScope {
  dev_t Dev = 0;
  bool HaveId = false;
  uint64_t Id = 0;
  std::vector<std::string> MountPoints;

  bool Foreign(int Parent, const std::string& Name, const std::string& Path,
               const struct stat& St) const {
    if (St.st_dev != Dev) return true;
    uint64_t ChildId = 0;
    if (HaveId && FileSystem().MountId(Parent, Name, AT_SYMLINK_NOFOLLOW, ChildId) == 0)
      return ChildId != Id;
    for (const std::string& M : MountPoints)
      if (M == Path) return true;
    return false;
  }
};

// Removes everything inside the open folder Fd (at native Path) that lies on
// the mount Scope. Returns false when anything stays; the last error then
// tells the first failure met.
bool EmptyFolder(int Fd, const std::string& Path, const TMountScope& Scope, bool& ErrorSet) {
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
      if (Scope.Foreign(Fd, Name, Child, St)) {  // another mount inside the card
        Ok = Fail(EBUSY, Child);
        continue;
      }
      const int Sub = OpenFolderForEmptying(Fd, Name, St);
      if (Sub < 0) {
        Ok = Fail(errno, Child);
        continue;
      }
      const bool Emptied = EmptyFolder(Sub, Child, Scope, ErrorSet);
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

// Empties the folder at MountPoint; true when it is empty afterwards. When
// the drive is pinned (Pinned), the folder opened must be that card.
bool EmptyVolume(const std::string& MountPoint, const std::optional<TCardIdentity>& Pinned) {
  TFileSystem& Fs = FileSystem();
  const int Root = Fs.Open(MountPoint, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Root < 0) return detail::SetLastErrno(errno, MountPoint);
  struct stat St;
  if (Fs.FStat(Root, St) != 0) {
    const int Err = errno;
    Fs.Close(Root);
    return detail::SetLastErrno(Err, MountPoint);
  }
  TMountScope Scope;
  Scope.Dev = St.st_dev;
  Scope.HaveId = Fs.MountId(Root, "", AT_EMPTY_PATH, Scope.Id) == 0;
  if (!Scope.HaveId)
    for (const TMountEntry& M : ReadMountTable()) Scope.MountPoints.push_back(M.MountPoint);
  if (Pinned && (Pinned->Dev != St.st_dev || Pinned->Ino != St.st_ino ||
                 (Scope.HaveId && Pinned->MountId != 0 && Pinned->MountId != Scope.Id))) {
    Fs.Close(Root);
    SetLastError(ERROR_INVALID_DRIVE);  // another card stands there now
    return false;
  }
  // The mount point keeps its own permissions; write access is lent for the
  // emptying only.
  const mode_t Mode = St.st_mode & 07777;
  const bool Lend = (Mode & kOwnerAll) != kOwnerAll;
  if (Lend) Fs.FChmod(Root, Mode | kOwnerAll);
  bool ErrorSet = false;
  EmptyFolder(Root, MountPoint, Scope, ErrorSet);
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
  if (!ErasureRefusal(E->MountPoint).empty()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return SHFMT_NOFORMAT;
  }
  // An operation that pinned the card formats that card or nothing.
  const std::optional<TCardIdentity> Pinned = PinnedCard(E->Letter);
  TDriveTable& Table = DriveTable();
  if (Table.MakesFileSystems(E->Letter)) {
    const std::string Chosen = FileSystem.empty() ? DefaultNewFileSystem(Drive) : FileSystem;
    if (Chosen != "FAT32" && Chosen != "exFAT") {
      SetLastError(ERROR_INVALID_PARAMETER);
      return SHFMT_ERROR;
    }
    if (Confirm && !Confirm()) return SHFMT_CANCEL;
    if (Pinned && (Pinned->Device != E->Device || Pinned->VolumeId != E->Identity)) {
      SetLastError(ERROR_INVALID_DRIVE);
      return SHFMT_ERROR;
    }
    return Table.MakeFileSystem(*E, Chosen == "exFAT" ? "exfat" : "vfat", E->Label)
               ? 0u
               : static_cast<uint32_t>(SHFMT_ERROR);
  }
  if (Confirm && !Confirm()) return SHFMT_CANCEL;
  return EmptyVolume(E->MountPoint, Pinned) ? 0u : static_cast<uint32_t>(SHFMT_ERROR);
}

}  // namespace zem::platform

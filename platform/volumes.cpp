// Drive and volume queries answered from the drive table: drive type,
// label, serial number, sizes in clusters, and the error mode.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/file_internal.h"
#include "platform/file_system.h"
#include "platform/volumes.h"
#include "platform/winapi.h"

namespace zem::platform {

namespace {

// Win32's code for a buffer too small for a volume's name.
constexpr uint32_t kErrorBadLength = 24;

// Volume flags of the volume query.
enum : uint32_t {
  FILE_CASE_SENSITIVE_SEARCH = 0x00000001,
  FILE_CASE_PRESERVED_NAMES = 0x00000002,
  FILE_UNICODE_ON_DISK = 0x00000004,
  FILE_READ_ONLY_VOLUME = 0x00080000,
};

std::atomic<uint32_t> GErrorMode{0};

// The drive letter a path starts with: "X:", "X:\", "X:\dir" (either case).
// A null path means the drive of the current directory.
std::optional<char> LetterOf(const char* Path) {
  std::string P;
  if (Path == nullptr) {
    std::string Native;
    if (FileSystem().CurrentFolder(Native) == 0) P = FromNativePath(Native);
  } else {
    P = Path;
  }
  if (P.size() < 2 || P[1] != ':' || !std::isalpha(static_cast<unsigned char>(P[0]))) return std::nullopt;
  if (P.size() > 2 && P[2] != '\\' && P[2] != '/') return std::nullopt;
  return static_cast<char>(std::toupper(static_cast<unsigned char>(P[0])));
}

// The entry of the drive a path names, with the last error set when there is
// none or the drive has no medium in it.
std::optional<TDriveEntry> ReadyDrive(const char* Path) {
  const std::optional<char> Letter = LetterOf(Path);
  if (!Letter) {
    SetLastError(ERROR_INVALID_NAME);
    return std::nullopt;
  }
  std::optional<TDriveEntry> E = DriveTable().Find(*Letter);
  if (!E) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return std::nullopt;
  }
  if (!E->HasMedia) {
    SetLastError(ERROR_NOT_READY);
    return std::nullopt;
  }
  return E;
}

bool StatVolume(const std::string& NativePath, struct statvfs& Out) {
  if (FileSystem().StatVfs(NativePath, Out) != 0) return detail::SetLastErrno(errno, NativePath);
  return true;
}

// Copies Text with its NUL into a caller's buffer of Size bytes; a null
// buffer asks for nothing.
bool CopyOut(const std::string& Text, char* Buffer, uint32_t Size) {
  if (Buffer == nullptr) return true;
  if (Text.size() + 1 > Size) {
    SetLastError(kErrorBadLength);
    return false;
  }
  std::memcpy(Buffer, Text.c_str(), Text.size() + 1);
  return true;
}

uint32_t Fnv1a(const std::string& S) {
  uint32_t H = 2166136261u;
  for (unsigned char C : S) H = (H ^ C) * 16777619u;
  return H;
}

struct TSpace {
  uint64_t Total = 0, Free = 0, Available = 0;
};

// Sizes of the volume a native path lies on. A fake drive with a set
// capacity reports that capacity, less what its folder holds.
bool VolumeSpace(const TDriveEntry& E, const std::string& NativePath, TSpace& S) {
  if (E.Capacity != 0) {
    struct stat St;
    if (FileSystem().Stat(NativePath, St) != 0) return detail::SetLastErrno(errno, NativePath);
    const uint64_t Used = FolderBytes(E.MountPoint);
    S.Total = E.Capacity;
    S.Free = S.Available = Used >= E.Capacity ? 0 : E.Capacity - Used;
    return true;
  }
  struct statvfs V;
  if (!StatVolume(NativePath, V)) return false;
  const uint64_t Unit = V.f_frsize != 0 ? V.f_frsize : V.f_bsize;
  S.Total = static_cast<uint64_t>(V.f_blocks) * Unit;
  S.Free = static_cast<uint64_t>(V.f_bfree) * Unit;
  S.Available = static_cast<uint64_t>(V.f_bavail) * Unit;
  return true;
}

}  // namespace

TClusterSplit SplitIntoClusters(uint64_t TotalBytes, uint64_t FreeBytes) {
  TClusterSplit R;
  uint64_t Sectors;
  if (TotalBytes % 512 == 0 || (TotalBytes >> 31) > 0xFFFFFFFFull) {
    // Byte-sized sectors of a huge odd size would need 2^32 sectors per
    // cluster; such a size is rounded down with 512-byte sectors instead.
    R.BytesPerSector = 512;
  } else {
    R.BytesPerSector = 1;
  }
  Sectors = TotalBytes / R.BytesPerSector;
  uint64_t PerCluster = 1;
  while (Sectors / PerCluster > 0xFFFFFFFFull) PerCluster <<= 1;
  R.SectorsPerCluster = static_cast<uint32_t>(PerCluster);
  const uint64_t ClusterBytes = PerCluster * R.BytesPerSector;
  R.TotalClusters = static_cast<uint32_t>(TotalBytes / ClusterBytes);
  const uint64_t FreeClusters = FreeBytes / ClusterBytes;
  R.FreeClusters = static_cast<uint32_t>(FreeClusters < R.TotalClusters ? FreeClusters : R.TotalClusters);
  return R;
}

uint64_t FolderBytes(const std::string& NativeFolder) {
  TFileSystem& Fs = FileSystem();
  const int Fd = Fs.Open(NativeFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Fd < 0) return 0;
  std::vector<std::string> Names;
  Fs.ListFolder(Fd, [&](const char* Name) { Names.emplace_back(Name); });
  Fs.Close(Fd);
  uint64_t Sum = 0;
  for (const std::string& Name : Names) {
    const std::string Child = (NativeFolder == "/" ? "" : NativeFolder) + "/" + Name;
    struct stat St;
    // Links are not followed: a link to a big file elsewhere takes no room here.
    if (Fs.LStat(Child, St) != 0) continue;
    if (S_ISREG(St.st_mode)) Sum += static_cast<uint64_t>(St.st_size);
    else if (S_ISDIR(St.st_mode)) Sum += FolderBytes(Child);
  }
  return Sum;
}

uint32_t SetErrorMode(uint32_t Mode) { return GErrorMode.exchange(Mode); }

uint32_t GetDriveTypeA(const char* RootPathName) {
  const std::optional<char> Letter = LetterOf(RootPathName);
  if (!Letter) return DRIVE_NO_ROOT_DIR;
  const std::optional<TDriveEntry> E = DriveTable().Find(*Letter);
  return E ? E->Type : DRIVE_NO_ROOT_DIR;
}

bool GetVolumeInformationA(const char* RootPathName, char* VolumeNameBuffer,
                           uint32_t VolumeNameSize, uint32_t* VolumeSerialNumber,
                           uint32_t* MaximumComponentLength, uint32_t* FileSystemFlags,
                           char* FileSystemNameBuffer, uint32_t FileSystemNameSize) {
  const std::optional<TDriveEntry> E = ReadyDrive(RootPathName);
  if (!E) return false;
  struct statvfs V;
  if (!StatVolume(E->MountPoint, V)) return false;

  const std::string FsName = FileSystemName(E->FileSystem);
  if (!CopyOut(E->Label, VolumeNameBuffer, VolumeNameSize)) return false;
  if (!CopyOut(FsName, FileSystemNameBuffer, FileSystemNameSize)) return false;

  if (VolumeSerialNumber != nullptr) {
    // The file system id is the volume's identity on Linux; fake drives all
    // share their host's, so theirs comes from the folder's name.
    const uint64_t Id = static_cast<uint64_t>(V.f_fsid);
    uint32_t Serial = static_cast<uint32_t>(Id ^ (Id >> 32));
    if (E->Device.empty() || Serial == 0) Serial = Fnv1a(E->MountPoint);
    *VolumeSerialNumber = Serial;
  }
  if (MaximumComponentLength != nullptr) *MaximumComponentLength = static_cast<uint32_t>(V.f_namemax);
  if (FileSystemFlags != nullptr) {
    uint32_t Flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    const bool FatLike = FsName == "FAT32" || FsName == "FAT" || FsName == "exFAT" || FsName == "NTFS";
    if (!FatLike) Flags |= FILE_CASE_SENSITIVE_SEARCH;
    if (V.f_flag & ST_RDONLY) Flags |= FILE_READ_ONLY_VOLUME;
    *FileSystemFlags = Flags;
  }
  return true;
}

bool GetDiskFreeSpaceA(const char* RootPathName, uint32_t* SectorsPerCluster,
                       uint32_t* BytesPerSector, uint32_t* NumberOfFreeClusters,
                       uint32_t* TotalNumberOfClusters) {
  const std::optional<TDriveEntry> E = ReadyDrive(RootPathName);
  if (!E) return false;
  TSpace S;
  if (!VolumeSpace(*E, E->MountPoint, S)) return false;
  const TClusterSplit C = SplitIntoClusters(S.Total, S.Available);
  if (SectorsPerCluster != nullptr) *SectorsPerCluster = C.SectorsPerCluster;
  if (BytesPerSector != nullptr) *BytesPerSector = C.BytesPerSector;
  if (NumberOfFreeClusters != nullptr) *NumberOfFreeClusters = C.FreeClusters;
  if (TotalNumberOfClusters != nullptr) *TotalNumberOfClusters = C.TotalClusters;
  return true;
}

bool GetDiskFreeSpaceExA(const char* DirectoryName, uint64_t* FreeBytesAvailable,
                         uint64_t* TotalNumberOfBytes, uint64_t* TotalNumberOfFreeBytes) {
  const std::optional<TDriveEntry> E = ReadyDrive(DirectoryName);
  if (!E) return false;
  std::string Native = E->MountPoint;
  if (DirectoryName != nullptr) {
    if (!detail::NativePathOf(DirectoryName, Native)) return false;
  }
  TSpace S;
  if (!VolumeSpace(*E, Native, S)) return false;
  if (FreeBytesAvailable != nullptr) *FreeBytesAvailable = S.Available;
  if (TotalNumberOfBytes != nullptr) *TotalNumberOfBytes = S.Total;
  if (TotalNumberOfFreeBytes != nullptr) *TotalNumberOfFreeBytes = S.Free;
  return true;
}

bool SetVolumeLabelA(const char* RootPathName, const char* VolumeName) {
  const std::optional<TDriveEntry> E = ReadyDrive(RootPathName);
  if (!E) return false;
  // A null name removes the label, as an empty one does.
  if (!DriveTable().SetLabel(E->Letter, VolumeName != nullptr ? VolumeName : "")) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  return true;
}

std::string FileSystemName(const std::string& FsType) {
  if (FsType == "vfat") return "FAT32";
  if (FsType == "msdos") return "FAT";
  if (FsType == "exfat") return "exFAT";
  if (FsType == "ntfs" || FsType == "ntfs3") return "NTFS";
  std::string Upper = FsType;
  for (char& C : Upper) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
  return Upper;
}

}  // namespace zem::platform

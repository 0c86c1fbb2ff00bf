// The real drive table: mounted removable volumes found through the mount
// table, sysfs and the udev label links.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/drives.h"
#include "platform/file_system.h"

namespace zem::platform {

// std::filesystem only takes paths apart here; every look at the disk goes
// through the file-system seam.
namespace fs = std::filesystem;

namespace {

// One line of mountinfo, reduced to what the table needs.
struct TMountRec {
  std::string Id;          // the mount's id
  unsigned Major = 0, Minor = 0;
  std::string Root;        // the folder of the volume that is mounted
  std::string MountPoint;  // unescaped
  std::string FsType;
  std::string Source;      // unescaped
};

// mountinfo writes space, tab, newline and backslash as "\ooo" (octal).
std::string UnescapeOctal(const std::string& S) {
  std::string Out;
  Out.reserve(S.size());
  for (size_t I = 0; I < S.size(); ++I) {
    if (S[I] == '\\' && I + 3 < S.size()) {
      const char A = S[I + 1], B = S[I + 2], C = S[I + 3];
      if (A >= '0' && A <= '3' && B >= '0' && B <= '7' && C >= '0' && C <= '7') {
        Out += static_cast<char>((A - '0') * 64 + (B - '0') * 8 + (C - '0'));
        I += 3;
        continue;
      }
    }
    Out += S[I];
  }
  return Out;
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// udev writes unsafe bytes of a label link's name as "\xNN".
std::string UnescapeHex(const std::string& S) {
  std::string Out;
  Out.reserve(S.size());
  for (size_t I = 0; I < S.size(); ++I) {
    if (S[I] == '\\' && I + 3 < S.size() && S[I + 1] == 'x') {
      const int H = HexDigit(S[I + 2]), L = HexDigit(S[I + 3]);
      if (H >= 0 && L >= 0) {
        Out += static_cast<char>(H * 16 + L);
        I += 3;
        continue;
      }
    }
    Out += S[I];
  }
  return Out;
}

// Parses "<id> <parent> <maj:min> <root> <mount point> <options>
// [optional fields...] - <fstype> <source> <super options>".
bool ParseMountLine(const std::string& Line, TMountRec& M) {
  std::istringstream In(Line);
  std::string Id, Parent, Dev, Root, Point, Options, Field;
  if (!(In >> Id >> Parent >> Dev >> Root >> Point >> Options)) return false;
  while (In >> Field && Field != "-") {
  }
  if (Field != "-") return false;
  std::string FsType, Source;
  if (!(In >> FsType)) return false;
  In >> Source;  // may be missing for some pseudo file systems
  const size_t Colon = Dev.find(':');
  if (Colon == std::string::npos) return false;
  try {
    M.Major = static_cast<unsigned>(std::stoul(Dev.substr(0, Colon)));
    M.Minor = static_cast<unsigned>(std::stoul(Dev.substr(Colon + 1)));
  } catch (const std::exception&) {
    return false;
  }
  M.Id = Id;
  M.Root = UnescapeOctal(Root);
  M.MountPoint = UnescapeOctal(Point);
  M.FsType = UnescapeOctal(FsType);
  M.Source = UnescapeOctal(Source);
  return true;
}

std::string ReadFirstLine(const fs::path& P) {
  std::string Line = ReadSmallFile(P.string());
  Line.resize(std::min(Line.size(), Line.find('\n')));
  while (!Line.empty() && std::isspace(static_cast<unsigned char>(Line.back()))) Line.pop_back();
  return Line;
}

bool StartsWith(const std::string& S, const char* Prefix) { return S.rfind(Prefix, 0) == 0; }

bool Exists(const fs::path& P) {
  struct stat St;
  return FileSystem().Stat(P.string(), St) == 0;
}

bool IsFolder(const fs::path& P) {
  struct stat St;
  return FileSystem().Stat(P.string(), St) == 0 && S_ISDIR(St.st_mode);
}

bool IsLink(const fs::path& P) {
  struct stat St;
  return FileSystem().LStat(P.string(), St) == 0 && S_ISLNK(St.st_mode);
}

// The target of a link; false when P is no link or cannot be read.
bool ReadLinkOf(const fs::path& P, fs::path& Target) {
  std::string T;
  if (FileSystem().ReadLink(P.string(), T) != 0) return false;
  Target = T;
  return true;
}

// The name of a file system from its statfs magic number, for the root
// folder when the mount table does not list it (inside a chroot the mount
// that holds "/" lies outside the visible tree). Unknown magics are given
// in hex, so the system drive always names some file system.
std::string FsTypeFromMagic(unsigned long Magic) {
  static const std::pair<unsigned long, const char*> Known[] = {
      {0xEF53, "ext4"},        {0x58465342, "xfs"},      {0x9123683E, "btrfs"},
      {0x01021994, "tmpfs"},   {0x794C7630, "overlay"},  {0x4D44, "vfat"},
      {0x2011BAB0, "exfat"},   {0x5346544E, "ntfs"},     {0x65735546, "fuse"},
      {0x858458F6, "ramfs"},   {0x2FC12FC1, "zfs"},      {0xF2F52010, "f2fs"},
      {0x6969, "nfs"},         {0xFF534D42, "cifs"},     {0x73717368, "squashfs"},
      {0x01021997, "9p"},      {0xCA451A4E, "bcachefs"}, {0x52654973, "reiserfs"}};
  for (const auto& [Value, Name] : Known)
    if (Value == Magic) return Name;
  char Buf[32];
  std::snprintf(Buf, sizeof Buf, "0x%lx", Magic);
  return Buf;
}

// Reads the tree below the three roots; one object per Drives() call.
// Letters is the table's memory of the letters given: mount -> letter.
class TScanner {
 public:
  TScanner(const std::string& Sys, const std::string& Dev, std::map<std::string, char>& Letters)
      : FSys(Sys), FDev(Dev), FLetters(Letters) {}

  // The drives of the mount table MountInfo (the text of mountinfo).
  std::vector<TDriveEntry> Scan(const std::string& MountInfo);

 private:
  std::string BlockName(const TMountRec& M) const;
  bool IsBlockDevice(const std::string& Name) const;
  // The type a volume on this block device gets, or DRIVE_UNKNOWN when it
  // is not one the table lists (fixed disks, loop devices, built-in eMMC).
  uint32_t VolumeType(const std::string& Name) const;
  void ReadLabels();

  fs::path FSys, FDev;
  std::map<std::string, char>& FLetters;
  std::map<std::string, std::string> FLabels;  // block device name -> label
};

bool TScanner::IsBlockDevice(const std::string& Name) const {
  return !Name.empty() && Name != "." && Name != ".." &&
         (Exists(FSys / "class" / "block" / Name) || Exists(FSys / "block" / Name));
}

// The kernel's name of the block device behind a mount ("sdb1"), or empty
// for network and pseudo file systems. The source names it when it is a
// device node (or a link to one, as /dev/disk/by-uuid/... or /dev/mapper/...
// are); otherwise the device number leads there through sysfs.
std::string TScanner::BlockName(const TMountRec& M) const {
  if (StartsWith(M.Source, "/dev/")) {
    const fs::path Node = FDev / M.Source.substr(5);
    std::string Name = fs::path(M.Source).filename().string();
    fs::path Target;
    if (IsLink(Node) && ReadLinkOf(Node, Target)) Name = Target.filename().string();
    if (IsBlockDevice(Name)) return Name;
  }
  if (M.Major != 0) {
    const fs::path Link = FSys / "dev" / "block" / (std::to_string(M.Major) + ":" + std::to_string(M.Minor));
    fs::path Target;
    if (ReadLinkOf(Link, Target)) {
      const std::string Name = Target.filename().string();
      if (IsBlockDevice(Name)) return Name;
    }
  }
  return "";
}

uint32_t TScanner::VolumeType(const std::string& Name) const {
  fs::path Dir;
  std::string Real;
  if (FileSystem().RealPath((FSys / "class" / "block" / Name).string(), Real) == 0) {
    Dir = Real;
  } else {
    Dir = FSys / "block" / Name;  // older sysfs layout without class/block
    if (!IsFolder(Dir)) return DRIVE_UNKNOWN;
  }
  // A partition's folder lies inside its disk's folder.
  const fs::path Disk = Exists(Dir / "partition") ? Dir.parent_path() : Dir;
  const std::string DiskName = Disk.filename().string();
  if (StartsWith(DiskName, "loop") || StartsWith(DiskName, "ram") || StartsWith(DiskName, "zram"))
    return DRIVE_UNKNOWN;
  if (StartsWith(DiskName, "sr")) return DRIVE_CDROM;
  if (StartsWith(DiskName, "mmcblk")) {
    // SD cards are removable whatever the flag says; a soldered eMMC
    // (card type "MMC") holds the system's own partitions and is not.
    if (ReadFirstLine(Disk / "device" / "type") == "MMC") return DRIVE_UNKNOWN;
    return DRIVE_REMOVABLE;
  }
  if (ReadFirstLine(Disk / "removable") == "1") return DRIVE_REMOVABLE;
  return DRIVE_UNKNOWN;
}

void TScanner::ReadLabels() {
  TFileSystem& Fs = FileSystem();
  const fs::path Folder = FDev / "disk" / "by-label";
  const int Fd = Fs.Open(Folder.string(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Fd < 0) return;
  std::vector<std::string> Names;
  Fs.ListFolder(Fd, [&](const char* Name) { Names.emplace_back(Name); });
  Fs.Close(Fd);
  for (const std::string& Name : Names) {
    fs::path Target;
    if (!ReadLinkOf(Folder / Name, Target)) continue;
    FLabels[Target.filename().string()] = UnescapeHex(Name);
  }
}

std::vector<TDriveEntry> TScanner::Scan(const std::string& MountInfo) {
  ReadLabels();

  // A later mount on the same mount point hides the earlier one.
  std::map<std::string, TMountRec> Visible;
  {
    std::istringstream In(MountInfo);
    std::string Line;
    while (std::getline(In, Line)) {
      TMountRec M;
      if (ParseMountLine(Line, M)) Visible[M.MountPoint] = M;
    }
  }

  TDriveEntry System;
  System.Letter = 'C';
  System.MountPoint = "/";
  System.Type = DRIVE_FIXED;
  std::string SystemDevice;
  if (auto It = Visible.find("/"); It != Visible.end()) {
    System.FileSystem = It->second.FsType;
    SystemDevice = BlockName(It->second);
  } else {
    // "/" is not a mount point of its own (a chroot, some containers): the
    // system drive is whatever file system holds the root folder.
    struct stat St {};
    struct statfs Fs {};
    if (FileSystem().StatFs("/", Fs) == 0)
      System.FileSystem = FsTypeFromMagic(static_cast<unsigned long>(Fs.f_type));
    if (FileSystem().Stat("/", St) == 0) {
      TMountRec Root;
      Root.Major = major(St.st_dev);
      Root.Minor = minor(St.st_dev);
      SystemDevice = BlockName(Root);
    }
  }
  if (!SystemDevice.empty()) {
    System.Device = "/dev/" + SystemDevice;
    if (auto L = FLabels.find(SystemDevice); L != FLabels.end()) System.Label = L->second;
  }

  // Removable volumes, one per device. The map is ordered byte-wise by mount
  // point, so the first mount of a device seen is its first mount point;
  // a mount of the volume's root folder is preferred to a bind mount of one
  // of its subfolders.
  std::map<std::string, const TMountRec*> ByDevice;
  std::map<std::string, uint32_t> Types;
  for (const auto& [Point, M] : Visible) {
    if (Point == "/" || Point.empty() || Point[0] != '/') continue;
    const std::string Name = BlockName(M);
    if (Name.empty() || Name == SystemDevice) continue;
    auto Found = ByDevice.find(Name);
    if (Found != ByDevice.end()) {
      if (Found->second->Root != "/" && M.Root == "/") Found->second = &M;
      continue;
    }
    const uint32_t Type = VolumeType(Name);
    if (Type == DRIVE_UNKNOWN) continue;
    ByDevice[Name] = &M;
    Types[Name] = Type;
  }

  std::vector<std::pair<std::string, std::string>> Order;  // mount point, device
  for (const auto& [Name, M] : ByDevice) Order.emplace_back(M->MountPoint, Name);
  std::sort(Order.begin(), Order.end());

  // Letters stay with their volumes while they are mounted: a volume seen
  // before keeps its letter, a new one takes the first letter free, so a
  // card coming or going never moves another. The first scan gives them in
  // mount-point order.
  std::vector<TDriveEntry> Drives{System};
  std::map<std::string, char> Kept;
  std::vector<bool> Taken(26, false);
  std::vector<std::pair<std::string, std::string>> Pending;  // mount point, device
  auto Key = [&](const std::string& Name) { return Name + " " + ByDevice[Name]->Id; };
  for (const auto& [Point, Name] : Order) {
    auto It = FLetters.find(Key(Name));
    if (It != FLetters.end() && !Taken[static_cast<size_t>(It->second - 'A')]) {
      Kept[Key(Name)] = It->second;
      Taken[static_cast<size_t>(It->second - 'A')] = true;
    } else {
      Pending.emplace_back(Point, Name);
    }
  }
  char Free = 'D';
  for (const auto& [Point, Name] : Pending) {
    while (Free <= 'Z' && Taken[static_cast<size_t>(Free - 'A')]) ++Free;
    if (Free > 'Z') break;
    Kept[Key(Name)] = Free;
    Taken[static_cast<size_t>(Free - 'A')] = true;
  }
  for (const auto& [Point, Name] : Order) {
    auto It = Kept.find(Key(Name));
    if (It == Kept.end()) continue;
    const TMountRec& M = *ByDevice[Name];
    TDriveEntry E;
    E.Letter = It->second;
    E.MountPoint = Point;
    E.Type = Types[Name];
    E.FileSystem = M.FsType;
    E.Device = "/dev/" + Name;
    if (auto L = FLabels.find(Name); L != FLabels.end()) E.Label = L->second;
    Drives.push_back(E);
  }
  std::sort(Drives.begin(), Drives.end(),
            [](const TDriveEntry& A, const TDriveEntry& B) { return A.Letter < B.Letter; });
  FLetters = std::move(Kept);
  return Drives;
}

}  // namespace

TLinuxDriveTable::TLinuxDriveTable(std::string ProcRoot, std::string SysRoot, std::string DevRoot)
    : FProcRoot(std::move(ProcRoot)), FSysRoot(std::move(SysRoot)), FDevRoot(std::move(DevRoot)) {}

// The machine's table lives until the program's end, past the file system
// objects: its descriptor is closed directly.
TLinuxDriveTable::~TLinuxDriveTable() {
  if (FMountsFd >= 0) ::close(FMountsFd);
}

/*
 * The kernel's mount table is kept open: a poll of it tells whether
 * anything was mounted or unmounted since it was last read, and only then
 * is it read and the drives worked out again. The poll comes before the
 * read, so a change made while the table is read is told by the next poll
 * and never missed. A table that cannot signal (a plain file, as a test's
 * made-up machine has) is read afresh on every call. A label given to a
 * volume while it stays mounted shows at the next mount change.
 */
std::vector<TDriveEntry> TLinuxDriveTable::Drives() {
  std::lock_guard<std::mutex> Hold(FLettersLock);
  TFileSystem& Fs = FileSystem();
  const std::string Path = (fs::path(FProcRoot) / "self" / "mountinfo").string();
  if (FMountsFd >= 0 && FWatched) {
    // A poll that fails cannot vouch for the cache: read again.
    if (FCached && Fs.MountsChanged(FMountsFd) == 0) return FCache;
  } else {
    if (FMountsFd >= 0) Fs.Close(FMountsFd);
    FMountsFd = Fs.Open(Path, O_RDONLY | O_CLOEXEC);
    struct statfs Where {};
    FWatched = FMountsFd >= 0 && Fs.StatFs(Path, Where) == 0 && Where.f_type == PROC_SUPER_MAGIC;
  }
  std::string Text;
  if (FMountsFd >= 0 && Fs.Seek(FMountsFd, 0, SEEK_SET) == 0) {
    char Buf[16384];
    for (;;) {
      const ssize_t N = Fs.Read(FMountsFd, Buf, sizeof Buf);
      if (N < 0 && errno == EINTR) continue;
      if (N <= 0) break;
      Text.append(Buf, static_cast<size_t>(N));
    }
  }
  FCache = TScanner(FSysRoot, FDevRoot, FLetters).Scan(Text);
  FCached = FWatched;
  if (!FWatched && FMountsFd >= 0) {
    Fs.Close(FMountsFd);
    FMountsFd = -1;
  }
  return FCache;
}

// Linux offers no common call that relabels a mounted volume of any file
// system; the label tools each need the volume unmounted or their own
// format knowledge.
bool TLinuxDriveTable::SetLabel(char, const std::string&) { return false; }

}  // namespace zem::platform

// Card identities, pins and locks, the folders that are never emptied, and
// the room of an emptied card.
//
// A drive letter is only a name: between the moment an operation looks at
// drive F: and the moment it erases it, the card may have been pulled,
// another one mounted, or the letter given to another volume. Everything
// here therefore works on identities (device and inode of the card's root
// folder, the id of the mount showing it) rather than on names, and the
// refusals compare places both by their real paths and by where they lie
// inside their file system, since a bind mount shows one folder under any
// other name.
#include "platform/card_guard.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/drives.h"
#include "platform/file_internal.h"
#include "platform/file_system.h"
#include "platform/winapi.h"

namespace zem::platform {

namespace {

// mountinfo writes space, tab, newline and backslash as "\ooo".
std::string Unescape(const std::string& S) {
  std::string Out;
  for (size_t I = 0; I < S.size(); ++I) {
    if (S[I] == '\\' && I + 3 < S.size() && S[I + 1] >= '0' && S[I + 1] <= '3' &&
        S[I + 2] >= '0' && S[I + 2] <= '7' && S[I + 3] >= '0' && S[I + 3] <= '7') {
      Out += static_cast<char>((S[I + 1] - '0') * 64 + (S[I + 2] - '0') * 8 + (S[I + 3] - '0'));
      I += 3;
    } else {
      Out += S[I];
    }
  }
  return Out;
}

// Whether Inner is Outer or lies below it (absolute, normalised paths).
bool Within(const std::string& Inner, const std::string& Outer) {
  if (Outer.empty() || Inner.empty()) return false;
  if (Outer == "/") return true;
  return Inner == Outer || Inner.rfind(Outer + "/", 0) == 0;
}

// Where a file or folder is: its identity, its real path in this
// namespace, and its path inside its own file system.
struct TPlace {
  bool Found = false;
  dev_t Dev = 0;
  ino_t Ino = 0;
  std::string Real, FsPath;
};

TPlace PlaceOf(const std::string& Path, const std::vector<TMountEntry>& Mounts) {
  TPlace P;
  struct stat St;
  if (Path.empty() || FileSystem().RealPath(Path, P.Real) != 0 ||
      FileSystem().Stat(P.Real, St) != 0)
    return P;
  P.Found = true;
  P.Dev = St.st_dev;
  P.Ino = St.st_ino;
  P.FsPath = P.Real;
  // The mount showing it: the longest mount point above it, the later one
  // of equal mount points (it hides the earlier).
  const TMountEntry* Best = nullptr;
  for (const TMountEntry& M : Mounts)
    if (Within(P.Real, M.MountPoint) && (!Best || M.MountPoint.size() >= Best->MountPoint.size()))
      Best = &M;
  if (Best) {
    std::string Rest = P.Real.substr(Best->MountPoint == "/" ? 0 : Best->MountPoint.size());
    std::string Root = Best->Root == "/" ? "" : Best->Root;
    P.FsPath = Root + Rest;
    if (P.FsPath.empty()) P.FsPath = "/";
  }
  return P;
}

bool Is(const TPlace& A, const TPlace& B) { return A.Dev == B.Dev && A.Ino == B.Ino; }
bool Holds(const TPlace& A, const TPlace& B) {
  return Within(B.Real, A.Real) || (A.Dev == B.Dev && Within(B.FsPath, A.FsPath));
}

// "is", "holds" or "lies inside" for card Card and place X, or "".
std::string Relation(const TPlace& Card, const TPlace& X, bool Inside = true) {
  if (!Card.Found || !X.Found) return "";
  if (Is(Card, X)) return "is";
  if (Holds(Card, X)) return "holds";
  if (Inside && Holds(X, Card)) return "lies inside";
  return "";
}

std::string HomeFromPasswordDatabase() {
  long Size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> Buffer(static_cast<size_t>(Size > 0 ? Size : 16384));
  struct passwd Pw, *Found = nullptr;
  if (::getpwuid_r(::getuid(), &Pw, Buffer.data(), Buffer.size(), &Found) != 0 || !Found ||
      !Found->pw_dir)
    return "";
  return Found->pw_dir;
}

std::mutex GPinLock;
std::map<char, TCardIdentity> GPins;

// Bytes the entries below the open folder Fd take on disk, on the mount
// (Dev, MountId) only.
uint64_t HeldBelow(int Fd, dev_t Dev, uint64_t MountId, bool HaveMountId) {
  TFileSystem& Fs = FileSystem();
  std::vector<std::string> Names;
  if (Fs.ListFolder(Fd, [&](const char* Name) { Names.emplace_back(Name); }) != 0) return 0;
  uint64_t Sum = 0;
  for (const std::string& Name : Names) {
    struct stat St;
    if (Fs.StatAt(Fd, Name, St, AT_SYMLINK_NOFOLLOW) != 0 || St.st_dev != Dev) continue;
    Sum += static_cast<uint64_t>(St.st_blocks) * 512;
    if (!S_ISDIR(St.st_mode)) continue;
    uint64_t Id = 0;
    if (HaveMountId && Fs.MountId(Fd, Name, AT_SYMLINK_NOFOLLOW, Id) == 0 && Id != MountId) continue;
    const int Sub = Fs.OpenAt(Fd, Name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (Sub < 0) continue;
    Sum += HeldBelow(Sub, Dev, MountId, HaveMountId);
    Fs.Close(Sub);
  }
  return Sum;
}

}  // namespace

std::vector<TMountEntry> ReadMountTable() {
  std::vector<TMountEntry> Mounts;
  std::istringstream In(ReadSmallFile("/proc/self/mountinfo"));
  std::string Line;
  while (std::getline(In, Line)) {
    std::istringstream Fields(Line);
    std::string Id, Parent, Dev, Root, Point;
    if (!(Fields >> Id >> Parent >> Dev >> Root >> Point)) continue;
    const size_t Colon = Dev.find(':');
    if (Colon == std::string::npos) continue;
    TMountEntry M;
    try {
      M.Id = std::stoull(Id);
      M.Major = static_cast<unsigned>(std::stoul(Dev.substr(0, Colon)));
      M.Minor = static_cast<unsigned>(std::stoul(Dev.substr(Colon + 1)));
    } catch (const std::exception&) {
      continue;
    }
    M.Root = Unescape(Root);
    M.MountPoint = Unescape(Point);
    Mounts.push_back(std::move(M));
  }
  return Mounts;
}

// ---- Identities ---------------------------------------------------------------

bool TCardIdentity::SameCard(const TCardIdentity& Other) const {
  return MountPoint == Other.MountPoint && Device == Other.Device && VolumeId == Other.VolumeId &&
         Dev == Other.Dev && Ino == Other.Ino && MountId == Other.MountId;
}

std::string TCardIdentity::Key() const {
  char Buf[48];
  std::snprintf(Buf, sizeof Buf, "%llx-%llx", static_cast<unsigned long long>(Dev),
                static_cast<unsigned long long>(Ino));
  return Buf;
}

std::optional<TCardIdentity> ResolveCard(char Letter) {
  const std::optional<TDriveEntry> E = DriveTable().Find(Letter);
  if (!E || !E->HasMedia || E->MountPoint.empty()) return std::nullopt;
  struct stat St;
  if (FileSystem().Stat(E->MountPoint, St) != 0 || !S_ISDIR(St.st_mode)) return std::nullopt;
  TCardIdentity C;
  C.Letter = E->Letter;
  C.MountPoint = E->MountPoint;
  C.Device = E->Device;
  C.VolumeId = E->Identity;
  C.Dev = St.st_dev;
  C.Ino = St.st_ino;
  uint64_t Id = 0;
  if (FileSystem().MountId(AT_FDCWD, E->MountPoint, 0, Id) == 0) C.MountId = Id;
  return C;
}

// ---- Pins ----------------------------------------------------------------------

TCardPin::TCardPin(const TCardIdentity& Identity) : FLetter(Identity.Letter) {
  std::lock_guard<std::mutex> Hold(GPinLock);
  if (auto It = GPins.find(FLetter); It != GPins.end()) FPrevious = It->second;
  GPins[FLetter] = Identity;
}

TCardPin::~TCardPin() {
  std::lock_guard<std::mutex> Hold(GPinLock);
  if (FPrevious)
    GPins[FLetter] = *FPrevious;
  else
    GPins.erase(FLetter);
}

void TCardPin::Update(const TCardIdentity& Identity) {
  std::lock_guard<std::mutex> Hold(GPinLock);
  GPins[FLetter] = Identity;
}

std::optional<TCardIdentity> PinnedCard(char Letter) {
  std::lock_guard<std::mutex> Hold(GPinLock);
  auto It = GPins.find(static_cast<char>(std::toupper(static_cast<unsigned char>(Letter))));
  if (It == GPins.end()) return std::nullopt;
  return It->second;
}

// ---- Locks ----------------------------------------------------------------------

TCardLock::TCardLock(const TCardIdentity& Identity) {
  const std::string Temp = GetTempPathA();
  if (Temp.empty()) return;
  std::string Folder = ToNativePath(Temp);
  if (Folder.size() > 1 && Folder.back() == '/') Folder.pop_back();
  const std::string Path = Folder + "/card-" + Identity.Key() + ".lock";
  TFileSystem& Fs = FileSystem();
  const int Fd = Fs.Open(Path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (Fd < 0) {
    detail::SetLastErrno(errno, Path);
    return;
  }
  if (!detail::LockOrClose(Fd, Path)) return;
  FFd = Fd;
}

TCardLock::~TCardLock() {
  if (FFd >= 0) FileSystem().Close(FFd);  // closing the last descriptor lets the lock go
}

// ---- Refusals ---------------------------------------------------------------------

std::string ErasureRefusal(const std::string& MountPoint, const std::string& ProtectedFile) {
  const std::vector<TMountEntry> Mounts = ReadMountTable();
  const TPlace Card = PlaceOf(MountPoint, Mounts);
  if (!Card.Found) return MountPoint + " cannot be found";
  auto Check = [&](const std::string& Path, const std::string& What, bool Inside = true) {
    const TPlace X = PlaceOf(Path, Mounts);
    // Everything lies inside "/": a home folder "/" is judged as "/" is.
    const std::string R = Relation(Card, X, Inside && X.Real != "/");
    return R.empty() ? std::string() : "it " + R + " " + What + " " + X.Real;
  };
  std::string Why;
  const std::optional<std::string> Home = FileSystem().GetEnv("HOME");
  if (Home && !Home->empty()) Why = Check(*Home, "the home folder");
  if (Why.empty()) Why = Check(HomeFromPasswordDatabase(), "the home folder");
  if (Why.empty()) {
    const std::string Temp = GetTempPathA();
    if (!Temp.empty()) Why = Check(ToNativePath(Temp), "the temporary folder");
  }
  if (Why.empty() && !ProtectedFile.empty()) Why = Check(ProtectedFile, "the image", false);
  if (Why.empty()) Why = Check("/", "the system folder", false);
  if (Why.empty()) {
    std::vector<std::string> System = {"/etc", "/usr", "/var", "/boot", "/bin", "/sbin",
                                       "/opt", "/srv", "/root", "/home"};
    const int Fd = FileSystem().Open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd >= 0) {
      FileSystem().ListFolder(Fd, [&](const char* Name) {
        if (std::string(Name).rfind("lib", 0) == 0) System.push_back(std::string("/") + Name);
      });
      FileSystem().Close(Fd);
    }
    // The shared temporary folder below /var is no system folder.
    const TPlace VarTmp = PlaceOf("/var/tmp", Mounts);
    const bool InVarTmp = VarTmp.Found && Holds(VarTmp, Card);
    for (const std::string& S : System) {
      Why = Check(S, "the system folder", !(S == "/var" && InVarTmp));
      if (!Why.empty()) break;
    }
  }
  return Why;
}

// ---- Room -------------------------------------------------------------------------

bool CardRoom(char Letter, uint64_t& Room, uint64_t& Unit) {
  const std::optional<TDriveEntry> E = DriveTable().Find(Letter);
  if (!E || !E->HasMedia || E->MountPoint.empty()) {
    SetLastError(E ? ERROR_NOT_READY : ERROR_INVALID_DRIVE);
    return false;
  }
  TFileSystem& Fs = FileSystem();
  struct statvfs V;
  if (Fs.StatVfs(E->MountPoint, V) != 0) return detail::SetLastErrno(errno, E->MountPoint);
  Unit = V.f_frsize != 0 ? V.f_frsize : V.f_bsize;
  if (Unit == 0) Unit = 512;
  if (E->Capacity != 0) {
    Room = E->Capacity;
    return true;
  }
  const int Root = Fs.Open(E->MountPoint, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Root < 0) return detail::SetLastErrno(errno, E->MountPoint);
  struct stat St;
  uint64_t Id = 0;
  const bool Stated = Fs.FStat(Root, St) == 0;
  const bool HaveId = Fs.MountId(Root, "", AT_EMPTY_PATH, Id) == 0;
  const uint64_t Held = Stated ? HeldBelow(Root, St.st_dev, Id, HaveId) : 0;
  Fs.Close(Root);
  Room = static_cast<uint64_t>(V.f_bavail) * Unit + Held;
  return true;
}

}  // namespace zem::platform

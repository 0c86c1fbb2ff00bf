// The fault-injecting file system: each call first asks Injected whether an
// armed fault makes it fail, then goes to the wrapped file system.
#include "platform/fault_file_system.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <linux/magic.h>
#include <unistd.h>

namespace zem::platform {

int TFaultFileSystem::Add(const TFault& Fault) {
  std::lock_guard<std::mutex> Lock(FLock);
  FFaults.push_back(TArmed{Fault});
  return static_cast<int>(FFaults.size()) - 1;
}

int TFaultFileSystem::Fired(int Id) const {
  std::lock_guard<std::mutex> Lock(FLock);
  return FFaults.at(static_cast<size_t>(Id)).Fired;
}

int TFaultFileSystem::Seen(int Id) const {
  std::lock_guard<std::mutex> Lock(FLock);
  return FFaults.at(static_cast<size_t>(Id)).Calls;
}

void TFaultFileSystem::TreatAsMountTable(const std::string& Glob) {
  std::lock_guard<std::mutex> Lock(FLock);
  FMountTable = Glob;
}

void TFaultFileSystem::ReportMountChange() {
  std::lock_guard<std::mutex> Lock(FLock);
  ++FMountEvent;
}

std::string TFaultFileSystem::PathOf(int Fd) const {
  std::lock_guard<std::mutex> Lock(FLock);
  auto It = FPaths.find(Fd);
  return It != FPaths.end() ? It->second : std::string();
}

std::string TFaultFileSystem::PathAt(int Dir, const std::string& Name) const {
  if (Dir == AT_FDCWD || (!Name.empty() && Name[0] == '/')) return Name;
  std::string Folder = PathOf(Dir);
  // A folder opened as "dir/" or as "dir/." joins to "dir/name", as one
  // opened as "dir"; "." names the folder itself.
  for (;;) {
    if (Folder.size() > 1 && Folder.back() == '/')
      Folder.pop_back();
    else if (Folder.size() > 2 && Folder.compare(Folder.size() - 2, 2, "/.") == 0)
      Folder.resize(Folder.size() - 2);
    else
      break;
  }
  if (Name.empty() || Name == ".") return Folder;
  return Folder == "/" ? "/" + Name : Folder + "/" + Name;
}

int TFaultFileSystem::Opened(int Fd, const std::string& Path) {
  if (Fd >= 0) {
    std::lock_guard<std::mutex> Lock(FLock);
    FPaths[Fd] = Path;
    FDead.erase(Fd);
    FMountSeen[Fd] = FMountEvent;
  }
  return Fd;
}

bool TFaultFileSystem::Injected(TFsOp Op, int Fd, std::string Path, const std::string& Other,
                                size_t* Count) {
  std::lock_guard<std::mutex> Lock(FLock);
  if (Fd >= 0) {
    if (auto Dead = FDead.find(Fd); Dead != FDead.end()) {
      errno = Dead->second;
      return true;
    }
    if (Path.empty()) {
      auto It = FPaths.find(Fd);
      if (It != FPaths.end()) Path = It->second;
    }
  }
  auto Matches = [](const std::string& Pattern, const std::string& P) {
    return !P.empty() && ::fnmatch(Pattern.c_str(), P.c_str(), 0) == 0;
  };
  for (TArmed& A : FFaults) {
    const TFault& F = A.Fault;
    if (F.Op != Op || (!Matches(F.Path, Path) && !Matches(F.Path, Other))) continue;
    if (F.Offset >= 0) {
      if (Count == nullptr) continue;
      const off_t Pos = FInner.Seek(Fd, 0, SEEK_CUR);
      if (Pos < 0) continue;
      if (Pos < F.Offset) {
        // The bytes before the offset get through; the next call fails.
        const uint64_t Room = static_cast<uint64_t>(F.Offset - Pos);
        if (*Count > Room) *Count = static_cast<size_t>(Room);
        continue;
      }
    } else if (++A.Calls != F.Call && F.Call != 0) {
      continue;
    }
    ++A.Fired;
    if (F.Vanish) {
      FInner.Unlink(Path);
      for (const auto& [Open, OpenPath] : FPaths)
        if (OpenPath == Path) FDead[Open] = F.Error;
    }
    errno = F.Error;
    return true;
  }
  return false;
}

int TFaultFileSystem::Open(const std::string& Path, int Flags, mode_t Mode) {
  if (Injected(TFsOp::Open, -1, Path)) return -1;
  return Opened(FInner.Open(Path, Flags, Mode), Path);
}

int TFaultFileSystem::OpenAt(int Dir, const std::string& Name, int Flags, mode_t Mode) {
  const std::string Path = PathAt(Dir, Name);
  if (Injected(TFsOp::Open, Dir, Path)) return -1;
  return Opened(FInner.OpenAt(Dir, Name, Flags, Mode), Path);
}

int TFaultFileSystem::Close(int Fd) {
  // Linux releases the descriptor even when close fails; so does this.
  const bool Failed = Injected(TFsOp::Close, Fd, "");
  const int Error = errno;
  {
    std::lock_guard<std::mutex> Lock(FLock);
    FPaths.erase(Fd);
    FDead.erase(Fd);
    FMountSeen.erase(Fd);
  }
  const int Rc = FInner.Close(Fd);
  if (!Failed) return Rc;
  errno = Error;
  return -1;
}

ssize_t TFaultFileSystem::Read(int Fd, void* Buffer, size_t Count) {
  if (Injected(TFsOp::Read, Fd, "", "", &Count)) return -1;
  return FInner.Read(Fd, Buffer, Count);
}

ssize_t TFaultFileSystem::Write(int Fd, const void* Buffer, size_t Count) {
  if (Injected(TFsOp::Write, Fd, "", "", &Count)) return -1;
  return FInner.Write(Fd, Buffer, Count);
}

off_t TFaultFileSystem::Seek(int Fd, off_t Offset, int Whence) {
  if (Injected(TFsOp::Seek, Fd, "")) return -1;
  return FInner.Seek(Fd, Offset, Whence);
}

int TFaultFileSystem::Truncate(int Fd, off_t Size) {
  if (Injected(TFsOp::Truncate, Fd, "")) return -1;
  return FInner.Truncate(Fd, Size);
}

int TFaultFileSystem::Sync(int Fd) {
  if (Injected(TFsOp::Sync, Fd, "")) return -1;
  return FInner.Sync(Fd);
}

int TFaultFileSystem::SyncFileSystem(int Fd) {
  if (Injected(TFsOp::Sync, Fd, "")) return -1;
  return FInner.SyncFileSystem(Fd);
}

int TFaultFileSystem::DropCache(int Fd) {
  if (Injected(TFsOp::Sync, Fd, "")) return -1;
  return FInner.DropCache(Fd);
}

// A hint, whose failure changes nothing but the speed: never failed.
int TFaultFileSystem::ReadAhead(int Fd) { return FInner.ReadAhead(Fd); }

int TFaultFileSystem::Stat(const std::string& Path, struct stat& St) {
  if (Injected(TFsOp::Stat, -1, Path)) return -1;
  return FInner.Stat(Path, St);
}

int TFaultFileSystem::LStat(const std::string& Path, struct stat& St) {
  if (Injected(TFsOp::Stat, -1, Path)) return -1;
  return FInner.LStat(Path, St);
}

int TFaultFileSystem::FStat(int Fd, struct stat& St) {
  if (Injected(TFsOp::Stat, Fd, "")) return -1;
  return FInner.FStat(Fd, St);
}

int TFaultFileSystem::StatAt(int Dir, const std::string& Name, struct stat& St, int Flags) {
  if (Injected(TFsOp::Stat, Dir, PathAt(Dir, Name))) return -1;
  return FInner.StatAt(Dir, Name, St, Flags);
}

int TFaultFileSystem::StatFs(const std::string& Path, struct statfs& Fs) {
  if (Injected(TFsOp::StatFs, -1, Path)) return -1;
  const int Rc = FInner.StatFs(Path, Fs);
  std::lock_guard<std::mutex> Lock(FLock);
  if (Rc == 0 && !FMountTable.empty() && ::fnmatch(FMountTable.c_str(), Path.c_str(), 0) == 0)
    Fs.f_type = PROC_SUPER_MAGIC;
  return Rc;
}

int TFaultFileSystem::FStatFs(int Fd, struct statfs& Fs) {
  if (Injected(TFsOp::StatFs, Fd, "")) return -1;
  return FInner.FStatFs(Fd, Fs);
}

int TFaultFileSystem::StatVfs(const std::string& Path, struct statvfs& Vfs) {
  if (Injected(TFsOp::StatFs, -1, Path)) return -1;
  return FInner.StatVfs(Path, Vfs);
}

int TFaultFileSystem::MountId(int Dir, const std::string& Name, int Flags, uint64_t& Id) {
  if (Injected(TFsOp::Stat, Dir, Name.empty() ? std::string() : PathAt(Dir, Name))) return -1;
  return FInner.MountId(Dir, Name, Flags, Id);
}

int TFaultFileSystem::MountsChanged(int Fd) {
  {
    std::lock_guard<std::mutex> Lock(FLock);
    auto It = FPaths.find(Fd);
    if (!FMountTable.empty() && It != FPaths.end() &&
        ::fnmatch(FMountTable.c_str(), It->second.c_str(), 0) == 0) {
      int& Told = FMountSeen[Fd];
      if (Told == FMountEvent) return 0;
      Told = FMountEvent;
      return 1;
    }
  }
  return FInner.MountsChanged(Fd);
}

int TFaultFileSystem::ListFolder(int Fd, const std::function<void(const char* Name)>& OnName) {
  if (Injected(TFsOp::List, Fd, "")) return -1;
  return FInner.ListFolder(Fd, OnName);
}

int TFaultFileSystem::MakeFolder(const std::string& Path, mode_t Mode) {
  if (Injected(TFsOp::MakeFolder, -1, Path)) return -1;
  return FInner.MakeFolder(Path, Mode);
}

int TFaultFileSystem::MakeFolderAt(int Dir, const std::string& Name, mode_t Mode) {
  if (Injected(TFsOp::MakeFolder, Dir, PathAt(Dir, Name))) return -1;
  return FInner.MakeFolderAt(Dir, Name, Mode);
}

int TFaultFileSystem::MakeTempFolder(std::string& Template) {
  if (Injected(TFsOp::MakeFolder, -1, Template)) return -1;
  return FInner.MakeTempFolder(Template);
}

int TFaultFileSystem::RemoveFolder(const std::string& Path) {
  if (Injected(TFsOp::RemoveFolder, -1, Path)) return -1;
  return FInner.RemoveFolder(Path);
}

int TFaultFileSystem::Rename(const std::string& From, const std::string& To, unsigned Flags) {
  if (Injected(TFsOp::Rename, -1, From, To)) return -1;
  return FInner.Rename(From, To, Flags);
}

int TFaultFileSystem::RenameAt(int FromDir, const std::string& From, int ToDir, const std::string& To,
                               unsigned Flags) {
  if (Injected(TFsOp::Rename, -1, PathAt(FromDir, From), PathAt(ToDir, To))) return -1;
  return FInner.RenameAt(FromDir, From, ToDir, To, Flags);
}

int TFaultFileSystem::Link(const std::string& From, const std::string& To) {
  if (Injected(TFsOp::Link, -1, From, To)) return -1;
  return FInner.Link(From, To);
}

int TFaultFileSystem::SymLinkAt(const std::string& Target, int Dir, const std::string& Name) {
  if (Injected(TFsOp::Link, Dir, PathAt(Dir, Name))) return -1;
  return FInner.SymLinkAt(Target, Dir, Name);
}

int TFaultFileSystem::Unlink(const std::string& Path) {
  if (Injected(TFsOp::Unlink, -1, Path)) return -1;
  return FInner.Unlink(Path);
}

int TFaultFileSystem::UnlinkAt(int Dir, const std::string& Name, int Flags) {
  const TFsOp Op = (Flags & AT_REMOVEDIR) != 0 ? TFsOp::RemoveFolder : TFsOp::Unlink;
  if (Injected(Op, Dir, PathAt(Dir, Name))) return -1;
  return FInner.UnlinkAt(Dir, Name, Flags);
}

int TFaultFileSystem::ReadLink(const std::string& Path, std::string& Target) {
  if (Injected(TFsOp::ReadLink, -1, Path)) return -1;
  return FInner.ReadLink(Path, Target);
}

int TFaultFileSystem::RealPath(const std::string& Path, std::string& Resolved) {
  if (Injected(TFsOp::RealPath, -1, Path)) return -1;
  return FInner.RealPath(Path, Resolved);
}

int TFaultFileSystem::Chmod(const std::string& Path, mode_t Mode) {
  if (Injected(TFsOp::Chmod, -1, Path)) return -1;
  return FInner.Chmod(Path, Mode);
}

int TFaultFileSystem::Chown(const std::string& Path, uid_t Owner, gid_t Group) {
  if (Injected(TFsOp::Chmod, -1, Path)) return -1;
  return FInner.Chown(Path, Owner, Group);
}

int TFaultFileSystem::FChmod(int Fd, mode_t Mode) {
  if (Injected(TFsOp::Chmod, Fd, "")) return -1;
  return FInner.FChmod(Fd, Mode);
}

int TFaultFileSystem::ChmodAt(int Dir, const std::string& Name, mode_t Mode) {
  if (Injected(TFsOp::Chmod, Dir, PathAt(Dir, Name))) return -1;
  return FInner.ChmodAt(Dir, Name, Mode);
}

int TFaultFileSystem::SetTimes(const std::string& Path, const struct timespec Times[2]) {
  if (Injected(TFsOp::SetTimes, -1, Path)) return -1;
  return FInner.SetTimes(Path, Times);
}

int TFaultFileSystem::FSetTimes(int Fd, const struct timespec Times[2]) {
  if (Injected(TFsOp::SetTimes, Fd, "")) return -1;
  return FInner.FSetTimes(Fd, Times);
}

int TFaultFileSystem::SetTimesAt(int Dir, const std::string& Name, const struct timespec Times[2],
                                 int Flags) {
  if (Injected(TFsOp::SetTimes, Dir, PathAt(Dir, Name))) return -1;
  return FInner.SetTimesAt(Dir, Name, Times, Flags);
}

int TFaultFileSystem::GetFatAttributes(int Fd, uint32_t& Attributes) {
  if (Injected(TFsOp::Attributes, Fd, "")) return -1;
  return FInner.GetFatAttributes(Fd, Attributes);
}

int TFaultFileSystem::SetFatAttributes(int Fd, uint32_t Attributes) {
  if (Injected(TFsOp::Attributes, Fd, "")) return -1;
  return FInner.SetFatAttributes(Fd, Attributes);
}

}  // namespace zem::platform

// The Linux file system behind the seam, and the one in use.
#include "platform/file_system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <linux/msdos_fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

namespace zem::platform {

int TLinuxFileSystem::Open(const std::string& Path, int Flags, mode_t Mode) {
  return ::open(Path.c_str(), Flags, Mode);
}

int TLinuxFileSystem::OpenAt(int Dir, const std::string& Name, int Flags, mode_t Mode) {
  return ::openat(Dir, Name.c_str(), Flags, Mode);
}

int TLinuxFileSystem::Close(int Fd) { return ::close(Fd); }

ssize_t TLinuxFileSystem::Read(int Fd, void* Buffer, size_t Count) { return ::read(Fd, Buffer, Count); }

ssize_t TLinuxFileSystem::Write(int Fd, const void* Buffer, size_t Count) {
  return ::write(Fd, Buffer, Count);
}

off_t TLinuxFileSystem::Seek(int Fd, off_t Offset, int Whence) { return ::lseek(Fd, Offset, Whence); }

int TLinuxFileSystem::Truncate(int Fd, off_t Size) { return ::ftruncate(Fd, Size); }

int TLinuxFileSystem::Sync(int Fd) { return ::fsync(Fd); }

int TFileSystem::SyncFileSystem(int) {
  errno = ENOSYS;
  return -1;
}

int TLinuxFileSystem::SyncFileSystem(int Fd) { return ::syncfs(Fd); }

int TLinuxFileSystem::DropCache(int Fd) {
  const int Rc = ::posix_fadvise(Fd, 0, 0, POSIX_FADV_DONTNEED);
  if (Rc == 0) return 0;
  errno = Rc;
  return -1;
}

int TLinuxFileSystem::ReadAhead(int Fd) {
  const int Rc = ::posix_fadvise(Fd, 0, 0, POSIX_FADV_WILLNEED);
  if (Rc == 0) return 0;
  errno = Rc;
  return -1;
}

int TLinuxFileSystem::Stat(const std::string& Path, struct stat& St) { return ::stat(Path.c_str(), &St); }

int TLinuxFileSystem::LStat(const std::string& Path, struct stat& St) { return ::lstat(Path.c_str(), &St); }

int TLinuxFileSystem::FStat(int Fd, struct stat& St) { return ::fstat(Fd, &St); }

int TLinuxFileSystem::StatAt(int Dir, const std::string& Name, struct stat& St, int Flags) {
  return ::fstatat(Dir, Name.c_str(), &St, Flags);
}

int TLinuxFileSystem::StatFs(const std::string& Path, struct statfs& Fs) {
  return ::statfs(Path.c_str(), &Fs);
}

int TLinuxFileSystem::FStatFs(int Fd, struct statfs& Fs) { return ::fstatfs(Fd, &Fs); }

int TLinuxFileSystem::StatVfs(const std::string& Path, struct statvfs& Vfs) {
  return ::statvfs(Path.c_str(), &Vfs);
}

int TFileSystem::MountsChanged(int) {
  errno = ENOSYS;
  return -1;
}

int TLinuxFileSystem::MountsChanged(int Fd) {
  struct pollfd P {};
  P.fd = Fd;
  P.events = POLLPRI;
  if (::poll(&P, 1, 0) < 0) return -1;
  if ((P.revents & POLLNVAL) != 0) {
    errno = EBADF;
    return -1;
  }
  return (P.revents & (POLLPRI | POLLERR)) != 0 ? 1 : 0;
}

int TFileSystem::MountId(int, const std::string&, int, uint64_t&) {
  errno = ENOSYS;
  return -1;
}

int TLinuxFileSystem::MountId(int Dir, const std::string& Name, int Flags, uint64_t& Id) {
#ifdef STATX_MNT_ID
  struct statx Sx {};
  if (::statx(Dir, Name.c_str(), Flags, STATX_MNT_ID, &Sx) != 0) return -1;
  if ((Sx.stx_mask & STATX_MNT_ID) != 0) {
    Id = Sx.stx_mnt_id;
    return 0;
  }
#else
  (void)Dir, (void)Name, (void)Flags, (void)Id;
#endif
  errno = ENOSYS;
  return -1;
}

// The folder is read with getdents64 straight from the descriptor, so no
// second descriptor (as fdopendir would need) is made per folder.
int TLinuxFileSystem::ListFolder(int Fd, const std::function<void(const char* Name)>& OnName) {
  if (::lseek(Fd, 0, SEEK_SET) < 0) return -1;
  alignas(struct dirent64) char Buffer[32768];
  for (;;) {
    const ssize_t N = ::getdents64(Fd, Buffer, sizeof Buffer);
    if (N < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (N == 0) return 0;
    for (ssize_t Off = 0; Off < N;) {
      const auto* E = reinterpret_cast<const struct dirent64*>(Buffer + Off);
      Off += E->d_reclen;
      const char* Name = E->d_name;
      if (std::strcmp(Name, ".") != 0 && std::strcmp(Name, "..") != 0) OnName(Name);
    }
  }
}

int TLinuxFileSystem::MakeFolder(const std::string& Path, mode_t Mode) { return ::mkdir(Path.c_str(), Mode); }

int TLinuxFileSystem::MakeFolderAt(int Dir, const std::string& Name, mode_t Mode) {
  return ::mkdirat(Dir, Name.c_str(), Mode);
}

int TLinuxFileSystem::MakeTempFolder(std::string& Template) {
  return ::mkdtemp(Template.data()) != nullptr ? 0 : -1;
}

int TLinuxFileSystem::RemoveFolder(const std::string& Path) { return ::rmdir(Path.c_str()); }

int TLinuxFileSystem::ChangeFolder(const std::string& Path) { return ::chdir(Path.c_str()); }

int TLinuxFileSystem::CurrentFolder(std::string& Path) {
  std::vector<char> Buf(4096);
  while (::getcwd(Buf.data(), Buf.size()) == nullptr) {
    if (errno != ERANGE) return -1;
    Buf.resize(Buf.size() * 2);
  }
  Path = Buf.data();
  return 0;
}

int TLinuxFileSystem::Rename(const std::string& From, const std::string& To, unsigned Flags) {
  if (Flags == 0) return ::rename(From.c_str(), To.c_str());
  return ::renameat2(AT_FDCWD, From.c_str(), AT_FDCWD, To.c_str(), Flags);
}

int TLinuxFileSystem::RenameAt(int FromDir, const std::string& From, int ToDir, const std::string& To,
                               unsigned Flags) {
  return ::renameat2(FromDir, From.c_str(), ToDir, To.c_str(), Flags);
}

int TLinuxFileSystem::Link(const std::string& From, const std::string& To) {
  return ::link(From.c_str(), To.c_str());
}

int TLinuxFileSystem::SymLinkAt(const std::string& Target, int Dir, const std::string& Name) {
  return ::symlinkat(Target.c_str(), Dir, Name.c_str());
}

int TLinuxFileSystem::Unlink(const std::string& Path) { return ::unlink(Path.c_str()); }

int TLinuxFileSystem::UnlinkAt(int Dir, const std::string& Name, int Flags) {
  return ::unlinkat(Dir, Name.c_str(), Flags);
}

int TLinuxFileSystem::ReadLink(const std::string& Path, std::string& Target) {
  std::vector<char> Buf(256);
  for (;;) {
    const ssize_t N = ::readlink(Path.c_str(), Buf.data(), Buf.size());
    if (N < 0) return -1;
    if (static_cast<size_t>(N) < Buf.size()) {
      Target.assign(Buf.data(), static_cast<size_t>(N));
      return 0;
    }
    Buf.resize(Buf.size() * 2);  // may have been cut short
  }
}

int TLinuxFileSystem::RealPath(const std::string& Path, std::string& Resolved) {
  char* R = ::realpath(Path.c_str(), nullptr);
  if (R == nullptr) return -1;
  Resolved = R;
  ::free(R);
  return 0;
}

int TLinuxFileSystem::Chmod(const std::string& Path, mode_t Mode) { return ::chmod(Path.c_str(), Mode); }

int TLinuxFileSystem::FChmod(int Fd, mode_t Mode) { return ::fchmod(Fd, Mode); }
int TLinuxFileSystem::Chown(const std::string& Path, uid_t Owner, gid_t Group) {
  return ::chown(Path.c_str(), Owner, Group);
}

int TLinuxFileSystem::ChmodAt(int Dir, const std::string& Name, mode_t Mode) {
  return ::fchmodat(Dir, Name.c_str(), Mode, 0);
}

int TLinuxFileSystem::SetTimes(const std::string& Path, const struct timespec Times[2]) {
  return ::utimensat(AT_FDCWD, Path.c_str(), Times, 0);
}

int TLinuxFileSystem::FSetTimes(int Fd, const struct timespec Times[2]) { return ::futimens(Fd, Times); }

int TLinuxFileSystem::SetTimesAt(int Dir, const std::string& Name, const struct timespec Times[2],
                                 int Flags) {
  return ::utimensat(Dir, Name.c_str(), Times, Flags);
}

int TLinuxFileSystem::GetFatAttributes(int Fd, uint32_t& Attributes) {
  return ::ioctl(Fd, FAT_IOCTL_GET_ATTRIBUTES, &Attributes);
}

int TLinuxFileSystem::SetFatAttributes(int Fd, uint32_t Attributes) {
  return ::ioctl(Fd, FAT_IOCTL_SET_ATTRIBUTES, &Attributes);
}

int TLinuxFileSystem::ClockTime(clockid_t Clock, struct timespec& Time) {
  return ::clock_gettime(Clock, &Time);
}

std::optional<std::string> TLinuxFileSystem::GetEnv(const std::string& Name) {
  const char* Value = ::getenv(Name.c_str());
  if (Value == nullptr) return std::nullopt;
  return std::string(Value);
}

// ---- The one in use -----------------------------------------------------------

namespace {

TLinuxFileSystem& LinuxFileSystem() {
  static TLinuxFileSystem Fs;
  return Fs;
}

std::atomic<TFileSystem*>& Installed() {
  static std::atomic<TFileSystem*> Fs{nullptr};
  return Fs;
}

}  // namespace

TFileSystem& FileSystem() {
  TFileSystem* Fs = Installed().load(std::memory_order_acquire);
  return Fs != nullptr ? *Fs : LinuxFileSystem();
}

TFileSystem* InstallFileSystem(TFileSystem* Fs) {
  return Installed().exchange(Fs == &LinuxFileSystem() ? nullptr : Fs, std::memory_order_acq_rel);
}

}  // namespace zem::platform

namespace zem::platform {

int PrefetchFromDevice(const std::string& Path, bool VolumeSynced) {
  TFileSystem& Fs = FileSystem();
  const int Fd = Fs.Open(Path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (Fd < 0) return errno;
  int Error = 0;
  if ((!VolumeSynced && Fs.Sync(Fd) != 0) || Fs.DropCache(Fd) != 0 || Fs.ReadAhead(Fd) != 0) Error = errno;
  Fs.Close(Fd);
  return Error;
}

int ReadFromDevice(const std::string& Path,
                   const std::function<void(const void* Data, size_t Size)>& OnData,
                   bool* Synced, bool VolumeSynced, bool Prefetched) {
  TFileSystem& Fs = FileSystem();
  if (Synced != nullptr) *Synced = false;
  const int Fd = Fs.Open(Path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (Fd < 0) return errno;
  int Error = 0;
  // Dirty pages cannot be dropped: written out first, then let go.
  if (!VolumeSynced && !Prefetched && Fs.Sync(Fd) != 0)
    Error = errno;
  else if (Synced != nullptr)
    *Synced = true;
  if (Error == 0 && !Prefetched && Fs.DropCache(Fd) != 0) Error = errno;
  // One buffer per thread for all the files it reads back: a fresh,
  // zeroed megabyte for each of many small files cost more than reading them.
  constexpr size_t kBufferSize = 1u << 20;
  thread_local std::unique_ptr<char[]> Buffer;
  if (Error == 0 && !Buffer) Buffer = std::make_unique_for_overwrite<char[]>(kBufferSize);
  while (Error == 0) {
    const ssize_t Got = Fs.Read(Fd, Buffer.get(), kBufferSize);
    if (Got < 0) {
      if (errno == EINTR) continue;
      Error = errno;
    } else if (Got == 0) {
      break;
    } else {
      OnData(Buffer.get(), static_cast<size_t>(Got));
    }
  }
  Fs.Close(Fd);
  return Error;
}

int SyncVolume(const std::string& Path) {
  TFileSystem& Fs = FileSystem();
  const int Fd = Fs.Open(Path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Fd < 0) return errno;
  const int Error = Fs.SyncFileSystem(Fd) != 0 ? errno : 0;
  Fs.Close(Fd);
  return Error;
}

std::string ReadSmallFile(const std::string& Path) {
  TFileSystem& Fs = FileSystem();
  std::string Text;
  const int Fd = Fs.Open(Path, O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return Text;
  char Buf[16384];
  for (;;) {
    const ssize_t N = Fs.Read(Fd, Buf, sizeof Buf);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) break;
    Text.append(Buf, static_cast<size_t>(N));
  }
  Fs.Close(Fd);
  return Text;
}

}  // namespace zem::platform

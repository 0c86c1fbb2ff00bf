// The user's private temporary folder and unique temporary file names.
//
// The shared temporary folders are writable by everyone, so a fixed folder
// name in them can be planted in advance by another user (a link to the
// victim's files, or a folder the planter can read). The folder is therefore
// created 0700 and, whether new or old, accepted only after a check made on
// an open handle of it: a real folder, owned by this user, with no group or
// other permission. When the fixed name fails the check, a fresh folder
// with an unpredictable name takes its place for the rest of the process.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/file_internal.h"
#include "platform/file_system.h"
#include "platform/winapi.h"

namespace zem::platform {

namespace {

std::mutex GFallbackLock;
std::string GFallback;  // the unpredictable folder in use, once needed

std::string TempBase() {
  std::string Base = FileSystem().GetEnv("TMPDIR").value_or("");
  if (Base.empty()) Base = "/var/tmp";
  while (Base.size() > 1 && Base.back() == '/') Base.pop_back();
  return Base;
}

// True when Folder is a directory (not a link) owned by this user without
// group or other permissions. Sets the last error when it is not.
bool IsPrivateFolder(const std::string& Folder) {
  TFileSystem& Fs = FileSystem();
  const int Fd = Fs.Open(Folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (Fd < 0) {
    // A link in its place fails with ELOOP (or ENOTDIR): someone else's doing.
    if (errno == ELOOP || errno == ENOTDIR) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    return detail::SetLastErrno(errno, Folder);
  }
  struct stat St;
  const bool Stated = Fs.FStat(Fd, St) == 0;
  const int Saved = errno;
  Fs.Close(Fd);
  if (!Stated) return detail::SetLastErrno(Saved, Folder);
  if (!S_ISDIR(St.st_mode) || St.st_uid != ::geteuid() || (St.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

// The native private folder, or empty with the last error set.
std::string PrivateTempFolder() {
  const std::string Base = TempBase();
  const std::string Fixed = Base + "/zemtools-" + std::to_string(::geteuid());
  if (FileSystem().MakeFolder(Fixed, 0700) != 0 && errno != EEXIST) {
    detail::SetLastErrno(errno, Fixed);
    return "";
  }
  if (IsPrivateFolder(Fixed)) return Fixed;
  if (GetLastError() != ERROR_ACCESS_DENIED) return "";

  // The fixed name is taken by something this user must not write into.
  std::lock_guard<std::mutex> Lock(GFallbackLock);
  if (!GFallback.empty() && GFallback.rfind(Base + "/", 0) == 0 && IsPrivateFolder(GFallback))
    return GFallback;
  std::string Pattern = Fixed + "-XXXXXX";
  if (FileSystem().MakeTempFolder(Pattern) != 0) {
    detail::SetLastErrno(errno, Pattern);
    return "";
  }
  if (!IsPrivateFolder(Pattern)) return "";
  GFallback = Pattern;
  return GFallback;
}

}  // namespace

std::string GetTempPathA() {
  const std::string Native = PrivateTempFolder();
  if (Native.empty()) return "";
  std::string Win = FromNativePath(Native);
  if (Win.empty() || Win.back() != '\\') Win += '\\';
  return Win;
}

uint32_t GetTempPathA(uint32_t BufferLength, char* Buffer) {
  const std::string Path = GetTempPathA();
  if (Path.empty()) return 0;
  const uint32_t Needed = static_cast<uint32_t>(Path.size() + 1);
  if (Buffer == nullptr || BufferLength < Needed) return Needed;
  std::memcpy(Buffer, Path.c_str(), Needed);
  return Needed - 1;
}

uint32_t GetTempFileNameA(const std::string& PathName, const std::string& PrefixString,
                          uint32_t Unique, std::string& TempFileName) {
  std::string Folder;
  if (!detail::NativePathOf(PathName.c_str(), Folder)) return 0;
  const std::string Prefix = PrefixString.substr(0, 3);
  std::string WinFolder = PathName;
  if (WinFolder.empty() || (WinFolder.back() != '\\' && WinFolder.back() != '/')) WinFolder += '\\';
  if (Folder.empty() || Folder.back() != '/') Folder += '/';

  // Unique 0: numbers from a start that differs between processes and
  // calls, each tried with an exclusive create until one is new.
  const bool Pick = (Unique & 0xFFFF) == 0;
  uint32_t Number = Unique & 0xFFFF;
  uint32_t Tries = 1;
  if (Pick) {
    static std::atomic<uint32_t> Counter{0};
    struct timespec Ts {};
    FileSystem().ClockTime(CLOCK_MONOTONIC, Ts);
    const int64_t Now = static_cast<int64_t>(Ts.tv_sec) * 1000000000 + Ts.tv_nsec;
    Number = static_cast<uint32_t>(Now ^ (static_cast<uint32_t>(::getpid()) << 8) ^ (++Counter * 0x9E37u)) & 0xFFFF;
    Tries = 0xFFFF;
  }
  for (uint32_t I = 0; I < Tries; ++I, Number = (Number + 1) & 0xFFFF) {
    if (Number == 0) Number = 1;
    char Name[16];
    std::snprintf(Name, sizeof Name, "%04X.TMP", Number);
    const std::string Native = Folder + Prefix + Name;
    const int Fd = FileSystem().Open(Native, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (Fd >= 0) {
      FileSystem().Close(Fd);
      TempFileName = WinFolder + Prefix + Name;
      return Number;
    }
    if (errno != EEXIST) {
      detail::SetLastErrno(errno, Native);
      return 0;
    }
  }
  SetLastError(ERROR_FILE_EXISTS);
  return 0;
}

std::string CreateUniqueFileA(const std::string& PathName, const std::string& Prefix,
                              const std::string& Extension) {
  std::string Folder;
  if (!detail::NativePathOf(PathName.c_str(), Folder)) return "";
  std::string WinFolder = PathName;
  if (WinFolder.empty() || (WinFolder.back() != '\\' && WinFolder.back() != '/')) WinFolder += '\\';
  if (Folder.empty() || Folder.back() != '/') Folder += '/';
  static std::atomic<uint32_t> Counter{0};
  for (int Try = 0; Try < 100; ++Try) {
    struct timespec Ts {};
    FileSystem().ClockTime(CLOCK_MONOTONIC, Ts);
    // Process, call and time in one number: unique within the process by
    // the counter, between processes by the process id.
    const uint64_t Mix = (static_cast<uint64_t>(::getpid()) << 40) ^
                         (static_cast<uint64_t>(++Counter) << 24) ^
                         static_cast<uint64_t>(Ts.tv_nsec) ^ static_cast<uint64_t>(Ts.tv_sec) << 30;
    char Unique[24];
    std::snprintf(Unique, sizeof Unique, "-%016llX", static_cast<unsigned long long>(Mix));
    const std::string Name = Prefix + Unique + (Extension.empty() ? "" : "." + Extension);
    const int Fd = FileSystem().Open(Folder + Name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (Fd >= 0) {
      FileSystem().Close(Fd);
      return WinFolder + Name;
    }
    if (errno != EEXIST) {
      detail::SetLastErrno(errno, Folder + Name);
      return "";
    }
  }
  SetLastError(ERROR_FILE_EXISTS);
  return "";
}

}  // namespace zem::platform

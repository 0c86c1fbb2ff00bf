// Handle streams over file descriptors and files opened by Windows-style name.
//
// Sharing modes: the share bits of the open mode are accepted and ignored.
// Linux has no mandatory sharing, and advisory locks would only make the
// component's own re-opens of one file fail where nothing else honours them.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/drives.h"
#include "platform/file_internal.h"
#include "platform/file_system.h"
#include "platform/stream.h"
#include "platform/winapi.h"

namespace zem {

namespace {
// Largest single transfer handed to read()/write(); bigger requests loop.
constexpr int64_t kMaxChunk = int64_t{1} << 30;
}  // namespace

int64_t THandleStream::Read(void* Buffer, int64_t Count) {
  char* P = static_cast<char*>(Buffer);
  int64_t Done = 0;
  while (Done < Count) {
    ssize_t N = platform::FileSystem().Read(FHandle, P + Done, static_cast<size_t>(std::min(Count - Done, kMaxChunk)));
    if (N < 0) {
      if (errno == EINTR) continue;
      platform::detail::SetLastErrno(errno);
      if (FReadError == 0) FReadError = platform::GetLastError();
      break;
    }
    if (N == 0) break;  // end of file
    Done += N;
  }
  if (FPosition >= 0) FPosition += Done;
  return Done;
}

int64_t THandleStream::Write(const void* Buffer, int64_t Count) {
  const char* P = static_cast<const char*>(Buffer);
  int64_t Done = 0;
  while (Done < Count) {
    ssize_t N = platform::FileSystem().Write(FHandle, P + Done, static_cast<size_t>(std::min(Count - Done, kMaxChunk)));
    if (N < 0) {
      if (errno == EINTR) continue;
      platform::detail::SetLastErrno(errno);
      break;
    }
    if (N == 0) {
      platform::SetLastError(platform::ERROR_DISK_FULL);
      break;
    }
    Done += N;
  }
  if (FPosition >= 0) FPosition += Done;
  return Done;
}

int64_t THandleStream::Seek(int64_t Offset, int Origin) {
  if (Origin == soCurrent && Offset == 0 && FPosition >= 0) return FPosition;
  if (Origin == soBeginning && Offset == FPosition && Offset >= 0) return FPosition;
  int Whence = Origin == soCurrent ? SEEK_CUR : Origin == soEnd ? SEEK_END : SEEK_SET;
  off_t Pos = platform::FileSystem().Seek(FHandle, static_cast<off_t>(Offset), Whence);
  if (Pos < 0) platform::detail::SetLastErrno(errno);
  FPosition = Pos < 0 ? -1 : static_cast<int64_t>(Pos);
  return static_cast<int64_t>(Pos);
}

int64_t THandleStream::Size() {
  // A regular file's size is its status's; the position stays.
  struct stat St;
  if (platform::FileSystem().FStat(FHandle, St) == 0 && S_ISREG(St.st_mode))
    return static_cast<int64_t>(St.st_size);
  return TStream::Size();
}

void THandleStream::SetSize(int64_t NewSize) {
  // As with the Windows end-of-file call, the position ends at the new size.
  if (NewSize < 0 || platform::FileSystem().Truncate(FHandle, static_cast<off_t>(NewSize)) != 0) {
    platform::detail::SetLastErrno(NewSize < 0 ? EINVAL : errno);
    platform::RaiseLastOSError();
  }
  Seek(NewSize, soBeginning);
}

TFileStream::TFileStream(const std::string& AFileName, uint16_t Mode)
    : THandleStream(INVALID_HANDLE_VALUE), FFileName(AFileName) {
  const bool Create = Mode == fmCreate || Mode == fmCreateNew;
  int Flags = O_CLOEXEC | O_NOCTTY;
  if (Create) {
    Flags |= O_RDWR | O_CREAT | (Mode == fmCreateNew ? O_EXCL : O_TRUNC);
  } else {
    switch (Mode & 3) {
      case fmOpenWrite: Flags |= O_WRONLY; break;
      case fmOpenReadWrite: Flags |= O_RDWR; break;
      default: Flags |= O_RDONLY; break;
    }
    if ((Mode & fmOpenNoFollow) != 0) Flags |= O_NOFOLLOW;
  }
  std::string Native = platform::ToNativePath(AFileName);
  uint32_t Code = platform::ERROR_SUCCESS;
  int Errno = 0;
  if (Native.empty() || AFileName.empty()) {
    Code = platform::ERROR_PATH_NOT_FOUND;
    Errno = ENOENT;
  } else if ((Mode & 3) == 3 && !Create) {
    Code = platform::ERROR_INVALID_PARAMETER;
    Errno = EINVAL;
  } else {
    platform::TFileSystem& Fs = platform::FileSystem();
    int Fd;
    do {
      Fd = Fs.Open(Native, Flags, 0666);
    } while (Fd < 0 && errno == EINTR);
    if (Fd < 0) {
      Errno = errno;
      Code = platform::detail::ErrnoToWinError(Errno, Native);
    } else {
      // A folder opens read-only on Linux; it is never a file here.
      struct stat& St = FOpened;
      if (Fs.FStat(Fd, St) != 0 || S_ISDIR(St.st_mode)) {
        Fs.Close(Fd);
        Code = platform::ERROR_ACCESS_DENIED;
        Errno = EISDIR;
      } else {
        FHandle = Fd;
        FPosition = 0;
      }
    }
  }
  if (FHandle == INVALID_HANDLE_VALUE) {
    // The message names the file as the user knows it: its Linux path
    // (the name as given when it has none), and the system's reason.
    platform::detail::SetLastError(Code, Errno);
    const std::string Shown = Native.empty() ? AFileName : Native;
    const std::string Reason = platform::SysErrorMessage(Code);
    if (Create)
      throw EFCreateError(Format("Cannot create file \"%s\": %s", Shown.c_str(), Reason.c_str()));
    throw EFOpenError(Format("Cannot open file \"%s\": %s", Shown.c_str(), Reason.c_str()));
  }
}

TFileStream::~TFileStream() {
  if (FHandle != INVALID_HANDLE_VALUE) platform::FileSystem().Close(FHandle);
}

}  // namespace zem

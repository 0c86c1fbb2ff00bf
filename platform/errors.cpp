// The thread's last error, the one errno translator, and the system's texts.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "platform/base.h"
#include "platform/file_internal.h"
#include "platform/file_system.h"
#include "platform/winapi.h"

namespace zem::platform {

namespace {
thread_local uint32_t LastError = ERROR_SUCCESS;
// The errno the last error was translated from; 0 when it was set as a
// code alone.
thread_local int LastErrno = 0;
}  // namespace

uint32_t GetLastError() { return LastError; }
void SetLastError(uint32_t Code) {
  LastError = Code;
  LastErrno = 0;
}

uint32_t ErrnoToWinError(int Errno) {
  switch (Errno) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM: return ERROR_NOT_READY;
    case EBUSY:
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EILSEQ: return ERROR_INVALID_NAME;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case EIO: return ERROR_IO_DEVICE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    default: return ERROR_GEN_FAILURE;
  }
}

namespace detail {

uint32_t ErrnoToWinError(int Errno, const std::string& NativePath) {
  uint32_t Code = platform::ErrnoToWinError(Errno);
  if (Errno == ENOENT && !NativePath.empty()) {
    size_t Slash = NativePath.find_last_of('/');
    if (Slash != std::string::npos && Slash > 0) {
      struct stat St;
      std::string Parent = NativePath.substr(0, Slash);
      if (FileSystem().Stat(Parent, St) != 0 || !S_ISDIR(St.st_mode)) Code = ERROR_PATH_NOT_FOUND;
    }
  }
  return Code;
}

bool SetLastErrno(int Errno, const std::string& NativePath) {
  LastError = ErrnoToWinError(Errno, NativePath);
  LastErrno = Errno;
  return false;
}

void SetLastError(uint32_t Code, int Errno) {
  LastError = Code;
  LastErrno = Errno;
}

}  // namespace detail

namespace {

// The errno that stands for a code set without one, so that its text is
// the system's too; 0 for the codes no errno stands for.
int ErrnoOfCode(uint32_t Code) {
  switch (Code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_NOT_READY: return ENOMEDIUM;
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE: return EIO;
    case ERROR_SHARING_VIOLATION: return EBUSY;
    case ERROR_NOT_SUPPORTED: return EOPNOTSUPP;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_INVALID_PARAMETER: return EINVAL;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_FILE_TOO_LARGE: return EFBIG;
    case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
    default: return 0;
  }
}

}  // namespace

std::string SysErrorMessage(uint32_t Code) {
  // The text of the errno itself when Code is the thread's last error and
  // came from one ("Is a directory" rather than the code's general text).
  int Errno = Code == LastError && LastErrno != 0 ? LastErrno : ErrnoOfCode(Code);
  if (Errno != 0) return strerror(Errno);
  switch (Code) {
    case ERROR_SUCCESS: return "Success";
    case ERROR_INVALID_DRIVE: return "No such drive";
    case ERROR_NO_MORE_FILES: return "No more files";
    case ERROR_INVALID_NAME: return "Invalid name";
    case ERROR_ENVVAR_NOT_FOUND: return "No such environment variable";
    default: return Format("Unknown error %u", Code);
  }
}

void RaiseLastOSError() {
  uint32_t Code = GetLastError();
  throw EOSError(Format("System Error.  Code: %u.\n%s", Code, SysErrorMessage(Code).c_str()), Code);
}

}  // namespace zem::platform

// The thread's last error, the one errno translator, and the system's texts.
#include <errno.h>
#include <sys/stat.h>

#include "platform/base.h"
#include "platform/file_internal.h"
#include "platform/file_system.h"
#include "platform/winapi.h"

namespace zem::platform {

namespace {
thread_local uint32_t LastError = ERROR_SUCCESS;
}  // namespace

uint32_t GetLastError() { return LastError; }
void SetLastError(uint32_t Code) { LastError = Code; }

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
  SetLastError(ErrnoToWinError(Errno, NativePath));
  return false;
}

}  // namespace detail

std::string SysErrorMessage(uint32_t Code) {
  switch (Code) {
    case ERROR_SUCCESS: return "The operation completed successfully";
    case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified";
    case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified";
    case ERROR_TOO_MANY_OPEN_FILES: return "The system cannot open the file";
    case ERROR_ACCESS_DENIED: return "Access is denied";
    case ERROR_INVALID_HANDLE: return "The handle is invalid";
    case ERROR_NOT_ENOUGH_MEMORY: return "Not enough storage is available to process this command";
    case ERROR_INVALID_DRIVE: return "The system cannot find the drive specified";
    case ERROR_NOT_SAME_DEVICE: return "The system cannot move the file to a different disk drive";
    case ERROR_NO_MORE_FILES: return "There are no more files";
    case ERROR_WRITE_PROTECT: return "The media is write protected";
    case ERROR_NOT_READY: return "The device is not ready";
    case ERROR_GEN_FAILURE: return "A device attached to the system is not functioning";
    case ERROR_SHARING_VIOLATION:
      return "The process cannot access the file because it is being used by another process";
    case ERROR_HANDLE_DISK_FULL: return "The disk is full";
    case ERROR_NOT_SUPPORTED: return "The request is not supported";
    case ERROR_FILE_EXISTS: return "The file exists";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect";
    case ERROR_DISK_FULL: return "There is not enough space on the disk";
    case ERROR_INVALID_NAME: return "The filename, directory name, or volume label syntax is incorrect";
    case ERROR_DIR_NOT_EMPTY: return "The directory is not empty";
    case ERROR_ALREADY_EXISTS: return "Cannot create a file when that file already exists";
    case ERROR_FILENAME_EXCED_RANGE: return "The filename or extension is too long";
    case ERROR_ENVVAR_NOT_FOUND: return "The system could not find the environment option that was entered";
    case ERROR_FILE_TOO_LARGE: return "The file size exceeds the limit allowed and cannot be saved";
    case ERROR_IO_DEVICE:
      return "The request could not be performed because of an I/O device error";
    case ERROR_CANT_RESOLVE_FILENAME: return "The name of the file cannot be resolved by the system";
    default: return Format("Unknown error %u", Code);
  }
}

void RaiseLastOSError() {
  uint32_t Code = GetLastError();
  throw EOSError(Format("System Error.  Code: %u.\n%s", Code, SysErrorMessage(Code).c_str()), Code);
}

}  // namespace zem::platform

// Private glue shared by the file operations of platform/: the errno hand-off,
// DOS attributes of a stat result and path translation with its failure.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace zem::platform::detail {

// ErrnoToWinError refined by the path the failing call was given: ENOENT
// becomes ERROR_PATH_NOT_FOUND when the path's parent folder is missing too,
// as Windows distinguishes a missing file from a missing folder.
uint32_t ErrnoToWinError(int Errno, const std::string& NativePath);
// Sets the thread's last error from Errno (see above). Returns false so
// callers can write `return SetLastErrno(errno, Path);`.
bool SetLastErrno(int Errno, const std::string& NativePath = std::string());
// Sets the thread's last error to Code, translated from Errno, whose text
// SysErrorMessage then gives.
void SetLastError(uint32_t Code, int Errno);

// Translates a Windows-style path. On failure (no such drive, empty name)
// sets ERROR_PATH_NOT_FOUND and returns false.
bool NativePathOf(const char* WinPath, std::string& Native);

// Whether the folder or file at NativePath lives on a vfat volume, whose FAT
// attribute bits are then read and written through the FAT ioctls.
bool IsFatVolume(const std::string& NativePath);

// DOS attributes of the entry at NativePath, given its stat result (links
// already followed). OnFat selects the FAT bits (read through an ioctl)
// instead of the permission and leading-dot rules.
uint32_t DosAttributesOf(const std::string& NativePath, const struct stat& St, bool OnFat);

// Takes an exclusive flock on Fd without waiting. On failure closes Fd and
// sets the last error: ERROR_SHARING_VIOLATION when another holds the lock,
// else the system's error for NativePath; returns false.
bool LockOrClose(int Fd, const std::string& NativePath);

// Last component of a native path ("" for "/").
std::string BaseNameOf(const std::string& NativePath);

}  // namespace zem::platform::detail

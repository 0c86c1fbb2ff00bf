// The Windows-style operating-system operations the system is written
// against, implemented on Linux. Paths are Windows-style ("F:\dir\file");
// they are mapped through the drive table (platform/drives.h). Each call
// that fails sets the thread's last error (GetLastError) to the Windows
// error code that matches the errno.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/drives.h"
#include "platform/stream.h"

namespace zem::platform {

// ---- Errors ---------------------------------------------------------------
enum : uint32_t {
  ERROR_SUCCESS = 0,
  ERROR_FILE_NOT_FOUND = 2,
  ERROR_PATH_NOT_FOUND = 3,
  ERROR_TOO_MANY_OPEN_FILES = 4,
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_NOT_ENOUGH_MEMORY = 8,
  ERROR_INVALID_DRIVE = 15,
  ERROR_NOT_SAME_DEVICE = 17,
  ERROR_NO_MORE_FILES = 18,
  ERROR_WRITE_PROTECT = 19,
  ERROR_NOT_READY = 21,
  ERROR_GEN_FAILURE = 31,
  ERROR_SHARING_VIOLATION = 32,
  ERROR_HANDLE_DISK_FULL = 39,
  ERROR_NOT_SUPPORTED = 50,
  ERROR_FILE_EXISTS = 80,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_DISK_FULL = 112,
  ERROR_INVALID_NAME = 123,
  ERROR_DIR_NOT_EMPTY = 145,
  ERROR_ALREADY_EXISTS = 183,
  ERROR_ENVVAR_NOT_FOUND = 203,
  ERROR_FILENAME_EXCED_RANGE = 206,
  ERROR_FILE_TOO_LARGE = 223,
  ERROR_IO_DEVICE = 1117,
  ERROR_CANT_RESOLVE_FILENAME = 1921,
};
uint32_t GetLastError();
void SetLastError(uint32_t Code);
// Maps an errno value to the Windows error code.
uint32_t ErrnoToWinError(int Errno);
// The system's reason for an error code, without a trailing period: the
// text of the errno the thread's last error came from when Code is that
// error ("Is a directory", "No space left on device"), else the text of
// the errno that stands for Code ("Permission denied" for
// ERROR_ACCESS_DENIED), or a short text of its own for the codes no errno
// stands for ("No such drive").
std::string SysErrorMessage(uint32_t Code);
// Raises EOSError with the last error's code and text.
[[noreturn]] void RaiseLastOSError();

// ---- Drives and volumes -------------------------------------------------
enum : uint32_t { SEM_FAILCRITICALERRORS = 0x0001, SEM_NOOPENFILEERRORBOX = 0x8000 };
// Keeps the mode and returns the previous one. Linux shows no critical-error
// dialogs, so the mode changes nothing else.
uint32_t SetErrorMode(uint32_t Mode);

// Root path "X:\" (or "X:"): DRIVE_REMOVABLE, DRIVE_FIXED, DRIVE_CDROM...,
// DRIVE_NO_ROOT_DIR for a letter the table does not have.
uint32_t GetDriveTypeA(const char* RootPathName);
bool GetVolumeInformationA(const char* RootPathName, char* VolumeNameBuffer,
                           uint32_t VolumeNameSize, uint32_t* VolumeSerialNumber,
                           uint32_t* MaximumComponentLength, uint32_t* FileSystemFlags,
                           char* FileSystemNameBuffer, uint32_t FileSystemNameSize);
// Total clusters x bytes per sector x sectors per cluster is the volume's
// whole size; free clusters likewise its free space.
bool GetDiskFreeSpaceA(const char* RootPathName, uint32_t* SectorsPerCluster,
                       uint32_t* BytesPerSector, uint32_t* NumberOfFreeClusters,
                       uint32_t* TotalNumberOfClusters);
bool GetDiskFreeSpaceExA(const char* DirectoryName, uint64_t* FreeBytesAvailable,
                         uint64_t* TotalNumberOfBytes, uint64_t* TotalNumberOfFreeBytes);
bool SetVolumeLabelA(const char* RootPathName, const char* VolumeName);

// ---- Files and folders ---------------------------------------------------
enum : uint32_t {
  FILE_ATTRIBUTE_READONLY = 0x01,
  FILE_ATTRIBUTE_HIDDEN = 0x02,
  FILE_ATTRIBUTE_SYSTEM = 0x04,
  FILE_ATTRIBUTE_DIRECTORY = 0x10,
  FILE_ATTRIBUTE_ARCHIVE = 0x20,
  FILE_ATTRIBUTE_NORMAL = 0x80,
  INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF,
};
// Search attribute bits (find-first filter and TSearchRec::Attr).
enum : int32_t {
  faReadOnly = 0x01,
  faHidden = 0x02,
  faSysFile = 0x04,
  faVolumeID = 0x08,
  faDirectory = 0x10,
  faArchive = 0x20,
  faAnyFile = 0x3F,
};

// DOS attributes: on vfat volumes the FAT attribute bits themselves;
// elsewhere read-only from the write permission, hidden from a leading dot,
// archive set for files, directory 0x10.
uint32_t GetFileAttributesA(const char* FileName);
bool SetFileAttributesA(const char* FileName, uint32_t Attributes);

struct FILETIME {
  uint32_t dwLowDateTime = 0;
  uint32_t dwHighDateTime = 0;
};

// The platform's full find data, as the Win32 find functions fill it.
struct TWin32FindData {
  uint32_t dwFileAttributes = 0;
  FILETIME ftCreationTime, ftLastAccessTime, ftLastWriteTime;  // UTC
  uint32_t nFileSizeHigh = 0;
  uint32_t nFileSizeLow = 0;
  std::string cFileName;           // long name
  std::string cAlternateFileName;  // short 8.3 name; empty on Linux
};

struct TSearchRec {
  int32_t Time = 0;  // DOS date and time of the last write, local time
  int64_t Size = 0;
  int32_t Attr = 0;
  std::string Name;
  // The type and permission bits of the entry itself: S_IFLNK for a
  // symbolic link, whose other fields describe its target when that is a
  // file, else the link itself.
  uint32_t Mode = 0;
  int32_t ExcludeAttr = 0;
  void* FindHandle = nullptr;  // owned by the search; released by FindClose
  TWin32FindData FindData;
};

// Searches Path ("X:\dir\*.*" or any pattern of the platform's matching:
// '*' and '?', where "*.*" matches every name, also one without a dot).
// Entries with the hidden, system, directory or volume-label bit are found
// only when that bit is in Attr. "." and ".." are listed for every
// directory but a drive's root. Every symbolic link is listed, with Mode
// S_IFLNK: a link to a file with the file's size, time and attributes, any
// other link (to a folder, dangling) with its own and never the directory
// bit, so walks never descend into it (a link loop cannot hang a backup)
// and the writer decides what to store. Returns 0 or the error code; a
// listed name that cannot be looked at (other than one that vanished) is
// passed over, and the search then ends with that error rather than
// ERROR_FILE_NOT_FOUND or ERROR_NO_MORE_FILES.
int FindFirst(const std::string& Path, int32_t Attr, TSearchRec& F);
int FindNext(TSearchRec& F);
void FindClose(TSearchRec& F);

// File times as DOS date and time (date in the high 16 bits), local time.
// -1 when nothing is found.
int32_t FileAge(const std::string& FileName);
int32_t FileGetDate(THandle Handle);
// 0 on success, else the error code.
int FileSetDate(THandle Handle, int32_t Age);
int FileSetDate(const std::string& FileName, int32_t Age);
// Conversions between DOS date and time (local) and Unix time; -1 / false
// when the value cannot be converted (a day the month does not have).
int32_t UnixToDosDateTime(time_t Time);
bool DosDateTimeToUnix(int32_t DosDateTime, time_t& Time);
// FILETIME (100 ns since 1601, UTC) <-> Unix time.
FILETIME UnixToFileTime(time_t Time, long Nanoseconds = 0);
time_t FileTimeToUnix(const FILETIME& Ft);

bool DeleteFileA(const char* FileName);
// Renames; fails (ERROR_ALREADY_EXISTS) when the new name exists.
bool MoveFileA(const char* ExistingFileName, const char* NewFileName);
bool CreateDirectoryA(const char* PathName);
bool RemoveDirectoryA(const char* PathName);
bool SetCurrentDirectoryA(const char* PathName);
// The current directory, Windows-style, without a trailing "\" except at a
// root.
std::string GetCurrentDirectoryA();
bool FileExists(const std::string& FileName);       // a file, not a folder
bool DirectoryExists(const std::string& PathName);
// Size and modification time of a file, for change detection: nanosecond
// precision. False when the file cannot be examined.
bool GetFileStamp(const std::string& FileName, int64_t& Size, int64_t& MTimeNs);
bool FlushFileBuffers(THandle Handle);
// An exclusive flock(2) on the file FileName leads to, held while the
// object lives and never waited for: a program that rewrites a file and
// puts the new one in place by a rename over it takes it first, so a
// second writer of the same file stops instead of renaming its own over
// the first one's. Held() is false when another holder has it, or when
// the name no longer leads to the file locked (replaced meanwhile:
// ERROR_SHARING_VIOLATION for both), or the file cannot be opened.
class TFileLock {
 public:
  explicit TFileLock(const std::string& FileName);
  ~TFileLock();
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;
  bool Held() const { return FFd >= 0; }

 private:
  int FFd = -1;
};

// What identifies a file and tells whether it changed. Two names of one
// file (a link, another spelling of a relative name) have the same device
// and inode; a write changes the size or one of the two times.
struct TFileInfo {
  uint64_t Device = 0;
  uint64_t Inode = 0;
  int64_t Size = 0;
  int64_t MTimeNs = 0;  // last modification
  int64_t CTimeNs = 0;  // last change of data or status
  uint32_t Mode = 0;    // permission bits (07777)
  uint32_t Owner = 0;
  uint32_t Group = 0;
  uint64_t Links = 0;   // names the file has; 0 once it was deleted
  bool SameFile(const TFileInfo& Other) const {
    return Device == Other.Device && Inode == Other.Inode;
  }
  // The same file, not written to since the other look.
  bool Unchanged(const TFileInfo& Other) const {
    return SameFile(Other) && Size == Other.Size && MTimeNs == Other.MTimeNs &&
           CTimeNs == Other.CTimeNs;
  }
};
// Of the file a name leads to (links followed), or of an open handle.
// False, with the last error set, when it cannot be examined.
bool GetFileInfo(const std::string& FileName, TFileInfo& Info);
bool GetFileInfo(THandle Handle, TFileInfo& Info);
// What the writer takes from a file it holds open, read from the
// descriptor (one fstatfs; on a FAT volume its attribute ioctl) instead of
// looking the name up again: the status (Known when the caller has it,
// else one fstat), the DOS attributes as GetFileAttributesA gives them
// (FileName's last component gives the hidden bit off FAT) and the
// modification time as FileGetDate gives it.
struct TOpenFileStatus {
  TFileInfo Info;
  uint32_t Attributes = 0;
  int32_t DosTime = -1;
};
bool GetOpenFileStatus(THandle Handle, const std::string& FileName, TOpenFileStatus& Status,
                       const struct stat* Known = nullptr);
// When FileName itself is a symbolic link: its target text and its own
// status (times, size); false when it is no link or cannot be examined.
bool GetLinkInfo(const std::string& FileName, std::string& Target, TFileInfo& Info);
// The process's file mode creation mask (umask), read without changing it.
uint32_t ProcessUmask();
// Sets the permission bits (07777) of a file.
bool SetFileMode(const std::string& FileName, uint32_t Mode);

// Puts ReplacementFileName in place of ReplacedFileName by one rename, so
// that the old file is there until the new one takes its name and no
// moment is without either. The replacement first takes the replaced
// file's permission bits and, where this user may set them, its owner and
// group (a group is kept when the user belongs to it; an owner other than
// the user only for root). Both names must be on one volume. False, with
// the last error set and the replaced file untouched, when the rename
// fails; the replacement then keeps its name.
bool ReplaceFileA(const char* ReplacedFileName, const char* ReplacementFileName);
// True when the process's standard error is a terminal (console).
bool StdErrIsConsole();

// The private temporary folder ending with "\": below $TMPDIR when set,
// else below /var/tmp, a folder of this user's created with mode 0700 and
// checked to belong to the user (never a world-writable folder itself).
// Returns the length written (without NUL), or the size needed when the
// buffer is too small, or 0 on failure.
uint32_t GetTempPathA(uint32_t BufferLength, char* Buffer);
std::string GetTempPathA();
// Creates a new empty file "<Path>\<Prefix><hex>.TMP" and returns its
// unique number; 0 on failure. The name goes to TempFileName.
uint32_t GetTempFileNameA(const std::string& PathName, const std::string& PrefixString,
                          uint32_t Unique, std::string& TempFileName);
// Creates a new empty file "<PathName>\<Prefix>-<16 hex digits>.<Extension>"
// (mode 0600, never an existing one) and returns its Windows-style name:
// each call of each process gets a name of its own. "" with the last error
// set on failure.
std::string CreateUniqueFileA(const std::string& PathName, const std::string& Prefix,
                              const std::string& Extension);

// The value of an environment variable; "" with the last error
// ERROR_ENVVAR_NOT_FOUND when it is not set.
std::string GetEnvironmentVariableA(const std::string& Name);

// ---- Code pages ------------------------------------------------------------
// "ANSI" is UTF-8, "OEM" is code page 437. Characters without an OEM form
// become '?'; Lossless (when given) tells whether every character converted.
std::string AnsiToOem(const std::string& Text, bool* Lossless = nullptr);
std::string OemToAnsi(const std::string& Text);
// Case mapping of the ANSI code page, multi-byte aware.
std::string AnsiUpperCase(const std::string& Text);
std::string AnsiLowerCase(const std::string& Text);
std::string AnsiUpperCaseFileName(const std::string& Text);
std::string AnsiLowerCaseFileName(const std::string& Text);

// ---- Native names ------------------------------------------------------------
// A Linux name may hold any byte but '/' and NUL; inside the program a name
// is Windows-style text, where '\' separates, ':' marks a drive, '*' and
// '?' are wildcards and case may be folded. The platform maps every native
// name component to an internal one by a reversible escape: the bytes
// \ : * ? < > | " and every byte that is not part of a valid UTF-8
// sequence become the private-use character U+F000 + byte (UTF-8 encoded),
// and a character of U+F000..U+F0FF already in the native name has each of
// its three bytes escaped, so distinct native names stay distinct. These
// characters have no case and are no wildcards, so matching and case
// folding never touch them. The archive stores the native bytes.
//
// NameFromNative escapes one native name component (no '/'); NameToNative
// turns every escape of an internal name (a component, or a whole path:
// separators are left alone) back into its byte. NameToNative(
// NameFromNative(N)) == N for every N; HasEscapes tells whether an internal
// name holds any escape.
std::string NameFromNative(const std::string& Native);
std::string NameToNative(const std::string& Internal);
bool HasEscapes(const std::string& Internal);

// ---- Clock -----------------------------------------------------------------
// The wall clock: seconds since 1970-01-01 UTC, and the nanoseconds within
// the second when asked for.
time_t Now(long* Nanoseconds = nullptr);
// High-resolution counter and millisecond ticks. Tests can fix both so that
// the random bytes derived from them repeat.
bool QueryPerformanceCounter(int64_t* Count);
uint32_t GetTickCount();
void SetFixedClock(bool Fixed, int64_t Counter = 0, uint32_t Ticks = 0);
void Sleep(uint32_t Milliseconds);

}  // namespace zem::platform

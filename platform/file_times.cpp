// File times: DOS date and time in local time, FILETIME, and Unix time.
#include <errno.h>
#include <sys/stat.h>
#include <time.h>

#include "platform/drives.h"
#include "platform/file_internal.h"
#include "platform/file_system.h"
#include "platform/winapi.h"

namespace zem::platform {

namespace {

// Seconds from 1601-01-01 (FILETIME's epoch) to 1970-01-01.
constexpr int64_t kFileTimeEpochDelta = 11644473600LL;
constexpr int64_t kTicksPerSecond = 10000000;  // 100 ns units

// The earliest DOS date and time: 1 January 1980, 00:00:00.
constexpr int32_t kDosEpoch = (1 << 21) | (1 << 16);

}  // namespace

int32_t UnixToDosDateTime(time_t Time) {
  struct tm Tm;
  if (localtime_r(&Time, &Tm) == nullptr) return -1;
  int Year = Tm.tm_year + 1900;
  if (Year < 1980) return kDosEpoch;
  if (Year > 2107) return -1;
  uint32_t Date = (static_cast<uint32_t>(Year - 1980) << 9) | (static_cast<uint32_t>(Tm.tm_mon + 1) << 5) |
                  static_cast<uint32_t>(Tm.tm_mday);
  // tm_sec may be 60 on a leap second; DOS time counts at most 58.
  int Sec = Tm.tm_sec > 59 ? 59 : Tm.tm_sec;
  uint32_t Tod = (static_cast<uint32_t>(Tm.tm_hour) << 11) | (static_cast<uint32_t>(Tm.tm_min) << 5) |
                 static_cast<uint32_t>(Sec / 2);
  return static_cast<int32_t>((Date << 16) | Tod);
}

bool DosDateTimeToUnix(int32_t DosDateTime, time_t& Time) {
  uint32_t V = static_cast<uint32_t>(DosDateTime);
  int Sec = static_cast<int>(V & 0x1F) * 2;
  int Min = static_cast<int>((V >> 5) & 0x3F);
  int Hour = static_cast<int>((V >> 11) & 0x1F);
  int Day = static_cast<int>((V >> 16) & 0x1F);
  int Month = static_cast<int>((V >> 21) & 0x0F);
  int Year = static_cast<int>((V >> 25) & 0x7F) + 1980;
  if (Sec > 59 || Min > 59 || Hour > 23 || Day < 1 || Month < 1 || Month > 12) return false;
  struct tm Tm = {};
  Tm.tm_sec = Sec;
  Tm.tm_min = Min;
  Tm.tm_hour = Hour;
  Tm.tm_mday = Day;
  Tm.tm_mon = Month - 1;
  Tm.tm_year = Year - 1900;
  Tm.tm_isdst = -1;
  time_t T = mktime(&Tm);
  if (T == static_cast<time_t>(-1)) return false;  // no DOS time lies before 1980
  // mktime moves a day the month does not have (31 April) into the next
  // month; such a date is refused. The time of day is not compared, so a
  // local time skipped by a daylight-saving change still converts.
  if (Tm.tm_mday != Day || Tm.tm_mon != Month - 1 || Tm.tm_year != Year - 1900) return false;
  Time = T;
  return true;
}

FILETIME UnixToFileTime(time_t Time, long Nanoseconds) {
  int64_t Secs = static_cast<int64_t>(Time) + kFileTimeEpochDelta;
  FILETIME Ft;
  if (Secs < 0) return Ft;  // before 1601: the earliest FILETIME
  uint64_t Ticks = static_cast<uint64_t>(Secs) * kTicksPerSecond +
                   static_cast<uint64_t>(Nanoseconds < 0 ? 0 : Nanoseconds / 100);
  Ft.dwLowDateTime = static_cast<uint32_t>(Ticks);
  Ft.dwHighDateTime = static_cast<uint32_t>(Ticks >> 32);
  return Ft;
}

time_t FileTimeToUnix(const FILETIME& Ft) {
  uint64_t Ticks = (static_cast<uint64_t>(Ft.dwHighDateTime) << 32) | Ft.dwLowDateTime;
  return static_cast<time_t>(static_cast<int64_t>(Ticks / kTicksPerSecond) - kFileTimeEpochDelta);
}

int32_t FileAge(const std::string& FileName) {
  std::string Native;
  if (!detail::NativePathOf(FileName.c_str(), Native)) return -1;
  struct stat St;
  if (FileSystem().Stat(Native, St) != 0) {
    detail::SetLastErrno(errno, Native);
    return -1;
  }
  return UnixToDosDateTime(St.st_mtime);
}

int32_t FileGetDate(THandle Handle) {
  struct stat St;
  if (FileSystem().FStat(Handle, St) != 0) {
    detail::SetLastErrno(errno);
    return -1;
  }
  return UnixToDosDateTime(St.st_mtime);
}

namespace {

// Both access and modification time become the DOS time Age.
bool TimesFromDos(int32_t Age, struct timespec (&Times)[2]) {
  time_t T;
  if (!DosDateTimeToUnix(Age, T)) return false;
  Times[0].tv_sec = Times[1].tv_sec = T;
  Times[0].tv_nsec = Times[1].tv_nsec = 0;
  return true;
}

}  // namespace

int FileSetDate(THandle Handle, int32_t Age) {
  struct timespec Times[2];
  if (!TimesFromDos(Age, Times)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  if (FileSystem().FSetTimes(Handle, Times) != 0) {
    detail::SetLastErrno(errno);
    return static_cast<int>(GetLastError());
  }
  return 0;
}

int FileSetDate(const std::string& FileName, int32_t Age) {
  std::string Native;
  if (!detail::NativePathOf(FileName.c_str(), Native)) return static_cast<int>(GetLastError());
  struct timespec Times[2];
  if (!TimesFromDos(Age, Times)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  if (FileSystem().SetTimes(Native, Times) != 0) {
    detail::SetLastErrno(errno, Native);
    return static_cast<int>(GetLastError());
  }
  return 0;
}

}  // namespace zem::platform

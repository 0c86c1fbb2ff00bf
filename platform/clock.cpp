// The wall clock, and monotonic counters for the encryption header's random
// bytes with a fixed mode so tests get repeatable output.
#include <errno.h>
#include <time.h>

#include <atomic>

#include "platform/file_system.h"
#include "platform/winapi.h"

namespace zem::platform {

namespace {
std::atomic<bool> Fixed{false};
std::atomic<int64_t> FixedCounter{0};
std::atomic<uint32_t> FixedTicks{0};

int64_t MonotonicNs() {
  struct timespec Ts {};
  FileSystem().ClockTime(CLOCK_MONOTONIC, Ts);
  return static_cast<int64_t>(Ts.tv_sec) * 1000000000 + Ts.tv_nsec;
}
}  // namespace

time_t Now(long* Nanoseconds) {
  struct timespec Ts {};
  FileSystem().ClockTime(CLOCK_REALTIME, Ts);
  if (Nanoseconds != nullptr) *Nanoseconds = Ts.tv_nsec;
  return Ts.tv_sec;
}

bool QueryPerformanceCounter(int64_t* Count) {
  if (Count == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *Count = Fixed.load() ? FixedCounter.load() : MonotonicNs();
  return true;
}

uint32_t GetTickCount() {
  if (Fixed.load()) return FixedTicks.load();
  // Wraps after 49.7 days, as the counter it stands for does.
  return static_cast<uint32_t>(MonotonicNs() / 1000000);
}

void SetFixedClock(bool IsFixed, int64_t Counter, uint32_t Ticks) {
  FixedCounter = Counter;
  FixedTicks = Ticks;
  Fixed = IsFixed;
}

void Sleep(uint32_t Milliseconds) {
  struct timespec Want;
  Want.tv_sec = Milliseconds / 1000;
  Want.tv_nsec = static_cast<long>(Milliseconds % 1000) * 1000000;
  while (nanosleep(&Want, &Want) != 0 && errno == EINTR) {
  }
}

}  // namespace zem::platform

// Processor feature queries through the compiler's CPU detection, and the
// processors the process may use.
#include "platform/cpu_features.h"

#include <malloc.h>
#include <sched.h>
#include <unistd.h>

namespace zem::platform {

bool CpuHasCarrylessMultiply() {
#if defined(__x86_64__) || defined(__i386__)
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  }();
  return has;
#else
  return false;
#endif
}

int AvailableProcessors() {
  cpu_set_t Set;
  CPU_ZERO(&Set);
  if (sched_getaffinity(0, sizeof Set, &Set) == 0) {
    const int Count = CPU_COUNT(&Set);
    if (Count > 0) return Count;
  }
  const long Online = sysconf(_SC_NPROCESSORS_ONLN);
  return Online > 0 ? static_cast<int>(Online) : 1;
}

void KeepLargeBlocksApart() {
  static const bool done = [] { return mallopt(M_MMAP_THRESHOLD, 256 * 1024) == 1; }();
  (void)done;
}

}  // namespace zem::platform

// Processor feature queries through the compiler's CPU detection.
#include "platform/cpu_features.h"

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

}  // namespace zem::platform

// The table of files to remove on a fatal signal, and its handler.
//
// Each slot moves through three states: free, being written (only the
// registering thread touches the path) and armed. The handler reads the
// path of armed slots only, so a slot half written when the signal comes
// is skipped, never unlinked under a partial name.
#include "platform/signal_cleanup.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/drives.h"

namespace zem::platform {

namespace {

constexpr int kSlots = 16;
enum : int { kFree = 0, kWriting = 1, kArmed = 2 };

struct TSlot {
  std::atomic<int> State{kFree};
  char Path[PATH_MAX];
};

TSlot GSlots[kSlots];

extern "C" void CleanupOnSignal(int Signal) {
  const int Saved = errno;
  for (TSlot& Slot : GSlots)
    if (Slot.State.load(std::memory_order_acquire) == kArmed) ::unlink(Slot.Path);
  errno = Saved;
  // The default action ends the process with the signal, as the parent
  // expects; it is delivered once this handler returns.
  ::signal(Signal, SIG_DFL);
  ::raise(Signal);
}

}  // namespace

void InstallSignalCleanup() {
  for (int Signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction Old {};
    if (::sigaction(Signal, nullptr, &Old) != 0 || Old.sa_handler == SIG_IGN) continue;
    struct sigaction Act {};
    Act.sa_handler = CleanupOnSignal;
    sigemptyset(&Act.sa_mask);
    // The other two wait while one runs, so the table is walked once.
    sigaddset(&Act.sa_mask, SIGINT);
    sigaddset(&Act.sa_mask, SIGTERM);
    sigaddset(&Act.sa_mask, SIGHUP);
    ::sigaction(Signal, &Act, nullptr);
  }
}

void TSignalCleanupFile::Register(const std::string& FileName) {
  Release();
  const std::string Native = ToNativePath(FileName);
  if (Native.empty() || Native.size() >= PATH_MAX) return;
  for (int I = 0; I < kSlots; ++I) {
    int Expected = kFree;
    if (!GSlots[I].State.compare_exchange_strong(Expected, kWriting, std::memory_order_acq_rel))
      continue;
    std::memcpy(GSlots[I].Path, Native.c_str(), Native.size() + 1);
    GSlots[I].State.store(kArmed, std::memory_order_release);
    FSlot = I;
    return;
  }
}

void TSignalCleanupFile::Release() {
  if (FSlot < 0) return;
  GSlots[FSlot].State.store(kFree, std::memory_order_release);
  FSlot = -1;
}

}  // namespace zem::platform

// Work files removed on the signals that end a process.
//
// The handler may run at any instruction of any thread, so the table it
// reads is a fixed array of fixed-size slots, each guarded by an atomic
// state: a slot is filled while Writing and only then marked Used, so the
// handler never reads a half-written name, and it calls nothing but
// unlink(2), sigaction(2) and raise(3), which are safe in a handler.
#include "platform/cleanup.h"

#include "platform/drives.h"
#include "platform/winapi.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>

namespace zem::platform {

namespace {

enum : int { kFree = 0, kWriting = 1, kUsed = 2 };

struct TSlot {
  std::atomic<int> State{kFree};
  char Path[PATH_MAX];
};

TSlot GSlots[kMaxCleanupPaths];
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction GPrevious[std::size(kSignals)];
std::once_flag GInstalled;

void OnSignal(int Signal) {
  for (TSlot& S : GSlots)
    if (S.State.load(std::memory_order_acquire) == kUsed) ::unlink(S.Path);
  for (size_t I = 0; I < std::size(kSignals); ++I) {
    if (kSignals[I] != Signal) continue;
    const struct sigaction& Before = GPrevious[I];
    if ((Before.sa_flags & SA_SIGINFO) == 0 && Before.sa_handler != SIG_DFL &&
        Before.sa_handler != SIG_IGN) {
      Before.sa_handler(Signal);
      return;
    }
    if (Before.sa_handler == SIG_IGN) return;
  }
  // The signal's own ending: default action, then the signal again.
  struct sigaction Default {};
  Default.sa_handler = SIG_DFL;
  sigemptyset(&Default.sa_mask);
  ::sigaction(Signal, &Default, nullptr);
  ::raise(Signal);
}

void InstallHandlers() {
  for (size_t I = 0; I < std::size(kSignals); ++I) {
    struct sigaction Action {};
    Action.sa_handler = OnSignal;
    sigemptyset(&Action.sa_mask);
    for (int S : kSignals) sigaddset(&Action.sa_mask, S);
    ::sigaction(kSignals[I], &Action, &GPrevious[I]);
    // A signal the process ignores (nohup) stays ignored.
    if ((GPrevious[I].sa_flags & SA_SIGINFO) == 0 && GPrevious[I].sa_handler == SIG_IGN)
      ::sigaction(kSignals[I], &GPrevious[I], nullptr);
  }
}

}  // namespace

bool RegisterCleanupPath(const std::string& NativePath) {
  if (NativePath.empty() || NativePath.size() >= PATH_MAX) return false;
  std::call_once(GInstalled, InstallHandlers);
  for (TSlot& S : GSlots) {
    int Expected = kFree;
    if (!S.State.compare_exchange_strong(Expected, kWriting, std::memory_order_acq_rel)) continue;
    std::memcpy(S.Path, NativePath.c_str(), NativePath.size() + 1);
    S.State.store(kUsed, std::memory_order_release);
    return true;
  }
  return false;
}

void UnregisterCleanupPath(const std::string& NativePath) {
  for (TSlot& S : GSlots) {
    if (S.State.load(std::memory_order_acquire) != kUsed || NativePath != S.Path) continue;
    int Expected = kUsed;
    if (S.State.compare_exchange_strong(Expected, kFree, std::memory_order_acq_rel)) return;
  }
}

std::string CreateCleanupFileA(const std::string& PathName, const std::string& Prefix,
                               const std::string& Extension) {
  sigset_t Held, Before;
  sigemptyset(&Held);
  for (const int Signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&Held, Signal);
  ::pthread_sigmask(SIG_BLOCK, &Held, &Before);
  const std::string Name = CreateUniqueFileA(PathName, Prefix, Extension);
  if (!Name.empty()) RegisterCleanupPath(ToNativePath(Name));
  ::pthread_sigmask(SIG_SETMASK, &Before, nullptr);
  return Name;
}

}  // namespace zem::platform

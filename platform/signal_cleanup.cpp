// The table of files to remove on a fatal signal, and its handler.
//
// The handler may run at any instruction of any thread, so what it reads is
// a fixed array of fixed-size slots, each guarded by an atomic state. A
// slot moves through three states: free, being written (only the
// registering thread touches the path) and armed. The handler reads the
// path of armed slots only, so a slot half written when the signal comes
// is skipped, never unlinked under a partial name.
//
// The handlers found at installation are kept, and the signal goes on to
// them once the files are gone: a program or library that installed its
// own before the first registration still sees the signal.
#include "platform/signal_cleanup.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <mutex>

#include "platform/drives.h"

namespace zem::platform {

namespace {

enum : int { kFree = 0, kWriting = 1, kArmed = 2 };

struct TSlot {
  std::atomic<int> State{kFree};
  char Path[PATH_MAX];
};

TSlot GSlots[kSignalCleanupSlots];
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction GPrevious[std::size(kSignals)];
std::once_flag GInstalled;

void TerminationSignals(sigset_t& Set) {
  sigemptyset(&Set);
  for (const int Signal : kSignals) sigaddset(&Set, Signal);
}

extern "C" void CleanupOnSignal(int Signal, siginfo_t* Info, void* Context) {
  const int Saved = errno;
  for (TSlot& Slot : GSlots)
    if (Slot.State.load(std::memory_order_acquire) == kArmed) ::unlink(Slot.Path);
  errno = Saved;
  for (size_t I = 0; I < std::size(kSignals); ++I) {
    if (kSignals[I] != Signal) continue;
    const struct sigaction& Before = GPrevious[I];
    if ((Before.sa_flags & SA_SIGINFO) != 0) {
      Before.sa_sigaction(Signal, Info, Context);
      return;
    }
    if (Before.sa_handler != SIG_DFL && Before.sa_handler != SIG_IGN) {
      Before.sa_handler(Signal);
      return;
    }
  }
  // The default action ends the process with the signal, as the parent
  // expects; it is delivered once this handler returns and the signal is
  // no longer blocked.
  struct sigaction Default {};
  Default.sa_handler = SIG_DFL;
  sigemptyset(&Default.sa_mask);
  ::sigaction(Signal, &Default, nullptr);
  ::raise(Signal);
}

void InstallHandlers() {
  for (size_t I = 0; I < std::size(kSignals); ++I) {
    if (::sigaction(kSignals[I], nullptr, &GPrevious[I]) != 0) continue;
    // A signal the process ignores (nohup) stays ignored.
    if ((GPrevious[I].sa_flags & SA_SIGINFO) == 0 && GPrevious[I].sa_handler == SIG_IGN) continue;
    struct sigaction Act {};
    Act.sa_sigaction = CleanupOnSignal;
    Act.sa_flags = SA_SIGINFO | (GPrevious[I].sa_flags & SA_RESTART);
    // The other two wait while one runs, so the table is walked once.
    TerminationSignals(Act.sa_mask);
    ::sigaction(kSignals[I], &Act, nullptr);
  }
}

}  // namespace

void InstallSignalCleanup() { std::call_once(GInstalled, InstallHandlers); }

bool TSignalCleanupFile::Register(const std::string& FileName) {
  return RegisterNative(ToNativePath(FileName));
}

bool TSignalCleanupFile::RegisterNative(const std::string& NativePath) {
  Release();
  if (NativePath.empty() || NativePath.size() >= PATH_MAX) return false;
  InstallSignalCleanup();
  for (int I = 0; I < kSignalCleanupSlots; ++I) {
    int Expected = kFree;
    if (!GSlots[I].State.compare_exchange_strong(Expected, kWriting, std::memory_order_acq_rel))
      continue;
    std::memcpy(GSlots[I].Path, NativePath.c_str(), NativePath.size() + 1);
    GSlots[I].State.store(kArmed, std::memory_order_release);
    FSlot = I;
    return true;
  }
  return false;
}

void TSignalCleanupFile::Release() {
  if (FSlot < 0) return;
  GSlots[FSlot].State.store(kFree, std::memory_order_release);
  FSlot = -1;
}

TSignalHold::TSignalHold() {
  sigset_t Held;
  TerminationSignals(Held);
  ::pthread_sigmask(SIG_BLOCK, &Held, &FBefore);
}

TSignalHold::~TSignalHold() { ::pthread_sigmask(SIG_SETMASK, &FBefore, nullptr); }

}  // namespace zem::platform

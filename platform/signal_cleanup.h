// Work files removed when the process is ended by a signal.
//
// A program that writes a temporary file and then renames it into place
// leaves the file behind when Ctrl-C or a kill ends it in between. The
// files registered here are unlinked by the handler of SIGINT, SIGTERM and
// SIGHUP, which then passes the signal on: to the handler installed before
// it, if there was one, else to the default action, so the process ends by
// the signal as it would have. The handler touches nothing but a fixed
// table of paths and calls only unlink(2), sigaction(2) and raise(3), all
// async-signal-safe; it goes straight to the system, past the file-system
// seam, whose objects are not safe in a handler.
//
// This is the one table of such files: the path registrations of
// platform/cleanup.h are kept in it too.
#pragma once

#include <signal.h>

#include <string>

namespace zem::platform {

// Installs the handler for SIGINT, SIGTERM and SIGHUP (a signal the process
// ignores stays ignored). The first registration installs it as well;
// calling it early in main installs it before any other and makes the
// default action the one passed on to.
void InstallSignalCleanup();

// The table has room for this many files at once. A file that finds no
// room, or whose name is too long, is not registered, and Register says so
// (the program's own failure path still removes it).
constexpr int kSignalCleanupSlots = 32;

// One registered file for the lifetime of the object.
class TSignalCleanupFile {
 public:
  TSignalCleanupFile() = default;
  explicit TSignalCleanupFile(const std::string& FileName) { Register(FileName); }
  ~TSignalCleanupFile() { Release(); }
  TSignalCleanupFile(const TSignalCleanupFile&) = delete;
  TSignalCleanupFile& operator=(const TSignalCleanupFile&) = delete;

  // Registers FileName, Windows-style (releasing a file registered before).
  // False when it was not registered.
  bool Register(const std::string& FileName);
  // The same with the native path.
  bool RegisterNative(const std::string& NativePath);
  // The file is no business of the handler any more: it was renamed into
  // place or removed.
  void Release();
  bool Registered() const { return FSlot >= 0; }

 private:
  int FSlot = -1;
};

// SIGINT, SIGTERM and SIGHUP held back on the calling thread for the
// lifetime of the object, and delivered when it goes. Made before a work
// file and gone after its registration, it leaves no moment at which a
// signal could end the process with the file made but not registered.
class TSignalHold {
 public:
  TSignalHold();
  ~TSignalHold();
  TSignalHold(const TSignalHold&) = delete;
  TSignalHold& operator=(const TSignalHold&) = delete;

 private:
  sigset_t FBefore;
};

}  // namespace zem::platform

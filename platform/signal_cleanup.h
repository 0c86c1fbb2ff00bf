// Work files removed when the process is ended by a signal.
//
// A program that writes a temporary file and then renames it into place
// leaves the file behind when Ctrl-C or a kill ends it in between. The
// files registered here are unlinked by the handler of SIGINT, SIGTERM and
// SIGHUP, which then lets the signal end the process as it would have. The
// handler touches nothing but a fixed table of paths and calls only
// unlink(2), signal(2) and raise(3), all async-signal-safe; it goes
// straight to the system, past the file-system seam, whose objects are not
// safe in a handler.
#pragma once

#include <string>

namespace zem::platform {

// Installs the handler for SIGINT, SIGTERM and SIGHUP (a signal the process
// ignores stays ignored). Call once, early in main; without it the
// registrations below are kept but nothing acts on them.
void InstallSignalCleanup();

// One registered file for the lifetime of the object. FileName is
// Windows-style. The table has room for a few files at once (16); a file
// that finds no room, or whose name is too long, is simply not registered
// (the program's own failure path still removes it).
class TSignalCleanupFile {
 public:
  TSignalCleanupFile() = default;
  explicit TSignalCleanupFile(const std::string& FileName) { Register(FileName); }
  ~TSignalCleanupFile() { Release(); }
  TSignalCleanupFile(const TSignalCleanupFile&) = delete;
  TSignalCleanupFile& operator=(const TSignalCleanupFile&) = delete;

  // Registers FileName (releasing a file registered before).
  void Register(const std::string& FileName);
  // The file is no business of the handler any more: it was renamed into
  // place or removed.
  void Release();
  bool Registered() const { return FSlot >= 0; }

 private:
  int FSlot = -1;
};

}  // namespace zem::platform

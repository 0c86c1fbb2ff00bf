// Shared helpers for the unit tests: temporary folders, file utilities and
// a full disk.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/fault_file_system.h"

namespace zem::test {

// A fresh folder below the system's temporary folder, removed (with its
// contents, read-only ones included) when the object goes away.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::filesystem::path& Path() const { return FPath; }
  std::string Native() const { return FPath.string(); }
  // Path of a child (created folders as needed for WriteFile).
  std::filesystem::path operator/(const std::string& Rel) const { return FPath / Rel; }

 private:
  std::filesystem::path FPath;
};

// Writes Data to Path, creating parent folders.
void WriteFile(const std::filesystem::path& Path, const std::string& Data);
std::string ReadFile(const std::filesystem::path& Path);
// Runs a shell command; returns what it printed on standard output and sets
// Status to its wait status (-1 when it could not be started).
std::string RunCommand(const std::string& Command, int& Status);
// Whether a program of that name is on the PATH.
bool HaveTool(const std::string& Tool);
// The tab-separated columns of one line of a fixture table.
std::vector<std::string> SplitTabs(const std::string& Line);
// Bytes from hex digits; "-" (an empty cell of a fixture table) gives "".
std::string FromHex(const std::string& Hex);
// Deterministic pseudo-random bytes.
std::string RandomBytes(size_t Count, uint32_t Seed);

// A disk that is full at Bytes for every file written while the object
// lives: a write fails with ENOSPC once the file's position reaches Bytes,
// the bytes before it are written.
class TDiskFull {
 public:
  explicit TDiskFull(int64_t Bytes)
      : FId(FFault.Add({.Op = platform::TFsOp::Write, .Error = ENOSPC, .Offset = Bytes})),
        FGuard(FFault) {}
  // How many writes failed for want of room.
  int Fired() const { return FFault.Fired(FId); }

 private:
  platform::TFaultFileSystem FFault;
  int FId;
  platform::TFileSystemOverride FGuard;
};

// Whether this machine can open a pseudo-terminal at all (a chroot or a
// container without /dev/pts cannot); the terminal tests skip without one.
bool HavePseudoTerminal();

}  // namespace zem::test

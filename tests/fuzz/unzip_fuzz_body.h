// One run of the whole reader over arbitrary bytes, shared by the libFuzzer
// target and the replay test: the bytes are an archive that exists only in
// memory, served through the file-system seam under one path, and the
// reader lists it (rebuilding a damaged directory from its local headers)
// and tests every entry. Errors the component raises are expected; a crash,
// a sanitizer report or any other exception is a finding.
#pragma once

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "archive/reader/arc_unzip.h"
#include "platform/drives.h"
#include "platform/file_system.h"

namespace zem::fuzz {

// The Linux file system with one read-only file more, held in memory. Each
// open gives a descriptor of its own with its own position (the reader's
// workers open the archive again, and read at once).
class TMemoryArchiveFs : public platform::TLinuxFileSystem {
 public:
  static constexpr const char* kPath = "/zem-fuzz/in.zip";

  void SetData(const uint8_t* Data, size_t Size) {
    std::lock_guard<std::mutex> Hold(FLock);
    FData = Data;
    FSize = Size;
    FPositions.clear();
  }

  int Open(const std::string& Path, int Flags, mode_t Mode = 0) override {
    if (Path != kPath) return TLinuxFileSystem::Open(Path, Flags, Mode);
    if ((Flags & O_ACCMODE) != O_RDONLY) return Fail(EROFS);
    std::lock_guard<std::mutex> Hold(FLock);
    int Fd = kFd;
    while (FPositions.count(Fd) != 0) ++Fd;
    FPositions[Fd] = 0;
    return Fd;
  }
  int Close(int Fd) override {
    if (!Mine(Fd)) return TLinuxFileSystem::Close(Fd);
    std::lock_guard<std::mutex> Hold(FLock);
    return FPositions.erase(Fd) != 0 ? 0 : Fail(EBADF);
  }
  ssize_t Read(int Fd, void* Buffer, size_t Count) override {
    if (!Mine(Fd)) return TLinuxFileSystem::Read(Fd, Buffer, Count);
    std::lock_guard<std::mutex> Hold(FLock);
    const auto At = FPositions.find(Fd);
    if (At == FPositions.end()) return Fail(EBADF);
    size_t& Pos = At->second;
    const size_t N = Pos >= FSize ? 0 : std::min(Count, FSize - Pos);
    if (N > 0) std::memcpy(Buffer, FData + Pos, N);
    Pos += N;
    return static_cast<ssize_t>(N);
  }
  ssize_t Write(int Fd, const void* Buffer, size_t Count) override {
    return Mine(Fd) ? Fail(EBADF) : TLinuxFileSystem::Write(Fd, Buffer, Count);
  }
  off_t Seek(int Fd, off_t Offset, int Whence) override {
    if (!Mine(Fd)) return TLinuxFileSystem::Seek(Fd, Offset, Whence);
    std::lock_guard<std::mutex> Hold(FLock);
    const auto At = FPositions.find(Fd);
    if (At == FPositions.end()) return Fail(EBADF);
    const off_t Base = Whence == SEEK_CUR ? static_cast<off_t>(At->second)
                       : Whence == SEEK_END ? static_cast<off_t>(FSize)
                                            : 0;
    if (Offset < -Base) return Fail(EINVAL);
    At->second = static_cast<size_t>(Base + Offset);
    return static_cast<off_t>(At->second);
  }
  int Truncate(int Fd, off_t Size) override {
    return Mine(Fd) ? Fail(EBADF) : TLinuxFileSystem::Truncate(Fd, Size);
  }
  int Stat(const std::string& Path, struct stat& St) override {
    return Path == kPath ? Describe(St) : TLinuxFileSystem::Stat(Path, St);
  }
  int LStat(const std::string& Path, struct stat& St) override {
    return Path == kPath ? Describe(St) : TLinuxFileSystem::LStat(Path, St);
  }
  int FStat(int Fd, struct stat& St) override {
    return Mine(Fd) ? Describe(St) : TLinuxFileSystem::FStat(Fd, St);
  }
  int RealPath(const std::string& Path, std::string& Resolved) override {
    if (Path != kPath) return TLinuxFileSystem::RealPath(Path, Resolved);
    Resolved = Path;
    return 0;
  }
  int GetFatAttributes(int Fd, uint32_t& Attributes) override {
    return Mine(Fd) ? Fail(ENOTTY) : TLinuxFileSystem::GetFatAttributes(Fd, Attributes);
  }

 private:
  static constexpr int kFd = 1 << 20;  // above any real descriptor
  static bool Mine(int Fd) { return Fd >= kFd; }
  static int Fail(int Error) {
    errno = Error;
    return -1;
  }
  int Describe(struct stat& St) const {
    St = {};
    St.st_mode = S_IFREG | 0444;
    St.st_size = static_cast<off_t>(FSize);
    St.st_nlink = 1;
    St.st_ino = 1;
    return 0;
  }

  std::mutex FLock;
  const uint8_t* FData = nullptr;
  size_t FSize = 0;
  std::map<int, size_t> FPositions;  // open descriptor -> position
};

// Lists and tests Data as an archive; a damaged directory is rebuilt by the
// local-header scan, so both ways of reading are exercised. Returns the
// number of entries that tested good.
inline int32_t RunArchiveReader(const uint8_t* Data, size_t Size) {
  static TMemoryArchiveFs Fs;
  Fs.SetData(Data, Size);
  platform::TFileSystemOverride Guard(Fs);
  // C: is "/", so the archive's Windows-style name is the memory file; the
  // fake table spares each run the look at the machine's mounts.
  struct TTableGuard {
    std::unique_ptr<platform::TDriveTable> Previous =
        platform::InstallDriveTable(std::make_unique<platform::TFakeDriveTable>());
    ~TTableGuard() { platform::InstallDriveTable(std::move(Previous)); }
  } Table;
  TArcUnZip Zip;
  Zip.SetDoProcessMessages(false);
  Zip.SetIncompleteZipMode(izAssumeBad);
  Zip.SetPassword("fuzz");
  Zip.SetDoAll(true);
  Zip.SetRecreateDirs(true);
  try {
    Zip.SetZipName("C:\\zem-fuzz\\in.zip");
    Zip.ReadDirectory();
    return Zip.TestZip();
  } catch (const Exception&) {
    // The component refused the input: what it is for.
  }
  return 0;
}

}  // namespace zem::fuzz

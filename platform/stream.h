// Streams: the abstract stream, the handle-based file stream the platform
// opens files with, and a memory stream.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base.h"

namespace zem {

// Seek origins.
enum : int { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// File open modes. fmCreate creates (replacing a file of the same name) for
// reading and writing; any other value opens an existing file, with the
// access in the low two bits and the sharing above them. Sharing is
// advisory on Linux.
enum : uint16_t {
  fmCreate = 0xFFFF,
  // Creates a file that must not exist yet (the open fails when it does).
  fmCreateNew = 0xFFFE,
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareCompat = 0x0000,
  fmShareExclusive = 0x0010,
  fmShareDenyWrite = 0x0020,
  fmShareDenyRead = 0x0030,
  fmShareDenyNone = 0x0040,
  // With an open mode: the name's last component must not be a symbolic
  // link (the open fails, the last error telling of a link loop).
  fmOpenNoFollow = 0x0100,
};

// A platform file handle (a file descriptor on Linux); -1 is invalid.
using THandle = int;
constexpr THandle INVALID_HANDLE_VALUE = -1;

class TStream : public TObject {
 public:
  // Reads up to Count bytes; returns the number delivered (short at the end).
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  // Writes up to Count bytes; returns the number accepted.
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  // Moves to Offset relative to Origin (soBeginning, soCurrent, soEnd);
  // returns the new position.
  virtual int64_t Seek(int64_t Offset, int Origin) = 0;

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t Pos) { Seek(Pos, soBeginning); }
  // The size, found by seeking to the end and back.
  virtual int64_t Size();
  virtual void SetSize(int64_t NewSize);

  // Whole-buffer transfers: EReadError "Stream read error" or EWriteError
  // "Stream write error" when fewer bytes moved.
  void ReadBuffer(void* Buffer, int64_t Count);
  void WriteBuffer(const void* Buffer, int64_t Count);
  // Copies Count bytes from Source's position (Count 0: the whole of Source
  // from its start). Returns the number of bytes copied.
  int64_t CopyFrom(TStream& Source, int64_t Count);
};

// A stream over a platform handle. Does not own the handle.
class THandleStream : public TStream {
 public:
  explicit THandleStream(THandle AHandle) : FHandle(AHandle) {}
  THandle Handle() const { return FHandle; }
  // A short count means the end of the file or a read error; ReadError
  // tells which.
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, int Origin) override;
  void SetSize(int64_t NewSize) override;
  // A regular file's size from its status; other files by seeking.
  int64_t Size() override;

  // The error code (as GetLastError gives it) of the first Read that ended
  // short because the system refused the read, not at the end of the file;
  // 0 when no read failed since the stream was made or the error cleared.
  // Sticky: seeking does not clear it.
  uint32_t ReadError() const { return FReadError; }
  void ClearReadError() { FReadError = 0; }

 protected:
  THandle FHandle;
  uint32_t FReadError = 0;
  // Where the descriptor stands, kept from the stream's own reads, writes
  // and seeks so that asking for the position needs no system call; -1
  // when not known (the system is asked). Whoever moves the descriptor
  // by other means sets it to -1.
  int64_t FPosition = -1;
};

// A file opened or created by its Windows-style name. Raises EFOpenError
// "Cannot open file "%s": %s" or EFCreateError "Cannot create file "%s": %s"
// with the file's Linux path (the name as given when it has none) and the
// system's reason (strerror: "Is a directory" for a folder). Closes the file when
// destroyed.
class TFileStream : public THandleStream {
 public:
  TFileStream(const std::string& AFileName, uint16_t Mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;
  const std::string& FileName() const { return FFileName; }
  // The file's status as the open found it.
  const struct stat& OpenedStatus() const { return FOpened; }

 private:
  std::string FFileName;
  struct stat FOpened {};
};

// A growable stream in memory.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string Data) : FData(std::move(Data)) {}
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, int Origin) override;
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }
  void SetSize(int64_t NewSize) override;
  const std::string& Data() const { return FData; }
  std::string& Data() { return FData; }
  void Clear() { FData.clear(); FPosition = 0; }

 private:
  std::string FData;
  int64_t FPosition = 0;
};

}  // namespace zem

// A buffered file stream that opens and owns the file behind its buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "archive/support/buffer_stream.h"
#include "platform/stream.h"

namespace zem {

namespace detail {
// Holds the file so that it is created before the buffered part is set up
// over it and closed only after the buffered part has written what it
// still holds (base classes are destroyed in reverse order).
struct TOwnedFile {
  std::unique_ptr<TFileStream> FFile;
};
}  // namespace detail

// Every archive file and every file being zipped or extracted is reached
// through this stream.
class TLFNFileStream : private detail::TOwnedFile, public TS_BufferStream {
 public:
  // Opens FileName with Mode (fmCreate creates it, replacing a file of that
  // name; any other value opens an existing file with the access in the low
  // two bits and the sharing above them) behind a buffer of BufferSize
  // bytes. SyncOnClose is set when FlushOnClose is true and the mode can
  // write (fmCreate, or access bits not 0). Raises EFOpenError
  // "Cannot open file "%s". %s" or EFCreateError "Cannot create file "%s". %s"
  // when the file cannot be opened or created.
  TLFNFileStream(const std::string& FileName, uint16_t Mode, bool FlushOnClose, int BufferSize);
  // Writes what is still buffered (and, with SyncOnClose, has the system
  // flush the file), then closes the file.
  ~TLFNFileStream() override = default;

  // The platform handle of the open file, for calls such as setting its time.
  THandle Handle() const { return FFile->Handle(); }
  const std::string& FileName() const { return FFile->FileName(); }
  // The file's status as the open found it.
  const struct stat& OpenedStatus() const { return FFile->OpenedStatus(); }
  // The file's read error (THandleStream::ReadError): tells a short read at
  // the end of the file from one the system cut short.
  uint32_t ReadError() const { return FFile->ReadError(); }
  // True when Mode opens a file for writing.
  static bool ModeWrites(uint16_t Mode) { return Mode == fmCreate || (Mode & 3) != 0; }
};

}  // namespace zem

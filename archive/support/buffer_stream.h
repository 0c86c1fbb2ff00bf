// A buffered stream: one memory buffer in front of another stream, so that
// many small reads and writes reach the other stream in large blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/stream.h"

namespace zem {

// Readable, writable and seekable with 64-bit positions, over a Source it
// does not own (Source must outlive the stream and must not be null).
//
// The logical position is Source's position plus the buffered offset: while
// reading, minus the bytes read ahead and not yet delivered; while writing,
// plus the bytes pending; 0 when the buffer is empty. Pending writes reach
// Source only at a flush: when the buffer is full, before a read, on a seek
// that moves, and on Close or destruction.
//
// Errors: Seek raises Exception "\x18Invalid seek origin (%d)" for an origin
// other than 0, 1, 2, and Exception "\nSeek error" when pending writes could
// not be flushed; PutBack raises EStreamError "\x10Putback overflow". Errors
// of Source pass through.
class TS_BufferStream : public TStream {
 public:
  enum TBufferState : uint8_t { BufferEmpty = 0, BufferReading = 1, BufferWriting = 2 };

  // A buffer of BufferSize bytes (at least 1; smaller values count as 1).
  TS_BufferStream(TStream* ASource, int ABufferSize);
  // Close, with its errors swallowed (a destructor cannot report them):
  // callers that must know whether the last bytes arrived call Close first.
  ~TS_BufferStream() override;
  TS_BufferStream(const TS_BufferStream&) = delete;
  TS_BufferStream& operator=(const TS_BufferStream&) = delete;

  // Delivers up to Count bytes; a short count means the end of Source.
  int64_t Read(void* Buffer, int64_t Count) override;
  // Accepts up to Count bytes; a short count means Source refused bytes
  // (the bytes of a failed flush are lost).
  int64_t Write(const void* Buffer, int64_t Count) override;
  // Origin 0 from the start, 1 from the logical position, 2 from the end,
  // where the end is the larger of Source's size and the logical position
  // and the offset's sign is ignored (-n and n both mean n before the end).
  // A seek to the current position has no side effect (pending writes stay
  // pending). With SeekWithinBuffer set, a seek that lands inside the bytes
  // last read ahead moves within them and reads nothing again. Returns the
  // new position.
  int64_t Seek(int64_t Offset, int Origin) override;
  // Setting the size has no effect on a buffered stream.
  void SetSize(int64_t) override {}

  // Reads up to BufferSize bytes from Source into the buffer's start; true
  // when at least one byte came (then BufferReading, else BufferEmpty).
  // Pending writes are flushed first. Calls BufferFilled.
  virtual bool FillBuffer();
  // Writes the pending bytes to Source and empties the buffer whatever
  // happens; true when Source took all of them. Calls BufferFlushed.
  // Called while reading, it drops the read-ahead and puts Source back at
  // the logical position (read-ahead is never written back).
  virtual bool FlushBuffer();
  // Steps back one byte in the read buffer and stores Value there, so the
  // next Read delivers it first. Only possible after a Read that delivered
  // at least one byte since the last refill, seek or write; otherwise raises
  // EStreamError "\x10Putback overflow" and changes nothing.
  virtual void PutBack(uint8_t Value);
  // Call OnBufferFilled / OnBufferFlushed when set.
  virtual void BufferFilled();
  virtual void BufferFlushed();

  // Flushes pending writes and, when SyncOnClose is set and something was
  // written, asks the operating system to flush Source's handle (when
  // Source is a THandleStream). Returns true when every pending byte
  // reached Source and the OS flush (if any) succeeded. The stream stays
  // usable. A subclass that owns its Source calls this in its own
  // destructor, before the Source goes.
  bool Close();

  TStream* Source() const { return FSource; }
  int BufferSize() const { return FBufferSize; }
  TBufferState State() const { return FState; }
  bool SyncOnClose() const { return FSyncOnClose; }
  void SetSyncOnClose(bool Value) { FSyncOnClose = Value; }
  // Seeks inside the read buffer keep it (off by default: a buffer over a
  // file that someone else writes could then serve bytes already replaced;
  // set it on streams over files that only this stream reads).
  bool SeekWithinBuffer() const { return FSeekWithinBuffer; }
  void SetSeekWithinBuffer(bool Value) { FSeekWithinBuffer = Value; }
  // At least one Write happened.
  bool HasWritten() const { return FHasWritten; }

  std::function<void(TS_BufferStream* Sender)> OnBufferFilled;
  std::function<void(TS_BufferStream* Sender)> OnBufferFlushed;

 protected:
  // Bytes read ahead (negative or 0) or pending (positive).
  int64_t BufferedOffset() const;

  TStream* FSource;
  std::unique_ptr<uint8_t[]> FBuffer;
  int FCurrent = -1;  // index of the next byte to read or write; -1: none
  int FEnd;           // reading: end of the bytes read; writing: BufferSize
  int FBufferSize;
  TBufferState FState = BufferEmpty;
  bool FSyncOnClose = false;
  bool FHasWritten = false;
  bool FNeedsSync = false;  // written since the last OS flush
  bool FSeekWithinBuffer = false;
  int FPutBackFloor = 0;    // PutBack may not step below this index
  bool FPutBackUsed = false;  // the read buffer holds a put-back byte
};

}  // namespace zem

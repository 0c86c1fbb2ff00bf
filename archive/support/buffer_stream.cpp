// The buffered stream in front of archive files and the files being packed
// or extracted.
#include "archive/support/buffer_stream.h"

#include <algorithm>
#include <cstring>

#include "platform/winapi.h"

namespace zem {

// Design: small transfers and large ones.
//
// Archive work mixes header-sized transfers (a 4-byte signature, a 30- or
// 46-byte header, single cipher bytes) with bulk data (whole files of a
// card of many gigabytes). Small transfers are memory copies into or out of
// the buffer, which reaches Source once per BufferSize bytes.
//
// Bulk transfers would gain nothing from that copy, so a Read or Write of
// at least BufferSize bytes goes straight to Source at the moment the
// buffer holds nothing pending for it: a Read first delivers whatever
// read-ahead the buffer still has, a Write first fills and flushes a
// partly filled buffer; what is left (when still at least BufferSize) then
// moves in one Source call. The bytes that land, the positions and the
// counts are the same as copying BufferSize bytes at a time.
//
// PutBack must keep working after any Read that delivered a byte, so a
// pass-through Read copies the last min(delivered, BufferSize) bytes it
// delivered into the buffer and leaves the stream in BufferReading with
// current = end, exactly as if those bytes had come through a refill.
// That copy is at most BufferSize bytes per call and counts as a refill
// (BufferFilled is called). A pass-through Write leaves the buffer empty,
// as a flush would.
//
// Invariants: in BufferReading, 0 <= current <= end <= BufferSize and the
// bytes [current, end) are Source's next bytes (Source stands at end); in
// BufferWriting, 0 < current <= BufferSize and [0, current) are pending for
// Source's position; in BufferEmpty nothing is buffered and the logical
// position is Source's.

TS_BufferStream::TS_BufferStream(TStream* ASource, int ABufferSize)
    : FSource(ASource), FBufferSize(std::max(ABufferSize, 1)) {
  FBuffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(FBufferSize));
  FEnd = FBufferSize;
}

TS_BufferStream::~TS_BufferStream() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; Close is there for callers that care.
  }
}

int64_t TS_BufferStream::BufferedOffset() const {
  switch (FState) {
    case BufferReading: return static_cast<int64_t>(FCurrent) - FEnd;
    case BufferWriting: return FCurrent;
    default: return 0;
  }
}

bool TS_BufferStream::Close() {
  bool Ok = true;
  if (FState == BufferWriting) Ok = FlushBuffer();
  if (FSyncOnClose && FHasWritten && FNeedsSync) {
    FNeedsSync = false;
    if (auto* Handle = dynamic_cast<THandleStream*>(FSource))
      if (!platform::FlushFileBuffers(Handle->Handle())) Ok = false;
  }
  return Ok;
}

bool TS_BufferStream::FillBuffer() {
  // Pending writes would otherwise be overwritten by the read.
  if (FState == BufferWriting) FlushBuffer();
  int64_t N = std::max<int64_t>(FSource->Read(FBuffer.get(), FBufferSize), 0);
  FCurrent = 0;
  FEnd = static_cast<int>(N);
  FState = N > 0 ? BufferReading : BufferEmpty;
  FPutBackFloor = 0;
  FPutBackUsed = false;
  BufferFilled();
  return N > 0;
}

bool TS_BufferStream::FlushBuffer() {
  bool Ok = true;
  if (FState == BufferWriting && FCurrent > 0) {
    Ok = FSource->Write(FBuffer.get(), FCurrent) == FCurrent;
  } else if (FState == BufferReading && FCurrent != FEnd) {
    // Dropping read-ahead: bring Source back to the logical position so
    // the position does not jump forward.
    FSource->Seek(FSource->Seek(0, soCurrent) + BufferedOffset(), soBeginning);
  }
  FCurrent = 0;
  FState = BufferEmpty;
  BufferFlushed();
  return Ok;
}

void TS_BufferStream::PutBack(uint8_t Value) {
  // Only read-ahead bytes may be replaced: stepping back over pending
  // writes would drop a written byte.
  if (FState != BufferReading || FCurrent <= FPutBackFloor) throw EStreamError("\x10Putback overflow");
  FBuffer[--FCurrent] = Value;
  FPutBackUsed = true;
}

void TS_BufferStream::BufferFilled() {
  if (OnBufferFilled) OnBufferFilled(this);
}

void TS_BufferStream::BufferFlushed() {
  if (OnBufferFlushed) OnBufferFlushed(this);
}

int64_t TS_BufferStream::Read(void* Buffer, int64_t Count) {
  if (FState == BufferWriting) FlushBuffer();
  auto* Dest = static_cast<uint8_t*>(Buffer);
  int64_t Total = 0;
  while (Count > 0) {
    int64_t Avail = FState == BufferReading ? FEnd - FCurrent : 0;
    if (Avail <= 0) {
      if (Count >= FBufferSize) {
        int64_t N = std::max<int64_t>(FSource->Read(Dest, Count), 0);
        // Keep the tail delivered as read-ahead consumed, for PutBack.
        int Keep = static_cast<int>(std::min<int64_t>(N, FBufferSize));
        if (Keep > 0) std::memcpy(FBuffer.get(), Dest + N - Keep, static_cast<size_t>(Keep));
        FCurrent = Keep;
        FEnd = Keep;
        FState = Keep > 0 ? BufferReading : BufferEmpty;
        FPutBackFloor = 0;
        FPutBackUsed = false;
        BufferFilled();
        if (N == 0) break;
        Dest += N;
        Total += N;
        Count -= N;
        // A short read is the end of the source (or its read error): asking
        // again would only be told so once more.
        if (Count > 0) break;
        continue;
      }
      if (!FillBuffer()) break;
      Avail = FEnd - FCurrent;
    }
    int64_t N = std::min(Count, Avail);
    std::memcpy(Dest, FBuffer.get() + FCurrent, static_cast<size_t>(N));
    FCurrent += static_cast<int>(N);
    Dest += N;
    Total += N;
    Count -= N;
  }
  return Total;
}

int64_t TS_BufferStream::Write(const void* Buffer, int64_t Count) {
  if (FState == BufferReading) {
    int64_t Pos = FSource->Seek(0, soCurrent) + BufferedOffset();
    FSource->Seek(Pos, soBeginning);
    FState = BufferEmpty;
  }
  if (FState != BufferWriting) {
    FCurrent = 0;
    FEnd = FBufferSize;
  }
  auto* Src = static_cast<const uint8_t*>(Buffer);
  int64_t Total = 0;
  while (Count > 0) {
    if (FCurrent == 0 && Count >= FBufferSize) {
      Total += std::max<int64_t>(FSource->Write(Src, Count), 0);
      break;  // all taken, or Source refused the rest
    }
    int64_t N = std::min<int64_t>(Count, FEnd - FCurrent);
    std::memcpy(FBuffer.get() + FCurrent, Src, static_cast<size_t>(N));
    FCurrent += static_cast<int>(N);
    Src += N;
    Total += N;
    Count -= N;
    if (FCurrent == FEnd && !FlushBuffer()) {
      // The chunk just copied did not arrive: leave it out of the count so
      // the caller always sees a short write, even on the last chunk.
      Total -= N;
      break;
    }
  }
  if (FCurrent > 0) FState = BufferWriting;
  FHasWritten = true;
  FNeedsSync = true;
  return Total;
}

int64_t TS_BufferStream::Seek(int64_t Offset, int Origin) {
  if (Origin < soBeginning || Origin > soEnd)
    throw Exception(Format("\x18Invalid seek origin (%d)", Origin));
  int64_t Cur = FSource->Seek(0, soCurrent) + BufferedOffset();
  int64_t Target;
  if (Origin == soBeginning) {
    Target = Offset;
  } else if (Origin == soCurrent) {
    Target = Cur + Offset;
  } else {
    // Pending writes beyond Source's end count towards the size; the sign
    // of the offset does not matter from the end.
    int64_t Size = std::max(FSource->Size(), Cur);
    int64_t Back = Offset == INT64_MIN ? INT64_MAX : (Offset < 0 ? -Offset : Offset);
    Target = Size - Back;
  }
  if (Target == Cur) return Cur;
  if (FSeekWithinBuffer && FState == BufferReading && !FPutBackUsed) {
    // Source stands at the end of the read-ahead: the buffer holds the
    // bytes from Start on, and both stay as they are.
    const int64_t Start = Cur - FCurrent;
    if (Target >= Start && Target <= Start + FEnd) {
      FCurrent = static_cast<int>(Target - Start);
      FPutBackFloor = FCurrent;
      return Target;
    }
  }
  if (FState == BufferWriting && !FlushBuffer()) throw Exception("\nSeek error");
  int64_t NewPos = FSource->Seek(Target, soBeginning);
  FCurrent = -1;
  FState = BufferEmpty;
  return NewPos;
}

}  // namespace zem

// Little-endian values in byte buffers: plain loads and stores, a writer
// that appends to a byte string, and a bounded reader over a record image.
//
// Every multi-byte value in a zip archive is little-endian. The loads and
// stores never look past the width they name; the caller has checked the
// room. TRecordReader does the checking itself: a read that would go past
// the end of its buffer marks the reader bad and answers 0 (or nullptr),
// and every later read does the same, so a decoder reads a whole record
// and checks Ok() once at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/stream.h"

namespace zem {

// ---- Loads and stores ----------------------------------------------------------

inline uint16_t GetLE16(const uint8_t* P) { return static_cast<uint16_t>(P[0] | (P[1] << 8)); }
inline uint32_t GetLE32(const uint8_t* P) {
  return static_cast<uint32_t>(P[0]) | (static_cast<uint32_t>(P[1]) << 8) |
         (static_cast<uint32_t>(P[2]) << 16) | (static_cast<uint32_t>(P[3]) << 24);
}
inline uint64_t GetLE64(const uint8_t* P) {
  return static_cast<uint64_t>(GetLE32(P)) | (static_cast<uint64_t>(GetLE32(P + 4)) << 32);
}

inline void PutLE16(uint8_t* P, uint16_t V) {
  P[0] = static_cast<uint8_t>(V & 0xFF);
  P[1] = static_cast<uint8_t>(V >> 8);
}
inline void PutLE32(uint8_t* P, uint32_t V) {
  PutLE16(P, static_cast<uint16_t>(V & 0xFFFF));
  PutLE16(P + 2, static_cast<uint16_t>(V >> 16));
}
inline void PutLE64(uint8_t* P, uint64_t V) {
  PutLE32(P, static_cast<uint32_t>(V & 0xFFFFFFFFu));
  PutLE32(P + 4, static_cast<uint32_t>(V >> 32));
}

// ---- Writing records --------------------------------------------------------------

// Appends little-endian values to a byte string (a record image made aside
// and written with one WriteBuffer).
class TRecordWriter {
 public:
  void U16(uint16_t V) {
    uint8_t B[2];
    PutLE16(B, V);
    Raw(B, 2);
  }
  void U32(uint32_t V) {
    uint8_t B[4];
    PutLE32(B, V);
    Raw(B, 4);
  }
  void U64(uint64_t V) {
    uint8_t B[8];
    PutLE64(B, V);
    Raw(B, 8);
  }
  void Raw(const std::string& S) { FBytes += S; }
  void Raw(const uint8_t* P, size_t N) { FBytes.append(reinterpret_cast<const char*>(P), N); }

  const std::string& Bytes() const { return FBytes; }
  // Writes what was gathered to Stream (raising as WriteBuffer does).
  void WriteTo(TStream& Stream) const {
    Stream.WriteBuffer(FBytes.data(), static_cast<int64_t>(FBytes.size()));
  }

 private:
  std::string FBytes;
};

// ---- Reading records ---------------------------------------------------------------

// A bounded cursor over Size bytes at Data (not owned). Reads past the end
// make the reader bad for good: they and all later reads answer 0 or
// nullptr and move nothing.
class TRecordReader {
 public:
  TRecordReader(const uint8_t* Data, size_t Size) : FData(Data), FSize(Size) {}

  uint8_t U8() {
    const uint8_t* P = Take(1);
    return P ? P[0] : 0;
  }
  uint16_t U16() {
    const uint8_t* P = Take(2);
    return P ? GetLE16(P) : 0;
  }
  uint32_t U32() {
    const uint8_t* P = Take(4);
    return P ? GetLE32(P) : 0;
  }
  uint64_t U64() {
    const uint8_t* P = Take(8);
    return P ? GetLE64(P) : 0;
  }
  // The next N bytes, or nullptr (and bad) when fewer are left.
  const uint8_t* Bytes(size_t N) { return Take(N); }
  void Skip(size_t N) { Take(N); }

  // False once any read went past the end.
  bool Ok() const { return !FBad; }
  // Bytes read so far, and bytes left (0 once bad).
  size_t Offset() const { return FPos; }
  size_t Left() const { return FBad ? 0 : FSize - FPos; }

 private:
  const uint8_t* Take(size_t N) {
    if (FBad || N > FSize - FPos) {
      FBad = true;
      return nullptr;
    }
    const uint8_t* P = FData + FPos;
    FPos += N;
    return P;
  }

  const uint8_t* FData;
  size_t FSize;
  size_t FPos = 0;
  bool FBad = false;
};

// Reads as many of Count bytes as the stream has; returns the number read.
// Errors raised by the stream pass through.
int64_t ReadUpTo(TStream& Stream, void* Buffer, int64_t Count);

}  // namespace zem

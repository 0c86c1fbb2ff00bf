// Reading local headers: the one place that takes the 30 fixed bytes in
// front of an entry's data apart and checks their signature.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archive/format/zip_signatures.h"
#include "platform/stream.h"

namespace zem {

// The fixed part of a local header, decoded, and the name when asked for.
struct TLocalHeader {
  uint16_t VersionNeeded = 0;
  uint16_t Flags = 0;
  uint16_t CompressionMethod = 0;
  uint32_t FileDateTime = 0;  // DOS time low, DOS date high, as stored
  uint32_t Crc32 = 0;
  uint32_t CompressedSize = 0;  // header images: 0xFFFFFFFF means Zip64
  uint32_t UncompressedSize = 0;
  uint16_t FileNameLength = 0;
  uint16_t ExtraLength = 0;
  std::string Name;  // the stored bytes (with '/'), only with WithName

  // The whole header: fixed part, name and extra field. The entry's data
  // (or its encryption header) starts this far from the header.
  uint32_t Size() const { return ZipLocalHeaderSize + FileNameLength + ExtraLength; }
};

enum class TLocalRead {
  Ok,
  Short,        // the source ended inside the fixed part or the name
  NoSignature,  // 30 bytes were there, but not a local header's
};

// Reads up to Count bytes into Buffer and answers how many it read; it may
// raise instead of answering short (the caller's failure then passes
// through untouched).
using TLocalSource = std::function<int64_t(uint8_t* Buffer, int64_t Count)>;

// The data descriptor that follows the data of an entry written with flag
// bit 3 (whose local header leaves the CRC and sizes 0).
struct TDataDescriptor {
  uint32_t Crc32 = 0;
  uint64_t CompressedSize = 0;
  uint64_t UncompressedSize = 0;
  uint32_t Length = 0;  // on disk: 12 or 20 bytes, 4 more with the signature
};

// Whether the bytes just before some position P close an entry's data with
// a data descriptor. Tail holds the TailLength bytes right before P (at
// most 24 are looked at); Span is the distance from the start of the
// entry's data to P, descriptor included. A descriptor counts only when
// its compressed size is exactly the data before it (Span less its own
// length). The four forms are tried signed before unsigned, and the Zip64
// ones (64-bit sizes) first when Zip64 is set, last otherwise.
bool MatchDataDescriptor(const uint8_t* Tail, size_t TailLength, uint64_t Span, bool Zip64,
                         TDataDescriptor& Out);

// Reads the fixed part from Source, checks the signature and decodes it;
// with WithName the stored name follows. After Ok the source stands at the
// extra field (after the name) or at the name (without WithName); after a
// failure it stands wherever the reads left it.
TLocalRead ReadLocalHeader(const TLocalSource& Source, TLocalHeader& Out, bool WithName = false);
// The same from the stream's position, reading what the stream has.
TLocalRead ReadLocalHeader(TStream& Stream, TLocalHeader& Out, bool WithName = false);

}  // namespace zem

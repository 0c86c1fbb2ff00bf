// Decoders of the legacy zip methods: shrunk (1), reduced (2 to 5) and imploded (6).
//
// Each decoder owns its work area (allocated once, in the constructor, and
// reused for every entry) and works only on the source and sink it is
// given. Whatever the input, the decoders stay inside their tables and
// window and every loop either consumes input or produces output bounded by
// the size asked for; corrupt data ends the entry with a result other than
// drOk. Exceptions raised by the sink pass through unchanged.
#pragma once

#include <cstdint>
#include <memory>

#include "archive/reader/decoder_io.h"

namespace zem {

// Method 1: dynamic LZW with partial clearing, codes of 9 to 13 bits.
class TShrinkDecoder {
 public:
  static constexpr unsigned kMaxCodeBits = 13;
  static constexpr unsigned kTableSize = 1u << kMaxCodeBits;  // codes 0..8191
  static constexpr unsigned kControlCode = 256;
  static constexpr unsigned kFirstFreeCode = 257;

  TShrinkDecoder();
  ~TShrinkDecoder();

  // Decodes until a code is needed and the compressed bytes are used up;
  // every decoded byte goes to Sink (in chunks of up to 32768 bytes).
  // Returns drOk at that end, drBadData when the data asks for codes wider
  // than 13 bits, uses an unknown control subcode, starts with a code that
  // is no literal, or refers to strings that cannot exist.
  TDecodeResult Decode(TDecodeSource& Source, TDecodeSink& Sink);

 private:
  struct TWork;
  std::unique_ptr<TWork> FWork;
};

// Methods 2 to 5: follower sets, then the DLE (144) run/match machine over a
// 16384-byte window.
class TReduceDecoder {
 public:
  static constexpr unsigned kWindowSize = 16384;
  static constexpr uint8_t kDLE = 144;

  TReduceDecoder();
  ~TReduceDecoder();

  // Decodes until UncompressedSize bytes have been produced (drOk) or the
  // compressed bytes run out first (drInputEnded). Factor is the compression
  // factor, method - 1, from 1 to 4 (anything else gives drBadData). An
  // index past the end of a follower set is drBadData. Matches reaching
  // before the start of the data copy zero bytes.
  TDecodeResult Decode(TDecodeSource& Source, TDecodeSink& Sink, int Factor, uint64_t UncompressedSize);

 private:
  struct TWork;
  std::unique_ptr<TWork> FWork;
};

// Method 6: Shannon-Fano coded LZ77 with two or three trees and a 4 KB or
// 8 KB dictionary, over a 32768-byte window.
class TImplodeDecoder {
 public:
  static constexpr unsigned kWindowSize = 32768;
  static constexpr uint16_t kFlag8KDictionary = 0x0002;  // general purpose bit 1
  static constexpr uint16_t kFlagThreeTrees = 0x0004;    // general purpose bit 2
  // Above this compressed size the distance tree gets an 8-bit lookup.
  static constexpr uint64_t kWideDistanceLookupSize = 200000;

  TImplodeDecoder();
  ~TImplodeDecoder();

  // Decodes until UncompressedSize bytes have been produced (drOk) or the
  // compressed bytes run out first (drInputEnded). Flags is the entry's
  // general purpose bit flag; CompressedSize only chooses the distance
  // lookup width. Trees whose lengths do not add up to the tree's size, or
  // that do not form a complete prefix code, give drBadData; a table that
  // does not fit its reserved space gives drNoMemory.
  TDecodeResult Decode(TDecodeSource& Source, TDecodeSink& Sink, uint16_t Flags, uint64_t CompressedSize,
                       uint64_t UncompressedSize);

 private:
  struct TWork;
  std::unique_ptr<TWork> FWork;
};

}  // namespace zem

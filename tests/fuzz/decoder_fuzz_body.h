// Shared bodies of the entry decoder fuzz targets, also replayed by the
// reader unit tests over the saved regression inputs.
//
// Each body feeds arbitrary bytes to one decoder in pieces of a size taken
// from the input, with a sink that stops runaway output, and aborts when a
// decoder breaks one of its promises (more bytes than asked for).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/reader/inflate_decoder.h"
#include "archive/reader/legacy_decoders.h"

namespace zem::fuzz {

// Counts what a decoder produces; raises TOutputLimit past Limit bytes, as
// the extraction engine raises when an entry outgrows its announced size.
struct TOutputLimit {};
class TCountingSink : public TDecodeSink {
 public:
  explicit TCountingSink(uint64_t Limit) : FLimit(Limit) {}
  void Put(const uint8_t* Data, size_t Count) override {
    if (Count == 0 || Data == nullptr) std::abort();  // chunks are never empty
    FTotal += Count;
    for (size_t I = 0; I < Count; ++I) FHash = (FHash ^ Data[I]) * 0x100000001B3ull;  // FNV-1a
    if (FTotal > FLimit) throw TOutputLimit{};
  }
  uint64_t Total() const { return FTotal; }
  uint64_t Hash() const { return FHash; }

 private:
  uint64_t FLimit;
  uint64_t FTotal = 0;
  uint64_t FHash = 0xCBF29CE484222325ull;
};

constexpr uint64_t kFuzzOutputLimit = 4u << 20;

// Pieces of 1 to 256 bytes, or whole 32768-byte blocks, chosen by Selector.
inline size_t FuzzBlockSize(uint8_t Selector) { return Selector >= 0xC0 ? 32768 : size_t(Selector) + 1; }

// Input: [block size selector] [shrunk data...]
inline void FuzzShrinkOne(const uint8_t* Data, size_t Size) {
  if (Size < 1) return;
  static TShrinkDecoder decoder;
  TMemorySource source(Data + 1, Size - 1, FuzzBlockSize(Data[0]));
  TCountingSink sink(kFuzzOutputLimit);
  try {
    decoder.Decode(source, sink);
  } catch (const TOutputLimit&) {
  }
}

// Input: [factor selector] [size lo] [size hi] [block size] [reduced data...]
inline void FuzzReduceOne(const uint8_t* Data, size_t Size) {
  if (Size < 4) return;
  static TReduceDecoder decoder;
  int factor = Data[0] % 4 + 1;
  uint64_t want = (uint64_t(Data[1]) | uint64_t(Data[2]) << 8) << 4;
  TMemorySource source(Data + 4, Size - 4, FuzzBlockSize(Data[3]));
  TCountingSink sink(~uint64_t(0));
  decoder.Decode(source, sink, factor, want);
  if (sink.Total() > want) std::abort();
}

// Input: [flags: bit 0 wide distance lookup, bits 1-2 as the entry flags]
//        [size lo] [size hi] [block size] [imploded data...]
inline void FuzzImplodeOne(const uint8_t* Data, size_t Size) {
  if (Size < 4) return;
  static TImplodeDecoder decoder;
  uint16_t flags = Data[0] & 0x06;
  uint64_t compressed = (Data[0] & 1) ? 300000 : Size - 4;
  uint64_t want = (uint64_t(Data[1]) | uint64_t(Data[2]) << 8) << 4;
  TMemorySource source(Data + 4, Size - 4, FuzzBlockSize(Data[3]));
  TCountingSink sink(~uint64_t(0));
  decoder.Decode(source, sink, flags, compressed, want);
  if (sink.Total() > want) std::abort();
}

// Input: [block size selector] [raw deflate data...]
// Both engines take the same bytes; a stream both accept must give the same
// output in both.
inline void FuzzInflateOne(const uint8_t* Data, size_t Size) {
  if (Size < 1) return;
  static TInflateDecoder decoders[2] = {TInflateDecoder(TDeflateEngine::deAuto),
                                        TInflateDecoder(TDeflateEngine::deZlib)};
  TDecodeResult results[2];
  uint64_t totals[2], hashes[2];
  for (int i = 0; i < 2; ++i) {
    TMemorySource source(Data + 1, Size - 1, FuzzBlockSize(Data[0]));
    TCountingSink sink(kFuzzOutputLimit);
    try {
      results[i] = decoders[i].Decode(source, sink);
    } catch (const TOutputLimit&) {
      results[i] = TDecodeResult::drBadData;
    }
    totals[i] = sink.Total();
    hashes[i] = sink.Hash();
  }
  if (results[0] == TDecodeResult::drOk && results[1] == TDecodeResult::drOk &&
      (totals[0] != totals[1] || hashes[0] != hashes[1]))
    std::abort();
}

}  // namespace zem::fuzz

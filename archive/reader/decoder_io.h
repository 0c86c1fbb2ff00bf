// Byte source, output sink and LSB-first bit reader shared by the entry decoders.
//
// The decoders do no I/O of their own: the extraction engine hands them the
// compressed bytes of one entry block by block (already decrypted) through a
// TDecodeSource and takes the produced bytes through a TDecodeSink. Neither
// interface is called per byte: sources hand out whole blocks, sinks take
// whole window chunks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zem {

// Outcome of decoding one entry. Anything but drOk means the entry failed.
enum class TDecodeResult {
  drOk,          // the data ended where it should
  drInputEnded,  // the compressed bytes ran out before the data was complete
  drBadData,     // the compressed data is corrupt (bad tree, code, stream)
  drNoMemory,    // a decoding table did not fit the space reserved for it
};

// Hands out the compressed bytes of one entry.
class TDecodeSource {
 public:
  virtual ~TDecodeSource() = default;
  // Sets Data to the next block of compressed bytes and returns its length.
  // The block stays valid until the next call. Returns 0 once the compressed
  // bytes are used up; the decoders do not call again after that.
  virtual size_t NextBlock(const uint8_t*& Data) = 0;
};

// Takes the decoded bytes of one entry. Put may raise (a full disk, more
// bytes than the entry announced); the decoders leave no resources behind
// when it does.
class TDecodeSink {
 public:
  virtual ~TDecodeSink() = default;
  virtual void Put(const uint8_t* Data, size_t Count) = 0;
};

// A source over one memory block, handed out in pieces of at most BlockSize
// bytes (tests use small pieces to cross block edges at every position).
class TMemorySource : public TDecodeSource {
 public:
  TMemorySource(const void* Data, size_t Count, size_t BlockSize = 32768)
      : FData(static_cast<const uint8_t*>(Data)), FLeft(Count), FBlock(BlockSize ? BlockSize : 1) {}
  size_t NextBlock(const uint8_t*& Data) override {
    size_t n = FLeft < FBlock ? FLeft : FBlock;
    Data = FData;
    FData += n;
    FLeft -= n;
    return n;
  }

 private:
  const uint8_t* FData;
  size_t FLeft;
  size_t FBlock;
};

// Bits of the compressed data, least significant bit of each byte first.
//
// Meant to live as a local of a decoding loop so that the accumulator stays
// in registers; only a refill of the byte block leaves the inline path. Past
// the end of the compressed bytes Need() supplies zero bits and counts them
// as missing: a decoder asks Overrun() after each symbol and stops when it
// has consumed a bit that was never there. That keeps every loop bounded by
// the input length even on crafted data.
class TBitReader {
 public:
  explicit TBitReader(TDecodeSource& Source) : FSource(&Source) {}

  // The next whole byte of the source (the bit buffer is not touched), or -1
  // when the compressed bytes are used up.
  int NextByte() {
    if (FNext == FEnd && !Refill()) return -1;
    return *FNext++;
  }

  // Makes at least N bits (N <= 24) available, padding with missing zero
  // bits past the end of the data.
  void Need(unsigned N) {
    while (FBits < N) {
      int c = NextByte();
      if (c < 0) {
        c = 0;
        FMissing += 8;
      }
      FHold |= static_cast<uint32_t>(c) << FBits;
      FBits += 8;
    }
  }

  // Makes at least N bits (N <= 24) available from real bytes only; false
  // when the data ends first.
  bool Have(unsigned N) {
    while (FBits < N) {
      int c = NextByte();
      if (c < 0) return false;
      FHold |= static_cast<uint32_t>(c) << FBits;
      FBits += 8;
    }
    return true;
  }

  uint32_t Peek(unsigned N) const { return FHold & ((1u << N) - 1u); }
  void Drop(unsigned N) {
    FHold >>= N;
    FBits -= N;
  }
  uint32_t Take(unsigned N) {
    Need(N);
    uint32_t v = Peek(N);
    Drop(N);
    return v;
  }

  // True once a padding bit supplied past the end of the data has been
  // consumed (padding sits above every real bit in the accumulator).
  bool Overrun() const { return FMissing > FBits; }

 private:
  bool Refill() {
    if (FEnded) return false;
    const uint8_t* data = nullptr;
    size_t n = FSource->NextBlock(data);
    if (n == 0 || data == nullptr) {
      FEnded = true;
      return false;
    }
    FNext = data;
    FEnd = data + n;
    return true;
  }

  TDecodeSource* FSource;
  const uint8_t* FNext = nullptr;
  const uint8_t* FEnd = nullptr;
  uint32_t FHold = 0;
  unsigned FBits = 0;
  unsigned FMissing = 0;
  bool FEnded = false;
};

}  // namespace zem

// Raw inflate over a decoder source and sink.
#include "archive/reader/inflate_decoder.h"

#include <zlib.h>

#include <cstring>

namespace zem {

namespace {

// Ends zlib's state however the decoding loop is left.
struct TInflateGuard {
  z_stream* Stream;
  ~TInflateGuard() { inflateEnd(Stream); }
};

// zlib's text for a failure: its message when it left one.
std::string ZlibText(const z_stream& Stream, int Code) {
  if (Stream.msg != nullptr) return Stream.msg;
  const char* Text = zError(Code);
  return Text != nullptr ? Text : std::string();
}

}  // namespace

TInflateDecoder::TInflateDecoder() : FOut(new uint8_t[kOutSize]) {}
TInflateDecoder::~TInflateDecoder() = default;

TDecodeResult TInflateDecoder::Decode(TDecodeSource& Source, TDecodeSink& Sink) {
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  FZlibMessage.clear();
  FZlibCode = inflateInit2(&zs, -15);
  if (FZlibCode != Z_OK) FZlibMessage = ZlibText(zs, FZlibCode);
  if (FZlibCode != Z_OK) return FZlibCode == Z_MEM_ERROR ? TDecodeResult::drNoMemory : TDecodeResult::drBadData;
  TInflateGuard guard{&zs};

  zs.next_out = FOut.get();
  zs.avail_out = kOutSize;
  bool inputEnded = false;
  for (;;) {
    if (zs.avail_in == 0 && !inputEnded) {
      const uint8_t* data = nullptr;
      size_t n = Source.NextBlock(data);
      if (n == 0 || data == nullptr) {
        inputEnded = true;
      } else {
        // Blocks are at most a few tens of kilobytes; zlib counts in uInt.
        zs.next_in = const_cast<Bytef*>(data);
        zs.avail_in = static_cast<uInt>(n);
      }
    }
    // With no input left, zlib may still have output to give from what it
    // holds; once it can make no progress the stream is cut short.
    FZlibCode = inflate(&zs, Z_NO_FLUSH);
    bool ended = FZlibCode == Z_STREAM_END;
    if (FZlibCode < 0 && !(FZlibCode == Z_BUF_ERROR && inputEnded)) {
      FZlibMessage = ZlibText(zs, FZlibCode);
      size_t have = kOutSize - zs.avail_out;
      if (have) Sink.Put(FOut.get(), have);
      return FZlibCode == Z_MEM_ERROR ? TDecodeResult::drNoMemory : TDecodeResult::drBadData;
    }
    size_t have = kOutSize - zs.avail_out;
    if (zs.avail_out == 0 || ended || (inputEnded && have)) {
      if (have) Sink.Put(FOut.get(), have);
      zs.next_out = FOut.get();
      zs.avail_out = kOutSize;
    }
    if (ended) return TDecodeResult::drOk;
    if (inputEnded && (FZlibCode == Z_BUF_ERROR || have == 0)) return TDecodeResult::drInputEnded;
  }
}

}  // namespace zem

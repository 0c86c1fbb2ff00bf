// Method 8 decoder: raw deflate data through zlib's inflate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "archive/reader/decoder_io.h"

namespace zem {

// Inflates one entry's raw deflate stream (window bits -15: no zlib header,
// 32 KB window) from a source into a sink, 32768 output bytes at a time.
// The output buffer is allocated once per decoder object; zlib's own state
// lives only for one Decode call and is released on every way out,
// including an exception raised by the sink.
class TInflateDecoder {
 public:
  static constexpr size_t kOutSize = 32768;

  TInflateDecoder();
  ~TInflateDecoder();

  // Returns drOk when the deflate stream has ended (bytes after its end are
  // left unread), drInputEnded when the compressed bytes are used up before
  // that, drBadData when zlib reports an error (ZlibCode() then holds
  // zlib's negative result), drNoMemory when zlib cannot set up its state.
  TDecodeResult Decode(TDecodeSource& Source, TDecodeSink& Sink);

  // zlib's result that ended the last Decode call.
  int ZlibCode() const { return FZlibCode; }
  // zlib's own words for a failed Decode (its msg, or the name of its
  // result code when it gave none); empty after success.
  const std::string& ZlibMessage() const { return FZlibMessage; }

 private:
  std::unique_ptr<uint8_t[]> FOut;
  int FZlibCode = 0;
  std::string FZlibMessage;
};

}  // namespace zem

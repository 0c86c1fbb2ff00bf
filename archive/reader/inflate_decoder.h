// Method 8 decoder: raw deflate data through the inflate engine.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "archive/format/deflate_engine.h"
#include "archive/reader/decoder_io.h"

namespace zem {

// Inflates one entry's raw deflate stream (no zlib header, 32 KB window)
// from a source into a sink, 32768 output bytes at a time, through ISA-L or
// zlib as Engine says (see TInflater). The output buffer and the engine's
// state are made once per decoder object and reset for each Decode call;
// an exception raised by the sink leaves nothing behind.
class TInflateDecoder {
 public:
  static constexpr size_t kOutSize = 32768;

  explicit TInflateDecoder(TDeflateEngine Engine = DefaultDeflateEngine());
  ~TInflateDecoder();

  // Returns drOk when the deflate stream has ended (bytes after its end may
  // have been read but are not used), drInputEnded when the compressed
  // bytes are used up before that, drBadData when the engine finds the data
  // corrupt, drNoMemory when it cannot set up its state.
  TDecodeResult Decode(TDecodeSource& Source, TDecodeSink& Sink);

  // The engine's words for a failed Decode, after its name ("zlib: invalid
  // block type"); empty after success.
  const std::string& ErrorText() const { return FInflater.ErrorText(); }
  const char* EngineName() const { return FInflater.EngineName(); }

 private:
  std::unique_ptr<uint8_t[]> FOut;
  TInflater FInflater;
};

}  // namespace zem

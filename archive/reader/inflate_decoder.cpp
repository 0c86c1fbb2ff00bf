// Raw inflate over a decoder source and sink.
#include "archive/reader/inflate_decoder.h"

namespace zem {

TInflateDecoder::TInflateDecoder(TDeflateEngine Engine) : FOut(new uint8_t[kOutSize]), FInflater(Engine) {}
TInflateDecoder::~TInflateDecoder() = default;

TDecodeResult TInflateDecoder::Decode(TDecodeSource& Source, TDecodeSink& Sink) {
  using TStatus = TInflater::TStatus;
  TInflater& Z = FInflater;
  Z.Init();
  Z.SetOutput(FOut.get(), kOutSize);
  bool inputEnded = false;
  for (;;) {
    if (Z.InputLeft() == 0 && !inputEnded) {
      const uint8_t* data = nullptr;
      size_t n = Source.NextBlock(data);
      if (n == 0 || data == nullptr)
        inputEnded = true;
      else
        Z.SetInput(data, n);
    }
    // With no input left, the engine may still have output to give from
    // what it holds; once it can make no progress the stream is cut short.
    const TStatus R = Z.Step();
    const bool ended = R == TStatus::tsEnded;
    size_t have = kOutSize - Z.OutputLeft();
    if (R == TStatus::tsFailed || R == TStatus::tsNoMemory) {
      if (have) Sink.Put(FOut.get(), have);
      return R == TStatus::tsNoMemory ? TDecodeResult::drNoMemory : TDecodeResult::drBadData;
    }
    if (Z.OutputLeft() == 0 || ended || (inputEnded && have)) {
      if (have) Sink.Put(FOut.get(), have);
      Z.SetOutput(FOut.get(), kOutSize);
    }
    if (ended) return TDecodeResult::drOk;
    if (inputEnded && have == 0) return TDecodeResult::drInputEnded;
  }
}

}  // namespace zem

// ISA-L's streaming deflate and inflate behind the engine interface.
//
// Both work on raw deflate (no wrapper) with the full 32 KB window, which
// is what a zip entry holds. Their states are large (the inflate state is
// about 60 KB, the level buffers up to several hundred) and so live on the
// heap, made once per object and reset for each stream.
#include <isa-l/igzip_lib.h>

#include <climits>

#include "archive/format/deflate_backend.h"

namespace zem {

namespace {

uint32_t Window(size_t Count) { return Count > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(Count); }

class TIsalDeflate : public TDeflater::TBackend {
 public:
  bool Init(int32_t Level) override {
    if (Level < 1 || Level > ISAL_DEF_MAX_LEVEL) return false;
    // The buffer each level asks for; the largest is made once and serves
    // every level.
    static constexpr uint32_t kSizes[] = {0, ISAL_DEF_LVL1_DEFAULT, ISAL_DEF_LVL2_DEFAULT, ISAL_DEF_LVL3_DEFAULT};
    if (FLevelBufSize < kSizes[Level]) {
      FLevelBuf.reset(new (std::nothrow) uint8_t[kSizes[Level]]);
      if (!FLevelBuf) return false;
      FLevelBufSize = kSizes[Level];
    }
    if (!FStream) {
      FStream.reset(new (std::nothrow) isal_zstream);
      if (!FStream) return false;
    }
    isal_deflate_init(FStream.get());
    FStream->level = static_cast<uint32_t>(Level);
    FStream->level_buf = FLevelBuf.get();
    FStream->level_buf_size = kSizes[Level];
    FStream->gzip_flag = IGZIP_DEFLATE;
    FStream->flush = NO_FLUSH;
    FStream->hist_bits = 0;  // the full 32 KB window
    return true;
  }

  TDeflater::TStatus Step(const uint8_t*& In, size_t& InLeft, uint8_t*& Out, size_t& OutLeft, bool Finish) override {
    isal_zstream& S = *FStream;
    S.next_in = const_cast<uint8_t*>(In);
    S.avail_in = Window(InLeft);
    S.next_out = Out;
    S.avail_out = Window(OutLeft);
    // Finish holds only once the whole input is in this window.
    S.end_of_stream = Finish && S.avail_in == InLeft ? 1 : 0;
    const int R = isal_deflate(&S);
    InLeft -= static_cast<size_t>(S.next_in - In);
    OutLeft -= static_cast<size_t>(S.next_out - Out);
    In = S.next_in;
    Out = S.next_out;
    if (R != COMP_OK) return TDeflater::TStatus::tsFailed;
    return S.internal_state.state == ZSTATE_END ? TDeflater::TStatus::tsEnded : TDeflater::TStatus::tsMore;
  }

  const char* Name() const override { return "ISA-L"; }

 private:
  std::unique_ptr<isal_zstream> FStream;
  std::unique_ptr<uint8_t[]> FLevelBuf;
  uint32_t FLevelBufSize = 0;
};

class TIsalInflate : public TInflater::TBackend {
 public:
  bool Init() override {
    if (!FState) {
      FState.reset(new (std::nothrow) inflate_state);
      if (!FState) return false;
    }
    isal_inflate_init(FState.get());
    FState->crc_flag = ISAL_DEFLATE;
    FState->hist_bits = 0;
    return true;
  }

  TInflater::TStatus Step(const uint8_t*& In, size_t& InLeft, uint8_t*& Out, size_t& OutLeft,
                          std::string& Error) override {
    inflate_state& S = *FState;
    S.next_in = const_cast<uint8_t*>(In);
    S.avail_in = Window(InLeft);
    S.next_out = Out;
    S.avail_out = Window(OutLeft);
    const int R = isal_inflate(&S);
    InLeft -= static_cast<size_t>(S.next_in - In);
    OutLeft -= static_cast<size_t>(S.next_out - Out);
    In = S.next_in;
    Out = S.next_out;
    if (R < 0) {
      Error = R == ISAL_INVALID_BLOCK    ? "invalid block header"
              : R == ISAL_INVALID_SYMBOL ? "invalid code"
              : R == ISAL_INVALID_LOOKBACK ? "invalid distance too far back"
                                           : "error " + std::to_string(R);
      return TInflater::TStatus::tsFailed;
    }
    return S.block_state == ISAL_BLOCK_FINISH ? TInflater::TStatus::tsEnded : TInflater::TStatus::tsMore;
  }

  const char* Name() const override { return "ISA-L"; }

 private:
  std::unique_ptr<inflate_state> FState;
};

}  // namespace

bool IsalPresent() { return true; }
std::unique_ptr<TDeflater::TBackend> MakeIsalDeflater() { return std::make_unique<TIsalDeflate>(); }
std::unique_ptr<TInflater::TBackend> MakeIsalInflater() { return std::make_unique<TIsalInflate>(); }

}  // namespace zem

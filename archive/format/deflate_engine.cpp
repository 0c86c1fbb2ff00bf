// The engine choice and zlib's backends.
//
// Which library writes a stream is decided per stream from the PackLevel:
// ISA-L's levels are several times faster than zlib's for a ratio close to
// zlib's middle levels, but it has nothing that matches zlib's slow,
// thorough levels, which are asked for where the ratio matters most. So
// the levels below kFirstZlibLevel go to ISA-L, by the table below, and the
// rest to zlib (bench/README.md has the measurements behind the table).
// Every entry is read through ISA-L's inflate when it is built in: it
// decodes any deflate stream, whoever wrote it, several times faster.
#include "archive/format/deflate_engine.h"

#include <zlib.h>

#include <climits>

#include "archive/format/deflate_backend.h"
#include "platform/file_system.h"

namespace zem {

namespace {

// ISA-L's level for each PackLevel below kFirstZlibLevel (index 0 unused).
constexpr int32_t kIsalLevelFor[kFirstZlibLevel] = {0, 1, 1, 2, 2, 3, 3};

uInt Window(size_t Count) { return Count > UINT_MAX ? UINT_MAX : static_cast<uInt>(Count); }

class TZlibDeflate : public TDeflater::TBackend {
 public:
  ~TZlibDeflate() override {
    if (FReady) deflateEnd(&FZ);
  }

  bool Init(int32_t Level) override {
    // The level is fixed when the stream is made; another level makes it
    // again.
    if (FReady && Level == FLevel) return deflateReset(&FZ) == Z_OK;
    if (FReady) deflateEnd(&FZ);
    FReady = false;
    FZ = z_stream{};
    if (deflateInit2(&FZ, Level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    FReady = true;
    FLevel = Level;
    return true;
  }

  TDeflater::TStatus Step(const uint8_t*& In, size_t& InLeft, uint8_t*& Out, size_t& OutLeft, bool Finish) override {
    FZ.next_in = const_cast<Bytef*>(In);
    FZ.avail_in = Window(InLeft);
    FZ.next_out = Out;
    FZ.avail_out = Window(OutLeft);
    const int R = deflate(&FZ, Finish && FZ.avail_in == InLeft ? Z_FINISH : Z_NO_FLUSH);
    InLeft -= static_cast<size_t>(FZ.next_in - In);
    OutLeft -= static_cast<size_t>(FZ.next_out - Out);
    In = FZ.next_in;
    Out = FZ.next_out;
    // Z_BUF_ERROR only says that no progress was possible this time.
    if (R < 0 && R != Z_BUF_ERROR) return TDeflater::TStatus::tsFailed;
    return R == Z_STREAM_END ? TDeflater::TStatus::tsEnded : TDeflater::TStatus::tsMore;
  }

  const char* Name() const override { return "zlib"; }

 private:
  z_stream FZ{};
  bool FReady = false;
  int32_t FLevel = 0;
};

class TZlibInflate : public TInflater::TBackend {
 public:
  ~TZlibInflate() override {
    if (FReady) inflateEnd(&FZ);
  }

  bool Init() override {
    if (FReady) return inflateReset(&FZ) == Z_OK;
    FZ = z_stream{};
    if (inflateInit2(&FZ, -15) != Z_OK) return false;
    FReady = true;
    return true;
  }

  TInflater::TStatus Step(const uint8_t*& In, size_t& InLeft, uint8_t*& Out, size_t& OutLeft,
                          std::string& Error) override {
    FZ.next_in = const_cast<Bytef*>(In);
    FZ.avail_in = Window(InLeft);
    FZ.next_out = Out;
    FZ.avail_out = Window(OutLeft);
    const int R = inflate(&FZ, Z_NO_FLUSH);
    InLeft -= static_cast<size_t>(FZ.next_in - In);
    OutLeft -= static_cast<size_t>(FZ.next_out - Out);
    In = FZ.next_in;
    Out = FZ.next_out;
    if (R == Z_STREAM_END) return TInflater::TStatus::tsEnded;
    // Z_BUF_ERROR: no progress possible with these windows, which the
    // caller sees as nothing produced.
    if (R >= 0 || R == Z_BUF_ERROR) return TInflater::TStatus::tsMore;
    if (R == Z_MEM_ERROR) return TInflater::TStatus::tsNoMemory;
    // A preset dictionary cannot occur in a raw stream; anything else is
    // corrupt data.
    Error = FZ.msg != nullptr ? FZ.msg : zError(R);
    return TInflater::TStatus::tsFailed;
  }

  const char* Name() const override { return "zlib"; }

 private:
  z_stream FZ{};
  bool FReady = false;
};

}  // namespace

bool IsalBuiltIn() { return IsalPresent(); }

TDeflateEngine DefaultDeflateEngine() {
  const std::optional<std::string> Value = platform::FileSystem().GetEnv("ZEM_DEFLATE_ENGINE");
  return Value && *Value == "zlib" ? TDeflateEngine::deZlib : TDeflateEngine::deAuto;
}

// ---- TDeflater -----------------------------------------------------------------

TDeflater::TDeflater(TDeflateEngine Engine) : FEngine(Engine) {}
TDeflater::~TDeflater() = default;

bool TDeflater::Init(int32_t Level) {
  FIn = nullptr;
  FInLeft = 0;
  FOut = nullptr;
  FOutLeft = 0;
  if (Level < 1) Level = 1;
  if (Level > 9) Level = 9;
  if (FEngine == TDeflateEngine::deAuto && Level < kFirstZlibLevel) {
    if (!FIsal) FIsal = MakeIsalDeflater();
    if (FIsal) {
      FActive = FIsal.get();
      return FActive->Init(kIsalLevelFor[Level]);
    }
  }
  if (!FZlib) FZlib = std::make_unique<TZlibDeflate>();
  FActive = FZlib.get();
  return FActive->Init(Level);
}

void TDeflater::SetInput(const uint8_t* Data, size_t Count) {
  FIn = Data;
  FInLeft = Count;
}

void TDeflater::SetOutput(uint8_t* Data, size_t Count) {
  FOut = Data;
  FOutLeft = Count;
}

TDeflater::TStatus TDeflater::Step(bool Finish) {
  if (FActive == nullptr) return TStatus::tsFailed;
  return FActive->Step(FIn, FInLeft, FOut, FOutLeft, Finish);
}

const char* TDeflater::EngineName() const { return FActive != nullptr ? FActive->Name() : ""; }

// ---- TInflater -----------------------------------------------------------------

TInflater::TInflater(TDeflateEngine Engine) {
  if (Engine == TDeflateEngine::deAuto) FBackend = MakeIsalInflater();
  if (!FBackend) FBackend = std::make_unique<TZlibInflate>();
}

TInflater::~TInflater() = default;

void TInflater::Init() {
  FIn = nullptr;
  FInLeft = 0;
  FOut = nullptr;
  FOutLeft = 0;
  FError.clear();
  FReady = FBackend->Init();
}

void TInflater::SetInput(const uint8_t* Data, size_t Count) {
  FIn = Data;
  FInLeft = Count;
}

void TInflater::SetOutput(uint8_t* Data, size_t Count) {
  FOut = Data;
  FOutLeft = Count;
}

TInflater::TStatus TInflater::Step() {
  if (!FReady) return TStatus::tsNoMemory;
  std::string Words;
  const TStatus R = FBackend->Step(FIn, FInLeft, FOut, FOutLeft, Words);
  if (R == TStatus::tsFailed) FError = std::string(FBackend->Name()) + ": " + Words;
  if (R == TStatus::tsNoMemory) FError = std::string(FBackend->Name()) + ": out of memory";
  return R;
}

const char* TInflater::EngineName() const { return FBackend->Name(); }

}  // namespace zem

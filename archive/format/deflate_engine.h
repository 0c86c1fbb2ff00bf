// The deflate engines behind one small interface: raw deflate streams
// (no zlib header or trailer, 32 KB window) written and read through ISA-L
// where it serves and was built in, through zlib everywhere else. Callers
// drive them like a zlib stream: input and output windows, one step at a
// time. Each object owns its whole state; nothing is shared between
// objects, so every thread may own its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zem {

// Which library may run a stream.
enum class TDeflateEngine : uint8_t {
  deAuto,  // ISA-L for what it does well (see TDeflater), zlib for the rest
  deZlib,  // zlib for everything
};

// Whether this build carries ISA-L (the ZEM_WITH_ISAL build option and the
// library found); without it deAuto is zlib throughout.
bool IsalBuiltIn();

// The engine a new component starts with: deAuto, or deZlib when the
// environment variable ZEM_DEFLATE_ENGINE is "zlib", so that one binary can
// be driven through both (tests, benchmarks, a field workaround).
TDeflateEngine DefaultDeflateEngine();

// The PackLevel (1 to 9) from which zlib writes the stream under deAuto;
// the lower levels go through ISA-L (see the level table in
// deflate_engine.cpp and the measurements in bench/README.md).
constexpr int32_t kFirstZlibLevel = 7;

// A raw deflate writer.
//
// Init starts a stream at a PackLevel; Step then takes bytes from the input
// window and puts compressed bytes into the output window, advancing both,
// until the input is used up or the output is full. The caller refills and
// drains the windows between steps; once Finish is passed, Step
// reports tsMore until the last compressed byte is out, then tsEnded. The
// state is reused by the next Init (no new allocation). tsFailed (and a
// false Init) is a failure of the library itself, which only a misuse or
// an allocation that failed can cause; the caller raises its error.
class TDeflater {
 public:
  explicit TDeflater(TDeflateEngine Engine);
  ~TDeflater();
  TDeflater(const TDeflater&) = delete;
  TDeflater& operator=(const TDeflater&) = delete;

  enum class TStatus : uint8_t { tsMore, tsEnded, tsFailed };

  // A new stream at PackLevel Level (1 to 9); false when the library
  // cannot set up its state.
  bool Init(int32_t Level);
  void SetInput(const uint8_t* Data, size_t Count);
  void SetOutput(uint8_t* Data, size_t Count);
  size_t InputLeft() const { return FInLeft; }
  size_t OutputLeft() const { return FOutLeft; }
  TStatus Step(bool Finish);
  // "ISA-L" or "zlib": the library running the current stream.
  const char* EngineName() const;

  class TBackend;

 private:
  TDeflateEngine FEngine;
  std::unique_ptr<TBackend> FZlib;
  std::unique_ptr<TBackend> FIsal;
  TBackend* FActive = nullptr;
  const uint8_t* FIn = nullptr;
  size_t FInLeft = 0;
  uint8_t* FOut = nullptr;
  size_t FOutLeft = 0;
};

// A raw deflate reader: the same windows; Step reports how the stream
// stands. On hostile input both engines stop with tsFailed and never read
// or write outside the windows; a stream cut short is seen by the caller as
// a step that, with no input left, produces nothing (tsMore).
class TInflater {
 public:
  enum class TStatus : uint8_t {
    tsMore,      // give more input or more output room
    tsEnded,     // the stream has ended; its output is all in the window
    tsFailed,    // corrupt data; ErrorText() says how
    tsNoMemory,  // the library could not set up its state
  };

  explicit TInflater(TDeflateEngine Engine);
  ~TInflater();
  TInflater(const TInflater&) = delete;
  TInflater& operator=(const TInflater&) = delete;

  // A new stream (the state is reused); a state that cannot be set up
  // makes the first Step report tsNoMemory.
  void Init();
  void SetInput(const uint8_t* Data, size_t Count);
  void SetOutput(uint8_t* Data, size_t Count);
  size_t InputLeft() const { return FInLeft; }
  size_t OutputLeft() const { return FOutLeft; }
  TStatus Step();
  // The library's words for the failure, after its name: "zlib: invalid
  // block type", "ISA-L: invalid block header"; empty until a failure.
  const std::string& ErrorText() const { return FError; }
  const char* EngineName() const;

  class TBackend;

 private:
  std::unique_ptr<TBackend> FBackend;
  const uint8_t* FIn = nullptr;
  size_t FInLeft = 0;
  uint8_t* FOut = nullptr;
  size_t FOutLeft = 0;
  bool FReady = false;
  std::string FError;
};

}  // namespace zem

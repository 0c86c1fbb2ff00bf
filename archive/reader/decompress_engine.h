// The state of one extraction run: buffers, decoders and the entry in work.
// Shared by the extraction steps (unzip.cpp) and the decompression engine
// (decompress_engine.cpp); not part of the component's interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "archive/reader/arc_unzip.h"
#include "archive/reader/inflate_decoder.h"
#include "archive/reader/legacy_decoders.h"
#include "platform/stream.h"

namespace zem {

// A stream that takes every byte and keeps none: the output of TestZip.
// Its position and size follow what was written, so checks against the
// entry's size work as for a file.
class TNullStream : public TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t Count) override {
    if (Count <= 0) return 0;
    FPosition += Count;
    if (FPosition > FSize) FSize = FPosition;
    return Count;
  }
  int64_t Seek(int64_t Offset, int Origin) override {
    const int64_t Base = Origin == soCurrent ? FPosition : Origin == soEnd ? FSize : 0;
    FPosition = Base + Offset < 0 ? 0 : Base + Offset;
    return FPosition;
  }
  int64_t Size() override { return FSize; }
  void SetSize(int64_t NewSize) override { FSize = NewSize < 0 ? 0 : NewSize; }

 private:
  int64_t FPosition = 0;
  int64_t FSize = 0;
};

// Whether the engine has a decoder for Method (stored, shrunk, reduced,
// imploded, deflated).
bool MethodIsSupported(uint16_t Method);
// "unsupported compression method 99 (AES)": the number, and the method's
// name when it is a known one.
std::string UnsupportedMethodText(uint16_t Method);

struct TArcUnZip::TUnzipRun {
  // Input and output move in blocks of at most this many bytes.
  static constexpr size_t kBlockSize = 32768;

  // Buffers of the run (allocated once, when the run starts); one spare
  // byte each, as the blocks never fill them completely.
  std::unique_ptr<uint8_t[]> Input{new uint8_t[kBlockSize + 1]};
  std::unique_ptr<uint8_t[]> Output{new uint8_t[kBlockSize + 1]};

  // Decoders, made on first use in the run and reused for later entries.
  std::unique_ptr<TShrinkDecoder> Shrink;
  std::unique_ptr<TReduceDecoder> Reduce;
  std::unique_ptr<TImplodeDecoder> Implode;
  std::unique_ptr<TInflateDecoder> Inflate;

  // The entry in work.
  TStream* Out = nullptr;
  int64_t Remaining = 0;  // compressed bytes still to be handed out
  int64_t Written = 0;    // decompressed bytes written for this entry
  bool Encrypted = false;
  bool TestOnly = false;

  // Result counters of the run.
  int32_t Extracted = 0;
};

}  // namespace zem

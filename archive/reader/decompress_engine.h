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
// The notice for an implode table that did not fit, through the
// component's message hook.
void ShowNoMemoryNotice(TArcUnZip& Zip);

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

  // The entry in work: its record, key state and running CRC, where the
  // reason for a failure goes. The run's own lane points them at the
  // component's working header, FCrypt and FEntryError; a worker's lane at
  // those of its job.
  TZipHeaderInfo* Entry = nullptr;
  TZipCrypt* Crypt = nullptr;
  std::string* Error = nullptr;
  // A worker's lane: its own handle on the archive, and the job its
  // progress is logged for (the component's events are never raised from
  // a worker). Null in the run's own lane.
  TStream* Archive = nullptr;
  TUnzipJob* Job = nullptr;
  // A worker met the implode decoder's table limit: the caller shows the
  // notice when it takes the entry's end.
  bool NoMemoryNotice = false;

  // A worker's entry whose data it has already read whole and decrypted
  // (see TUnzipPool::Work): the data is taken from here instead.
  const uint8_t* Ready = nullptr;

  TStream* Out = nullptr;
  int64_t Remaining = 0;  // compressed bytes still to be handed out
  int64_t Written = 0;    // decompressed bytes written for this entry
  bool Encrypted = false;
  bool TestOnly = false;

  // Result counters of the run.
  int32_t Extracted = 0;
  // The workers, while a run uses them.
  TUnzipPool* Pool = nullptr;
};

}  // namespace zem

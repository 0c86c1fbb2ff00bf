// Stored and deflated entry data through a read and a write routine.
#include "archive/writer/entry_coder.h"

#include "archive/reader/arc_exceptions.h"

namespace zem {

namespace {

// An entry is deflated only when its first block shrinks by at least
// 1/kStoreUnlessSaved of its size, deflated at kTrialLevel when the entry
// is larger than the block (see PackData).
constexpr int64_t kStoreUnlessSaved = 32;
constexpr int32_t kTrialLevel = 1;

[[noreturn]] void RaiseZlib() { throw EZCompressionError(); }

}  // namespace

TEntryCoder::TEntryCoder(TDeflateEngine Engine)
    : FEngine(Engine),
      FInBuf(std::make_unique<uint8_t[]>(kDeflateBufferSize)),
      FOutBuf(std::make_unique<uint8_t[]>(kDeflateBufferSize)) {}

TEntryCoder::~TEntryCoder() = default;

uint64_t TEntryCoder::StoreData(const TReader& Read, const TWriter& Write) {
  uint8_t* Buf = FInBuf.get();
  uint64_t Written = 0;
  for (;;) {
    const int64_t N = Read(Buf, kStoredBlockSize);
    if (N == 0) break;
    Write(Buf, N);
    Written += static_cast<uint64_t>(N);
  }
  return Written;
}

TDeflater& TEntryCoder::Deflater(std::unique_ptr<TDeflater>& Slot) {
  if (!Slot) Slot = std::make_unique<TDeflater>(FEngine);
  return *Slot;
}

/*
 * Deflate or store. Deflating data that is already compressed (photos,
 * video, most raw camera files, archives) takes the whole deflate time to
 * save next to nothing, and a card is mostly such files. The first block of
 * the entry decides, deflated into the output buffer:
 * - an entry that fits in the block is deflated whole at its level, and
 *   that output is the entry unless it fails the margin;
 * - the first block of a larger entry is deflated on its own at the
 *   fastest level, a trial that costs a small fraction of the entry's
 *   deflate time; then the entry is stored or deflated from its start,
 *   with the block already read.
 * The margin (kStoreUnlessSaved) and the trial's level come from the
 * measurements in bench/README.md. The decision rests on the data alone,
 * so every thread makes the same one.
 */
uint64_t TEntryCoder::PackData(int32_t Level, const TReader& Read, const TWriter& Write,
                               bool& Stored) {
  uint8_t* In = FInBuf.get();
  uint8_t* Out = FOutBuf.get();
  const int64_t First = Read(In, kDeflateBufferSize);
  const bool Whole = First < kDeflateBufferSize;
  TDeflater& D = Whole ? Deflater(FDeflater) : Deflater(FTrialDeflater);
  if (!D.Init(Whole ? Level : kTrialLevel)) RaiseZlib();
  D.SetInput(In, static_cast<size_t>(First));
  D.SetOutput(Out, static_cast<size_t>(kDeflateBufferSize));
  // With the whole input given and room left, every step makes progress
  // until the end; a step that makes none is the library failing.
  TDeflater::TStatus R = TDeflater::TStatus::tsMore;
  while (R == TDeflater::TStatus::tsMore && D.OutputLeft() > 0) {
    const size_t Room = D.OutputLeft();
    const size_t Left = D.InputLeft();
    R = D.Step(true);
    if (R == TDeflater::TStatus::tsMore && D.OutputLeft() == Room && D.InputLeft() == Left) RaiseZlib();
  }
  if (R == TDeflater::TStatus::tsFailed) RaiseZlib();
  const int64_t Packed = kDeflateBufferSize - static_cast<int64_t>(D.OutputLeft());
  const bool Shrinks = R == TDeflater::TStatus::tsEnded && Packed <= First - First / kStoreUnlessSaved;
  Stored = !Shrinks;
  if (Stored) {
    if (First > 0) Write(In, First);
    // A short first block was the whole file (a file that grew since is
    // caught by the check after the data).
    return static_cast<uint64_t>(First) + (Whole ? 0 : StoreData(Read, Write));
  }
  if (!Whole) return DeflateData(Level, First, Read, Write);
  Write(Out, Packed);
  return static_cast<uint64_t>(Packed);
}

/*
 * The deflate loop: raw deflate (no zlib header or trailer) through the
 * engine for the level (see TDeflater). Input is read in blocks of up to
 * 65535 bytes, the first of which (Pending bytes) is already in the input
 * buffer; output leaves in whole 65535-byte buffers, plus the last partial
 * one once the end of the input has been given. The deflater is made once
 * per coder and started again for each entry. The same blocks in give the
 * same bytes out, whichever thread runs the loop.
 */
uint64_t TEntryCoder::DeflateData(int32_t Level, int64_t Pending, const TReader& Read,
                                  const TWriter& Write) {
  uint8_t* In = FInBuf.get();
  uint8_t* Out = FOutBuf.get();
  TDeflater& D = Deflater(FDeflater);
  if (!D.Init(Level)) RaiseZlib();
  uint64_t Written = 0;
  D.SetInput(In, static_cast<size_t>(Pending));
  D.SetOutput(Out, static_cast<size_t>(kDeflateBufferSize));
  bool Finish = false;
  for (;;) {
    if (D.InputLeft() == 0 && !Finish) {
      const int64_t N = Read(In, kDeflateBufferSize);
      D.SetInput(In, static_cast<size_t>(N));
      if (N == 0) Finish = true;
    }
    const TDeflater::TStatus R = D.Step(Finish);
    if (R == TDeflater::TStatus::tsFailed) RaiseZlib();
    const bool Ended = R == TDeflater::TStatus::tsEnded;
    if (D.OutputLeft() == 0 || Ended) {
      const int64_t Filled = kDeflateBufferSize - static_cast<int64_t>(D.OutputLeft());
      if (Filled > 0) {
        Write(Out, Filled);
        Written += static_cast<uint64_t>(Filled);
      }
      D.SetOutput(Out, static_cast<size_t>(kDeflateBufferSize));
    }
    if (Ended) break;
  }
  return Written;
}

}  // namespace zem

// Stored and deflated entry data through a read and a write routine.
#include "archive/writer/entry_coder.h"

#include "archive/reader/arc_exceptions.h"

namespace zem {

namespace {

[[noreturn]] void RaiseZlib() { throw EZCompressionError(); }

}  // namespace

TEntryCoder::TEntryCoder()
    : FInBuf(std::make_unique<uint8_t[]>(kDeflateBufferSize)),
      FOutBuf(std::make_unique<uint8_t[]>(kDeflateBufferSize)) {}

TEntryCoder::~TEntryCoder() {
  if (FZReady) deflateEnd(&FZ);
}

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

/*
 * The deflate loop: raw deflate (no zlib header or trailer) with window bits
 * -15, memory level 8 and the default strategy. Input is read in blocks of
 * up to 65535 bytes; output leaves in whole 65535-byte buffers, plus the
 * last partial one once Z_FINISH has been asked. The zlib stream is made
 * once per coder and reset for each entry. The same blocks in give the
 * same bytes out, whichever thread runs the loop.
 */
uint64_t TEntryCoder::DeflateData(int32_t Level, const TReader& Read, const TWriter& Write) {
  uint8_t* In = FInBuf.get();
  uint8_t* Out = FOutBuf.get();
  if (!FZReady) {
    FZ = z_stream{};
    if (deflateInit2(&FZ, Level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) < 0) RaiseZlib();
    FZReady = true;
  } else if (deflateReset(&FZ) < 0) {
    RaiseZlib();
  }
  uint64_t Written = 0;
  FZ.next_in = In;
  FZ.avail_in = static_cast<uInt>(Read(In, kDeflateBufferSize));
  FZ.next_out = Out;
  FZ.avail_out = static_cast<uInt>(kDeflateBufferSize);
  int Flush = Z_NO_FLUSH;
  for (;;) {
    if (FZ.avail_in == 0 && Flush == Z_NO_FLUSH) {
      FZ.next_in = In;
      FZ.avail_in = static_cast<uInt>(Read(In, kDeflateBufferSize));
      if (FZ.avail_in == 0) Flush = Z_FINISH;
    }
    const int R = deflate(&FZ, Flush);
    if (R < 0) RaiseZlib();
    if (FZ.avail_out == 0 || Flush == Z_FINISH) {
      const int64_t Filled = kDeflateBufferSize - FZ.avail_out;
      if (Filled > 0) {
        Write(Out, Filled);
        Written += static_cast<uint64_t>(Filled);
      }
      FZ.next_out = Out;
      FZ.avail_out = static_cast<uInt>(kDeflateBufferSize);
    }
    if (R == Z_STREAM_END) break;
  }
  return Written;
}

}  // namespace zem

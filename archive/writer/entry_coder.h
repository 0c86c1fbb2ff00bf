// The data of one entry, stored or deflated, between a read routine and a
// write routine: the deflate stream and the block buffers of one thread of
// a Zip call. Private to the writer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <zlib.h>

namespace zem {

// Entry data moves in blocks of these sizes: the deflate buffers, and the
// blocks of the CRC pre-pass and of stored data.
constexpr int64_t kDeflateBufferSize = 65535;
constexpr int64_t kStoredBlockSize = 32768;
constexpr int64_t kCrcBlockSize = 65535;

class TEntryCoder {
 public:
  // Up to Count bytes into Buffer; 0 at the end of the data. Raises what
  // the source raises.
  using TReader = std::function<int64_t(uint8_t* Buffer, int64_t Count)>;
  // Takes Count bytes of entry data; may change them in place (the cipher).
  using TWriter = std::function<void(uint8_t* Buffer, int64_t Count)>;

  TEntryCoder();
  ~TEntryCoder();
  TEntryCoder(const TEntryCoder&) = delete;
  TEntryCoder& operator=(const TEntryCoder&) = delete;

  // The data as it is, in blocks of kStoredBlockSize; returns the bytes
  // written.
  uint64_t StoreData(const TReader& Read, const TWriter& Write);
  // The data deflated (see the loop in entry_coder.cpp); returns the bytes
  // written. The stream is made at the first call with Level and reset for
  // each later one. EZCompressionError when zlib fails.
  uint64_t DeflateData(int32_t Level, const TReader& Read, const TWriter& Write);

 private:
  std::unique_ptr<uint8_t[]> FInBuf;
  std::unique_ptr<uint8_t[]> FOutBuf;
  z_stream FZ{};
  bool FZReady = false;
};

}  // namespace zem

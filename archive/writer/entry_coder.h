// The data of one entry, stored or deflated, between a read routine and a
// write routine: the deflaters and the block buffers of one thread of a
// Zip call. Private to the writer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "archive/format/deflate_engine.h"

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

  explicit TEntryCoder(TDeflateEngine Engine);
  ~TEntryCoder();
  TEntryCoder(const TEntryCoder&) = delete;
  TEntryCoder& operator=(const TEntryCoder&) = delete;

  // The data as it is, in blocks of kStoredBlockSize; returns the bytes
  // written.
  uint64_t StoreData(const TReader& Read, const TWriter& Write);
  // The data deflated at Level, or stored when its first block does not
  // shrink enough (Stored says which); returns the bytes written.
  // EZCompressionError when the deflate library fails.
  uint64_t PackData(int32_t Level, const TReader& Read, const TWriter& Write, bool& Stored);

 private:
  // Deflates the data, Pending bytes of which are already in the input
  // buffer.
  uint64_t DeflateData(int32_t Level, int64_t Pending, const TReader& Read, const TWriter& Write);
  // The deflater in Slot, made on first use with the coder's engine.
  TDeflater& Deflater(std::unique_ptr<TDeflater>& Slot);

  TDeflateEngine FEngine;
  std::unique_ptr<uint8_t[]> FInBuf;
  std::unique_ptr<uint8_t[]> FOutBuf;
  // The entries' deflater and the first-block trial's.
  std::unique_ptr<TDeflater> FDeflater;
  std::unique_ptr<TDeflater> FTrialDeflater;
};

}  // namespace zem

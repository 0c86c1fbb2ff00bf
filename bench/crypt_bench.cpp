// Throughput of CRC-32, encryption and decryption over a 64 MiB buffer.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "archive/format/crc_crypt.h"

namespace {

constexpr size_t kSize = size_t{64} << 20;

const std::vector<uint8_t>& Data() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> d(kSize);
    std::mt19937 gen(1);
    for (auto& b : d) b = static_cast<uint8_t>(gen());
    return d;
  }();
  return data;
}

void BM_Crc32(benchmark::State& State) {
  const auto& data = Data();
  zem::TZipCrypt crypt;
  for (auto _ : State) {
    crypt.ResetCrc();
    crypt.UpdateCrcBuffer(data.data(), data.size());
    benchmark::DoNotOptimize(crypt.FinalCrc());
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(kSize));
}

void BM_Encrypt(benchmark::State& State) {
  std::vector<uint8_t> buffer = Data();
  zem::TZipCrypt crypt;
  crypt.InitKeys("benchmark password");
  for (auto _ : State) {
    crypt.EncryptBuffer(buffer.data(), buffer.size());
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(kSize));
}

void BM_Decrypt(benchmark::State& State) {
  std::vector<uint8_t> buffer = Data();
  zem::TZipCrypt crypt;
  crypt.InitKeys("benchmark password");
  for (auto _ : State) {
    crypt.DecryptBuffer(buffer.data(), buffer.size());
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(kSize));
}

// Two buffers of half the size each, decrypted side by side.
void BM_DecryptPair(benchmark::State& State) {
  std::vector<uint8_t> buffer = Data();
  zem::TZipCrypt a, b;
  a.InitKeys("benchmark password");
  b.InitKeys("another password");
  const size_t half = buffer.size() / 2;
  for (auto _ : State) {
    zem::TZipCrypt::DecryptPair(a, buffer.data(), half, b, buffer.data() + half, buffer.size() - half);
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(kSize));
}

}  // namespace

BENCHMARK(BM_Crc32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encrypt)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decrypt)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecryptPair)->Unit(benchmark::kMillisecond);

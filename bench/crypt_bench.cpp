// Throughput of CRC-32, encryption and decryption over a 64 MiB buffer.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
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

// The buffer cut into State.range(0) lanes decrypted side by side.
void BM_DecryptLanes(benchmark::State& State) {
  std::vector<uint8_t> buffer = Data();
  const size_t lanes = static_cast<size_t>(State.range(0));
  std::vector<zem::TZipCrypt> crypts(lanes);
  std::vector<zem::TZipCrypt*> keys;
  std::vector<uint8_t*> parts;
  std::vector<size_t> lengths(lanes, buffer.size() / lanes);
  for (size_t k = 0; k < lanes; ++k) {
    crypts[k].InitKeys("benchmark password " + std::to_string(k));
    keys.push_back(&crypts[k]);
    parts.push_back(buffer.data() + k * lengths[k]);
  }
  for (auto _ : State) {
    zem::TZipCrypt::DecryptLanes(keys.data(), parts.data(), lengths.data(), lanes);
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(kSize));
}

}  // namespace

BENCHMARK(BM_Crc32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encrypt)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decrypt)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecryptLanes)->Arg(2)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);

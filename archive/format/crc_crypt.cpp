// CRC-32 over buffers, the traditional zip cipher and its encryption header.
#include "archive/format/crc_crypt.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>

#include "archive/format/crc_fast.h"
#include "platform/winapi.h"

namespace zem {

namespace {

// The cipher's hot loops
// ----------------------
// Each byte costs one key update: a CRC step of key0 with the plain byte, a
// multiply-add of key1 with key0's low byte, and a CRC step of key2 with
// key1's top byte; the key-stream byte is bits 8..15 of t x (t xor 1) with
// t = key2's low 16 bits or 2. The loops keep the keys in locals and inline
// both table lookups: no call per byte. Encryption can overlap successive
// bytes (the plain bytes are known ahead), decryption cannot (each plain byte
// needs the key state left by the one before), so decryption is the slower.

inline void StepKeys(uint32_t& K0, uint32_t& K1, uint32_t& K2, uint8_t Plain) {
  K0 = CrcTable[(K0 ^ Plain) & 0xFF] ^ (K0 >> 8);
  // (K1 + b) x C + 1 written as (K1 x C + 1) + b x C: the first half does
  // not wait for key0, which shortens the decryption's chain by one add.
  K1 = (K1 * 0x08088405u + 1u) + (K0 & 0xFF) * 0x08088405u;
  K2 = CrcTable[(K2 ^ (K1 >> 24)) & 0xFF] ^ (K2 >> 8);
}

// Two CRC steps at once: the register after a byte b and then a zero byte
// is (r >> 16) ^ CrcTable2[(r ^ b) & 0xFF], by the linearity of the table
// (CrcTable[x ^ y] == CrcTable[x] ^ CrcTable[y]).
constexpr std::array<uint32_t, 256> MakeCrcTable2() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) table[n] = (CrcTable[n] >> 8) ^ CrcTable[CrcTable[n] & 0xFF];
  return table;
}
constexpr std::array<uint32_t, 256> CrcTable2 = MakeCrcTable2();

// The table's low bytes, and the table shifted right by 2 (for the
// key-stream index of the next key2), for the decryption loop.
constexpr std::array<uint8_t, 256> MakeCrcTableLow() {
  std::array<uint8_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) table[n] = static_cast<uint8_t>(CrcTable[n]);
  return table;
}
constexpr std::array<uint8_t, 256> CrcTableLow = MakeCrcTableLow();
constexpr std::array<uint32_t, 256> MakeCrcTableShr2() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) table[n] = CrcTable[n] >> 2;
  return table;
}
constexpr std::array<uint32_t, 256> CrcTableShr2 = MakeCrcTableShr2();

// The key-stream byte depends only on bits 2..15 of key2: bit 1 is forced
// to 1, and t x (t xor 1) is the same whichever value bit 0 has. A
// 16 KiB table of those products saves a multiply per byte.
constexpr uint8_t StreamByteOf(uint32_t K2) {
  const uint32_t t = (K2 & 0xFFFF) | 2;
  return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
}
constexpr std::array<uint8_t, 16384> MakeStreamTable() {
  std::array<uint8_t, 16384> table{};
  for (uint32_t n = 0; n < 16384; ++n) table[n] = StreamByteOf(n << 2);
  return table;
}
constexpr std::array<uint8_t, 16384> StreamTable = MakeStreamTable();
static_assert(StreamTable[0x1234 >> 2] == StreamByteOf(0x1235) && StreamTable[0x3FFF] == StreamByteOf(0xFFFF));

inline uint8_t StreamByte(uint32_t K2) { return StreamTable[(K2 >> 2) & 0x3FFF]; }

}  // namespace

uint32_t UpdateCrcBuffer(uint32_t Crc, const void* Buffer, size_t Length) {
  // Long buffers go through the folding routine when the processor has
  // carry-less multiply; the tail (under 16 bytes), short buffers and other
  // processors go through zlib.
  auto* p = static_cast<const Bytef*>(Buffer);
  const size_t folded = FoldCrcBlocks(Crc, p, Length);
  p += folded;
  Length -= folded;
  // zlib's crc32 presets and inverts around its work; inverting in and out
  // turns it into a plain register update.
  uLong c = ~Crc & 0xFFFFFFFFu;
  constexpr size_t kChunk = std::numeric_limits<uInt>::max() & ~size_t{0xFFFF};
  while (Length > 0) {
    const size_t n = Length < kChunk ? Length : kChunk;
    c = crc32(c, p, static_cast<uInt>(n));
    p += n;
    Length -= n;
  }
  return ~static_cast<uint32_t>(c);
}

uint32_t Crc32Of(const void* Buffer, size_t Length) {
  return ~UpdateCrcBuffer(kCrcPreset, Buffer, Length);
}

uint32_t EncryptionHeaderSeed() {
  int64_t counter = 0;
  if (platform::QueryPerformanceCounter(&counter)) return static_cast<uint32_t>(counter);
  return platform::GetTickCount();
}

void TZipCrypt::InitKeys(const std::string& Password) {
  FKey0 = 0x12345678u;
  FKey1 = 0x23456789u;
  FKey2 = 0x34567890u;
  for (char c : Password) UpdateKeys(static_cast<uint8_t>(c));
}

void TZipCrypt::UpdateKeys(uint8_t Byte) { StepKeys(FKey0, FKey1, FKey2, Byte); }

uint8_t TZipCrypt::KeyStreamByte() const { return StreamByte(FKey2); }

uint8_t TZipCrypt::EncryptByte(uint8_t Plain) {
  const uint8_t k = StreamByte(FKey2);
  StepKeys(FKey0, FKey1, FKey2, Plain);
  return static_cast<uint8_t>(Plain ^ k);
}

void TZipCrypt::EncryptBuffer(void* Buffer, size_t Length) {
  // Two bytes per round: the plain bytes are known ahead, so key0 and key2
  // advance by two steps at once through CrcTable2, and key1 by one multiply
  // with C^2. The keys after the first byte of the pair come off the chain.
  constexpr uint32_t C = 0x08088405u;
  constexpr uint32_t C2 = C * C;
  auto* p = static_cast<uint8_t*>(Buffer);
  uint32_t k0 = FKey0, k1 = FKey1, k2 = FKey2;
  for (uint8_t* end = p + (Length & ~size_t{1}); p != end; p += 2) {
    const uint8_t a = p[0], b = p[1];
    const uint32_t ia = (k0 ^ a) & 0xFF;
    const uint32_t k0a = (k0 >> 8) ^ CrcTable[ia];
    const uint32_t k0b = (k0 >> 16) ^ CrcTable2[ia] ^ CrcTable[((k0 >> 8) ^ b) & 0xFF];
    const uint32_t k1a = (k1 * C + 1u) + (k0a & 0xFF) * C;
    const uint32_t k1b = (k1 * C2 + (C + 1u)) + (k0a & 0xFF) * C2 + (k0b & 0xFF) * C;
    const uint32_t ja = (k2 ^ (k1a >> 24)) & 0xFF;
    const uint32_t k2a = (k2 >> 8) ^ CrcTable[ja];
    p[0] = static_cast<uint8_t>(a ^ StreamByte(k2));
    p[1] = static_cast<uint8_t>(b ^ StreamByte(k2a));
    k2 = (k2 >> 16) ^ CrcTable2[ja] ^ CrcTable[((k2 >> 8) ^ (k1b >> 24)) & 0xFF];
    k0 = k0b;
    k1 = k1b;
  }
  if (Length & 1) {
    const uint8_t plain = *p;
    *p = static_cast<uint8_t>(plain ^ StreamByte(k2));
    StepKeys(k0, k1, k2, plain);
  }
  FKey0 = k0;
  FKey1 = k1;
  FKey2 = k2;
}

namespace {

// One key state of the decryption for DecryptLanes: the step of
// DecryptBuffer's loop (see there), on keys held in the lane. DecryptBuffer
// keeps its own copy of the loop: through the lane, or through one step
// function shared by both, it ran 3 to 6 % slower (crypt_bench).
struct TDecryptLane {
  uint32_t K0 = 0, K1 = 0, K2 = 0, Ks = 0;
  TDecryptLane() = default;
  explicit TDecryptLane(const TZipCrypt& C)
      : K0(C.Key0()), K1(C.Key1()), K2(C.Key2()), Ks(StreamTable[(C.Key2() >> 2) & 0x3FFF]) {}
  inline void Step(uint8_t* P) {
    constexpr uint32_t C = 0x08088405u;
    const uint32_t Early0 = (K0 ^ *P) & 0xFF;  // key0 xor cipher byte
    const uint32_t Early1 = (K0 >> 8) & 0xFF;  // key0's next low byte, before the table
    const uint32_t K1c = K1 * C + 1u;
    const uint32_t Idx0 = Early0 ^ Ks;  // (key0 xor plain) & 0xFF
    *P = static_cast<uint8_t>(*P ^ Ks);
    const uint32_t Low0 = CrcTableLow[Idx0] ^ Early1;  // the new key0's low byte
    K0 = CrcTable[Idx0] ^ (K0 >> 8);
    K1 = K1c + Low0 * C;
    const uint32_t J = (K2 & 0xFF) ^ (K1 >> 24);
    Ks = StreamTable[(CrcTableShr2[J] ^ (K2 >> 10)) & 0x3FFF];
    K2 = CrcTable[J] ^ (K2 >> 8);
  }
  void Store(TZipCrypt& C) const { C.SetKeys(K0, K1, K2); }
};

// N lanes, Count bytes each, one step of each lane per round.
template <size_t N>
void StepLanes(TDecryptLane* Lanes, uint8_t* const* Buffers, size_t From, size_t Count) {
  for (size_t I = From; I < From + Count; ++I)
    for (size_t K = 0; K < N; ++K) Lanes[K].Step(Buffers[K] + I);
}

}  // namespace

void TZipCrypt::DecryptLanes(TZipCrypt* const* Crypts, uint8_t* const* Buffers, const size_t* Lengths,
                             size_t Count) {
  // The lanes go side by side for as long as the shortest lasts; then the
  // ones left go on together, down to the last one, alone.
  std::array<size_t, kMaxLanes> Order{};  // the lanes, longest first
  for (size_t K = 0; K < Count; ++K) Order[K] = K;
  std::sort(Order.begin(), Order.begin() + static_cast<long>(Count),
            [Lengths](size_t A, size_t B) { return Lengths[A] > Lengths[B]; });
  std::array<TDecryptLane, kMaxLanes> Sorted;
  std::array<uint8_t*, kMaxLanes> Bufs{};
  for (size_t K = 0; K < Count; ++K) {
    Sorted[K] = TDecryptLane(*Crypts[Order[K]]);
    Bufs[K] = Buffers[Order[K]];
  }
  size_t Done = 0;
  for (size_t Active = Count; Active > 0; --Active) {
    const size_t Until = Lengths[Order[Active - 1]];
    const size_t N = Until - Done;
    switch (Active) {
      case 4: StepLanes<4>(Sorted.data(), Bufs.data(), Done, N); break;
      case 3: StepLanes<3>(Sorted.data(), Bufs.data(), Done, N); break;
      case 2: StepLanes<2>(Sorted.data(), Bufs.data(), Done, N); break;
      default: StepLanes<1>(Sorted.data(), Bufs.data(), Done, N); break;
    }
    Done = Until;
  }
  for (size_t K = 0; K < Count; ++K) Sorted[K].Store(*Crypts[Order[K]]);
}

void TZipCrypt::DecryptBuffer(void* Buffer, size_t Length) {
  // Every step waits for the one before (the plain byte feeds the keys that
  // make the next key-stream byte), so the loop is arranged for latency:
  // whatever does not depend on the plain byte is computed beside the chain,
  // the low byte of key0 comes from a byte table, and the next key-stream
  // index from a table pre-shifted by 2.
  constexpr uint32_t C = 0x08088405u;
  auto* p = static_cast<uint8_t*>(Buffer);
  uint32_t k0 = FKey0, k1 = FKey1, k2 = FKey2;
  uint32_t ks = StreamByte(k2);
  for (uint8_t* end = p + Length; p != end; ++p) {
    const uint32_t early0 = (k0 ^ *p) & 0xFF;        // key0 xor cipher byte
    const uint32_t early1 = (k0 >> 8) & 0xFF;        // key0's next low byte, before the table
    const uint32_t k1c = k1 * C + 1u;
    const uint32_t idx0 = early0 ^ ks;                // (key0 xor plain) & 0xFF
    *p = static_cast<uint8_t>(*p ^ ks);
    const uint32_t low0 = CrcTableLow[idx0] ^ early1; // the new key0's low byte
    k0 = CrcTable[idx0] ^ (k0 >> 8);
    k1 = k1c + low0 * C;
    const uint32_t j = (k2 & 0xFF) ^ (k1 >> 24);
    ks = StreamTable[(CrcTableShr2[j] ^ (k2 >> 10)) & 0x3FFF];
    k2 = CrcTable[j] ^ (k2 >> 8);
  }
  FKey0 = k0;
  FKey1 = k1;
  FKey2 = k2;
}

uint8_t TZipCrypt::DecryptHeader(const std::string& Password, const uint8_t* Header) {
  InitKeys(Password);
  TEncryptionHeader copy;
  for (size_t i = 0; i < kEncryptionHeaderSize; ++i) copy[i] = Header[i];
  DecryptBuffer(copy.data(), copy.size());
  return copy[kEncryptionHeaderSize - 1];
}

TEncryptionHeader TZipCrypt::MakeEncryptionHeader(const std::string& Password, uint32_t Crc32,
                                                  uint32_t Seed) {
  InitKeys(Password);
  TZipRandom random(Seed);
  TEncryptionHeader header;
  for (size_t i = 0; i < 10; ++i) header[i] = EncryptByte(static_cast<uint8_t>(random.Random(32767) >> 7));
  header[10] = EncryptByte(static_cast<uint8_t>(Crc32 >> 16));
  header[11] = EncryptByte(static_cast<uint8_t>(Crc32 >> 24));
  return header;
}

bool TZipCrypt::WriteEncryptionHeader(const std::string& Password, uint32_t Crc32, TStream& Dest) {
  const TEncryptionHeader header = MakeEncryptionHeader(Password, Crc32, EncryptionHeaderSeed());
  for (uint8_t b : header) {
    if (Dest.Write(&b, 1) != 1) return false;
  }
  return true;
}

}  // namespace zem

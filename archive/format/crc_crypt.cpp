// CRC-32 over buffers, the traditional zip cipher and its encryption header.
#include "archive/format/crc_crypt.h"

#include <zlib.h>

#include <limits>

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
  K1 = (K1 + (K0 & 0xFF)) * 0x08088405u + 1u;
  K2 = CrcTable[(K2 ^ (K1 >> 24)) & 0xFF] ^ (K2 >> 8);
}

inline uint8_t StreamByte(uint32_t K2) {
  const uint32_t t = (K2 & 0xFFFF) | 2;
  return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
}

}  // namespace

uint32_t UpdateCrcBuffer(uint32_t Crc, const void* Buffer, size_t Length) {
  // zlib's crc32 presets and inverts around its work; inverting in and out
  // turns it into a plain register update.
  auto* p = static_cast<const Bytef*>(Buffer);
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
  auto* p = static_cast<uint8_t*>(Buffer);
  uint32_t k0 = FKey0, k1 = FKey1, k2 = FKey2;
  for (uint8_t* end = p + Length; p != end; ++p) {
    const uint8_t plain = *p;
    *p = static_cast<uint8_t>(plain ^ StreamByte(k2));
    StepKeys(k0, k1, k2, plain);
  }
  FKey0 = k0;
  FKey1 = k1;
  FKey2 = k2;
}

void TZipCrypt::DecryptBuffer(void* Buffer, size_t Length) {
  auto* p = static_cast<uint8_t*>(Buffer);
  uint32_t k0 = FKey0, k1 = FKey1, k2 = FKey2;
  for (uint8_t* end = p + Length; p != end; ++p) {
    const uint8_t plain = static_cast<uint8_t>(*p ^ StreamByte(k2));
    *p = plain;
    StepKeys(k0, k1, k2, plain);
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

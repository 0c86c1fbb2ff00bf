// CRC-32 of entry data and the traditional zip cipher: key state, buffer
// encryption and decryption, the 12-byte encryption header and its check byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/stream.h"

namespace zem {

// ---- CRC-32 ----------------------------------------------------------------
// Reflected polynomial 0xEDB88320. A running CRC register starts at
// kCrcPreset and is inverted at the end of the data.
constexpr uint32_t kCrcPreset = 0xFFFFFFFFu;

namespace crc_detail {
constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
    table[n] = c;
  }
  return table;
}
}  // namespace crc_detail

// The standard 256-entry table of the polynomial, built at compile time.
inline constexpr std::array<uint32_t, 256> CrcTable = crc_detail::MakeCrcTable();
static_assert(CrcTable[1] == 0x77073096u && CrcTable[255] == 0x2D02EF8Du);

// One CRC step, without preset or inversion.
constexpr uint32_t UpdateCrc(uint32_t Crc, uint8_t Byte) {
  return CrcTable[(Crc ^ Byte) & 0xFF] ^ (Crc >> 8);
}

// Advances a CRC register (no preset, no inversion) over Length bytes and
// returns it. Gives the same values as UpdateCrc byte by byte.
uint32_t UpdateCrcBuffer(uint32_t Crc, const void* Buffer, size_t Length);

// The finished CRC-32 of a whole buffer (preset, then inverted).
uint32_t Crc32Of(const void* Buffer, size_t Length);

// ---- Encryption header -----------------------------------------------------
constexpr size_t kEncryptionHeaderSize = 12;
using TEncryptionHeader = std::array<uint8_t, kEncryptionHeaderSize>;

// The header's pseudo-random generator: Random(n) first sets
// seed = seed x 0x08088405 + 1 (mod 2^32), then yields the high 32 bits of
// the 64-bit product seed x n, so a value in 0..n-1.
class TZipRandom {
 public:
  explicit TZipRandom(uint32_t ASeed) : FSeed(ASeed) {}
  uint32_t Random(uint32_t Range) {
    FSeed = FSeed * 0x08088405u + 1u;
    return static_cast<uint32_t>((static_cast<uint64_t>(FSeed) * Range) >> 32);
  }
  uint32_t Seed() const { return FSeed; }

 private:
  uint32_t FSeed;
};

// A fresh seed for one entry's header: the low 32 bits of the
// high-resolution counter, or the millisecond tick count when that counter
// is not available.
uint32_t EncryptionHeaderSeed();

// The byte the last decrypted header byte must equal for a password to be
// taken as right: bits 8..15 of the DOS time (low 16 bits of FileDateTime)
// when Flags bit 3 (data descriptor) is set, else bits 24..31 of the CRC.
constexpr uint8_t PasswordCheckByte(uint16_t Flags, uint32_t FileDateTime, uint32_t Crc32) {
  return (Flags & 0x0008) ? static_cast<uint8_t>((FileDateTime >> 8) & 0xFF)
                          : static_cast<uint8_t>(Crc32 >> 24);
}

// ---- Cipher and running CRC ------------------------------------------------
// The checksum and key state of one entry at a time, as the archive component
// holds them. A plain value: copying it copies the state.
class TZipCrypt {
 public:
  // -- Running CRC of the entry's uncompressed data.
  uint32_t Crc() const { return FCrc; }
  void SetCrc(uint32_t Value) { FCrc = Value; }
  // Sets the register to kCrcPreset, as before each entry's data.
  void ResetCrc() { FCrc = kCrcPreset; }
  // The entry's CRC-32: the register inverted.
  uint32_t FinalCrc() const { return ~FCrc; }
  static constexpr uint32_t UpdateCrc(uint32_t Crc, uint8_t Byte) { return zem::UpdateCrc(Crc, Byte); }
  // Advances the register over the bytes.
  void UpdateCrcBuffer(const void* Buffer, size_t Length) { FCrc = zem::UpdateCrcBuffer(FCrc, Buffer, Length); }

  // -- Keys.
  // key0..2 = 0x12345678, 0x23456789, 0x34567890, then UpdateKeys with every
  // byte of Password in order (no terminator).
  void InitKeys(const std::string& Password);
  void UpdateKeys(uint8_t Byte);
  // The next key-stream byte; does not change the keys.
  uint8_t KeyStreamByte() const;
  // k = KeyStreamByte; UpdateKeys(Plain); returns Plain xor k.
  uint8_t EncryptByte(uint8_t Plain);
  // Encrypts / decrypts in place, continuing the key state.
  void EncryptBuffer(void* Buffer, size_t Length);
  void DecryptBuffer(void* Buffer, size_t Length);
  // Decrypts up to kMaxLanes independent buffers, each with its own key
  // state, as Crypts[K]->DecryptBuffer(Buffers[K], Lengths[K]) would. Each
  // buffer's bytes wait for the one before; the chains of different
  // buffers do not wait for each other, so interleaved, two take little
  // more time than one alone. Count is 1 to kMaxLanes.
  static constexpr size_t kMaxLanes = 4;
  static void DecryptLanes(TZipCrypt* const* Crypts, uint8_t* const* Buffers, const size_t* Lengths,
                           size_t Count);

  // Reader side: InitKeys(Password), decrypts a copy of the 12 header bytes
  // and returns the last decrypted byte, to compare with PasswordCheckByte.
  // The key state then continues into the entry's data.
  uint8_t DecryptHeader(const std::string& Password, const uint8_t* Header);

  // Writer side: InitKeys(Password), then the 12 header bytes - ten bytes
  // Random(32767) >> 7 of a generator seeded with Seed, then bits 16..23 and
  // 24..31 of Crc32 - each passed through EncryptByte. Returns the encrypted
  // bytes; the key state continues into the entry's data.
  TEncryptionHeader MakeEncryptionHeader(const std::string& Password, uint32_t Crc32, uint32_t Seed);

  // As MakeEncryptionHeader with a seed from EncryptionHeaderSeed(), writing
  // each byte to Dest as soon as it is made. Returns true when Dest accepted
  // all 12 bytes, false when it took fewer (a full disk); the caller decides.
  bool WriteEncryptionHeader(const std::string& Password, uint32_t Crc32, TStream& Dest);

  uint32_t Key0() const { return FKey0; }
  uint32_t Key1() const { return FKey1; }
  uint32_t Key2() const { return FKey2; }
  void SetKeys(uint32_t K0, uint32_t K1, uint32_t K2) {
    FKey0 = K0;
    FKey1 = K1;
    FKey2 = K2;
  }

 private:
  uint32_t FCrc = kCrcPreset;
  uint32_t FKey0 = 0x12345678u;
  uint32_t FKey1 = 0x23456789u;
  uint32_t FKey2 = 0x34567890u;
};

}  // namespace zem

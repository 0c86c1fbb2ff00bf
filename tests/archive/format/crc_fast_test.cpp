// Tests of the folding CRC-32 against zlib's crc32: every short length at
// every start alignment, large odd sizes, running registers across splits.
#include "archive/format/crc_fast.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "archive/format/crc_crypt.h"
#include "common/test_support.h"

namespace zem {
namespace {

// zlib's view of a register update: it presets and inverts around its work.
uint32_t ZlibUpdate(uint32_t Register, const void* Data, size_t Length) {
  return ~static_cast<uint32_t>(crc32(~Register & 0xFFFFFFFFu, static_cast<const Bytef*>(Data),
                                      static_cast<uInt>(Length)));
}

// The folding routine followed by zlib for the bytes it leaves.
uint32_t FoldThenZlib(uint32_t Register, const uint8_t* Data, size_t Length) {
  const size_t done = FoldCrcBlocks(Register, Data, Length);
  return ZlibUpdate(Register, Data + done, Length - done);
}

#define REQUIRE_FOLDING() \
  if (!CrcFoldingAvailable()) GTEST_SKIP() << "no carry-less multiply on this processor"

TEST(CrcFold, ConsumesWholeChunksOfLongBuffersOnly) {
  REQUIRE_FOLDING();
  const std::string data = test::RandomBytes(300, 11);
  for (size_t n : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{79}, size_t{80}, size_t{300}}) {
    uint32_t reg = 0xA5A5A5A5u;
    const size_t done = FoldCrcBlocks(reg, data.data(), n);
    if (n < kCrcFoldMinimum) {
      EXPECT_EQ(done, 0u) << n;
      EXPECT_EQ(reg, 0xA5A5A5A5u) << n;
    } else {
      EXPECT_EQ(done, n - n % kCrcFoldChunk) << n;
      EXPECT_EQ(reg, ZlibUpdate(0xA5A5A5A5u, data.data(), done)) << n;
    }
  }
}

TEST(CrcFold, EveryLengthAndAlignmentAgreesWithZlib) {
  constexpr size_t kMaxLength = 1100;
  const std::string random = test::RandomBytes(kMaxLength + 16, 21);
  // An aligned copy, so that the start offset is exactly 0..15 from 16.
  alignas(16) static uint8_t buffer[kMaxLength + 16];
  std::memcpy(buffer, random.data(), sizeof buffer);
  const uint32_t starts[] = {kCrcPreset, 0u, 0x12345678u, 0x80000001u};
  for (size_t align = 0; align < 16; ++align) {
    for (size_t n = 0; n <= kMaxLength; ++n) {
      const uint8_t* p = buffer + align;
      const uint32_t start = starts[(n + align) % 4];
      const uint32_t expected = ZlibUpdate(start, p, n);
      ASSERT_EQ(UpdateCrcBuffer(start, p, n), expected) << "length " << n << " at offset " << align;
      ASSERT_EQ(FoldThenZlib(start, p, n), expected) << "length " << n << " at offset " << align;
    }
  }
}

TEST(CrcFold, LargeOddBuffersAndRunningRegisterAcrossSplits) {
  const size_t sizes[] = {size_t{1} << 20, (size_t{1} << 20) + 1, (size_t{1} << 20) + 15,
                          (size_t{1} << 20) + 77, 3 * (size_t{1} << 20) + 13};
  const std::string data = test::RandomBytes(sizes[4] + 3, 31);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());
  for (size_t n : sizes) {
    const uint8_t* p = bytes + n % 4;  // odd start offsets too
    const uint32_t expected = ZlibUpdate(kCrcPreset, p, n);
    EXPECT_EQ(UpdateCrcBuffer(kCrcPreset, p, n), expected) << n;
    EXPECT_EQ(Crc32Of(p, n), ~expected) << n;

    // Uneven pieces, some short (zlib only), some long (folded with a
    // tail), each continuing the register the previous one left.
    uint32_t reg = kCrcPreset;
    size_t at = 0;
    for (size_t piece = 5; at < n; piece = piece * 7 % 100003 + 1) {
      const size_t len = std::min(piece, n - at);
      reg = UpdateCrcBuffer(reg, p + at, len);
      at += len;
    }
    EXPECT_EQ(reg, expected) << n;
  }
}

TEST(CrcFold, CheckValueAndResidue) {
  const std::string digits = "123456789";
  EXPECT_EQ(Crc32Of(digits.data(), digits.size()), 0xCBF43926u);
  // The same check value from a 128-byte buffer, so through the folding
  // path alone: a register of 0 stays 0 over zero bytes, and starting from 0
  // with the first four digits inverted equals starting from the preset.
  std::string padded(119, '\0');
  padded += digits;
  for (size_t i = 119; i < 123; ++i) padded[i] = static_cast<char>(~padded[i]);
  ASSERT_EQ(padded.size(), 128u);
  EXPECT_EQ(~UpdateCrcBuffer(0, padded.data(), padded.size()), 0xCBF43926u);

  // Appending a buffer's finished CRC-32 (little-endian) gives a buffer whose
  // CRC-32 is the polynomial's fixed residue 0x2144DF1C, whatever the data:
  // an end-to-end check of the folding path that needs no other CRC routine.
  for (size_t n : {size_t{60}, size_t{64}, size_t{100}, size_t{4096 + 5}}) {
    std::string data = test::RandomBytes(n, static_cast<uint32_t>(n));
    const uint32_t crc = Crc32Of(data.data(), data.size());
    for (int i = 0; i < 4; ++i) data.push_back(static_cast<char>(crc >> (8 * i)));
    EXPECT_EQ(Crc32Of(data.data(), data.size()), 0x2144DF1Cu) << n;
  }
}

TEST(CrcFold, ConstantsAreRemaindersOfPowersOfX) {
  // A table entry is the byte's polynomial times x^32 mod P, and bit 0 of a
  // byte is its x^7 coefficient: entry 0x01 is x^39 mod P, entry 0x80 x^32.
  EXPECT_EQ(crc_fold_detail::XPowModP(39), CrcTable[0x01]);
  EXPECT_EQ(crc_fold_detail::XPowModP(32), CrcTable[0x80]);
  // A byte step over a zero byte multiplies the register by x^8.
  EXPECT_EQ(crc_fold_detail::XPowModP(47), UpdateCrc(CrcTable[0x01], 0));
  EXPECT_EQ(crc_fold_detail::XPowModP(544), [] {
    uint32_t r = crc_fold_detail::XPowModP(32);
    for (int i = 0; i < 64; ++i) r = UpdateCrc(r, 0);
    return r;
  }());
  EXPECT_EQ(crc_fold_detail::XPowModP(0), 0x80000000u);
  // mu times P is x^64 plus a remainder of degree below 32.
  const uint64_t mu = crc_fold_detail::QuotientX64();
  const uint64_t p = crc_fold_detail::PolynomialNormal();
  unsigned __int128 product = 0;
  for (int k = 0; k <= 32; ++k)
    if ((mu >> k) & 1) product ^= static_cast<unsigned __int128>(p) << k;
  EXPECT_EQ(static_cast<uint64_t>(product >> 64), 1u);
  EXPECT_EQ(static_cast<uint64_t>(product) >> 32, 0u);
}

}  // namespace
}  // namespace zem

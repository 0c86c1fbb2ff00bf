// CRC-32 of long buffers by carry-less multiplication folding, with the
// folding constants derived at compile time from the polynomial.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zem {

// ---- Folding constants -------------------------------------------------------
// The CRC works on the reflected form of P = x^32 + x^26 + ... + x + 1: in a
// 32-bit register bit i holds the coefficient of x^(31-i), so multiplying by
// x is a right shift, and the x^32 that falls off bit 0 is replaced by
// P - x^32 = 0xEDB88320.
//
// Folding rests on one identity: a 128-bit chunk A that lies D bits before
// the end of a later chunk B adds A(x) x^D to B, and only its remainder mod
// P matters. Split A into the 64 coefficients of highest degree H (the low
// quadword as loaded, reflected) and the 64 lowest L:
//   A x^D = H x^(D+64) + L x^D = x^32 (H x^(D+32) + L x^(D-32)).
// The carry-less product of a reflected 64-bit H with a constant stored as
// (reflected 32-bit remainder) << 1 lands, bit for bit, on the 128-bit
// layout of B once that factor x^32 is counted; so H is multiplied by
// x^(D+32) mod P and L by x^(D-32) mod P, both stored shifted left by one.
// Four chunks in flight fold across D = 512 bits, one chunk across 128.
//
// The final 128 bits X need X x^32 mod P. Folding the high quadword over the
// low one by x^96 mod P leaves 96 bits that stand for X x^32; folding their
// top 32 over the rest by x^64 mod P leaves 64 bits W with the same
// remainder. Barrett reduction then finds W mod P with two more products:
// Q = floor(W / x^32), T = floor(Q mu / x^32) P with mu = floor(x^64 / P),
// and the remainder is the low 32 coefficients of W + T. Both mu and P are
// 33-bit polynomials, stored reflected over 33 bits.
namespace crc_fold_detail {

// x^N mod P, reflected.
constexpr uint32_t XPowModP(unsigned N) {
  uint32_t r = 0x80000000u;  // x^0
  for (unsigned i = 0; i < N; ++i) r = (r >> 1) ^ ((r & 1) ? 0xEDB88320u : 0u);
  return r;
}

// x^N mod P as a folding multiplier: reflected, shifted left by one.
constexpr uint64_t FoldConstant(unsigned N) { return uint64_t{XPowModP(N)} << 1; }

// Reverses the low 33 bits (bit j goes to bit 32 - j).
constexpr uint64_t Reflect33(uint64_t V) {
  uint64_t r = 0;
  for (int j = 0; j <= 32; ++j)
    if ((V >> j) & 1) r |= uint64_t{1} << (32 - j);
  return r;
}

// P in ordinary bit order (bit k holds the coefficient of x^k).
constexpr uint64_t PolynomialNormal() { return Reflect33(uint64_t{0xEDB88320u} << 1 | 1u); }

// floor(x^64 / P) in ordinary bit order, by long division. The first step
// (x^64 over P x^32) leaves x^64 + P x^32, which fits in 64 bits.
constexpr uint64_t QuotientX64() {
  const uint64_t p = PolynomialNormal();
  uint64_t quotient = uint64_t{1} << 32;
  uint64_t rest = (p & 0xFFFFFFFFu) << 32;
  for (int k = 31; k >= 0; --k) {
    if ((rest >> (k + 32)) & 1) {
      quotient |= uint64_t{1} << k;
      rest ^= p << k;
    }
  }
  return quotient;
}

}  // namespace crc_fold_detail

// Multipliers for the low (high-degree) and high quadwords of a chunk
// folded 512 bits ahead, then 128 bits ahead; the 96-to-64 step; Barrett's
// mu and the polynomial itself.
inline constexpr uint64_t kCrcFold512Low = crc_fold_detail::FoldConstant(512 + 32);
inline constexpr uint64_t kCrcFold512High = crc_fold_detail::FoldConstant(512 - 32);
inline constexpr uint64_t kCrcFold128Low = crc_fold_detail::FoldConstant(128 + 32);
inline constexpr uint64_t kCrcFold128High = crc_fold_detail::FoldConstant(128 - 32);
inline constexpr uint64_t kCrcFold64 = crc_fold_detail::FoldConstant(64);
inline constexpr uint64_t kCrcBarrettMu = crc_fold_detail::Reflect33(crc_fold_detail::QuotientX64());
inline constexpr uint64_t kCrcBarrettPoly = crc_fold_detail::Reflect33(crc_fold_detail::PolynomialNormal());

// ---- Folding CRC ---------------------------------------------------------------
// Shortest buffer worth folding: four chunks start the loop.
inline constexpr size_t kCrcFoldMinimum = 64;
// The folding routine consumes whole chunks of this size.
inline constexpr size_t kCrcFoldChunk = 16;

// True when this processor can run FoldCrcBlocks (carry-less multiply and
// SSE4.1 on x86); decided once.
bool CrcFoldingAvailable();

// Advances the CRC register Crc (no preset, no inversion, as
// UpdateCrcBuffer) over the longest prefix of the buffer made of whole
// kCrcFoldChunk chunks, and returns that prefix's length; the caller runs
// the remaining bytes (fewer than kCrcFoldChunk) through another routine.
// Returns 0 and leaves Crc alone when Length < kCrcFoldMinimum or when
// CrcFoldingAvailable() is false. The buffer needs no alignment.
size_t FoldCrcBlocks(uint32_t& Crc, const void* Buffer, size_t Length);

}  // namespace zem

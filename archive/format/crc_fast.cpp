// Carry-less multiplication folding CRC-32 for x86 processors with
// PCLMULQDQ and SSE4.1, chosen at run time.
#include "archive/format/crc_fast.h"

#include "platform/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZEM_CRC_FOLDING_X86 1
#endif

namespace zem {

// The derived constants against the values published for this polynomial
// (Intel's white paper on CRC folding): a slip in the derivation stops the
// build instead of corrupting checksums.
static_assert(kCrcFold512Low == 0x154442BD4u && kCrcFold512High == 0x1C6E41596u);
static_assert(kCrcFold128Low == 0x1751997D0u && kCrcFold128High == 0x0CCAA009Eu);
static_assert(kCrcFold64 == 0x163CD6124u);
static_assert(kCrcBarrettMu == 0x1F7011641u && kCrcBarrettPoly == 0x1DB710641u);

namespace {

#ifdef ZEM_CRC_FOLDING_X86

#define ZEM_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

// A XOR (low quadword of X) x Low XOR (high quadword of X) x High, the
// multipliers sitting in K's low and high quadwords: X folded onto A.
ZEM_CLMUL_TARGET inline __m128i FoldOnto(__m128i X, __m128i K, __m128i A) {
  const __m128i lo = _mm_clmulepi64_si128(X, K, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(X, K, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), A);
}

ZEM_CLMUL_TARGET inline __m128i Load(const uint8_t* P) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
}

// Length >= 64 and a multiple of 16. Four independent chains of 128 bits
// keep the multiplier busy while earlier products finish; they are folded
// into one at the end, the leftover chunks follow one by one, then the
// 128 bits are reduced to the register (see crc_fast.h).
ZEM_CLMUL_TARGET uint32_t FoldClmul(uint32_t Crc, const uint8_t* P, size_t Length) {
  const __m128i k512 = _mm_set_epi64x(static_cast<long long>(kCrcFold512High),
                                      static_cast<long long>(kCrcFold512Low));
  const __m128i k128 = _mm_set_epi64x(static_cast<long long>(kCrcFold128High),
                                      static_cast<long long>(kCrcFold128Low));
  // The running register enters as an XOR over the first four bytes.
  __m128i x0 = _mm_xor_si128(Load(P), _mm_cvtsi32_si128(static_cast<int>(Crc)));
  __m128i x1 = Load(P + 16);
  __m128i x2 = Load(P + 32);
  __m128i x3 = Load(P + 48);
  P += 64;
  Length -= 64;
  while (Length >= 64) {
    x0 = FoldOnto(x0, k512, Load(P));
    x1 = FoldOnto(x1, k512, Load(P + 16));
    x2 = FoldOnto(x2, k512, Load(P + 32));
    x3 = FoldOnto(x3, k512, Load(P + 48));
    P += 64;
    Length -= 64;
  }
  __m128i x = FoldOnto(x0, k128, x1);
  x = FoldOnto(x, k128, x2);
  x = FoldOnto(x, k128, x3);
  for (; Length >= 16; Length -= 16, P += 16) x = FoldOnto(x, k128, Load(P));

  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  const __m128i k96k64 = _mm_set_epi64x(static_cast<long long>(kCrcFold64),
                                        static_cast<long long>(kCrcFold128High));
  // 128 -> 96 bits: the high-degree quadword times x^96 mod P onto the rest.
  x = _mm_xor_si128(_mm_clmulepi64_si128(x, k96k64, 0x00), _mm_srli_si128(x, 8));
  // 96 -> 64 bits: the top 32 coefficients times x^64 mod P onto the rest.
  x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, mask32), k96k64, 0x10), _mm_srli_si128(x, 4));
  // Barrett: Q mu, its top 32 coefficients times P, added; the remainder is
  // then in bits 32..63.
  const __m128i barrett = _mm_set_epi64x(static_cast<long long>(kCrcBarrettMu),
                                         static_cast<long long>(kCrcBarrettPoly));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), barrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), barrett, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

#endif  // ZEM_CRC_FOLDING_X86

}  // namespace

bool CrcFoldingAvailable() {
#ifdef ZEM_CRC_FOLDING_X86
  return platform::CpuHasCarrylessMultiply();
#else
  return false;
#endif
}

size_t FoldCrcBlocks(uint32_t& Crc, const void* Buffer, size_t Length) {
#ifdef ZEM_CRC_FOLDING_X86
  if (Length < kCrcFoldMinimum || !CrcFoldingAvailable()) return 0;
  const size_t whole = Length - Length % kCrcFoldChunk;
  Crc = FoldClmul(Crc, static_cast<const uint8_t*>(Buffer), whole);
  return whole;
#else
  (void)Crc;
  (void)Buffer;
  (void)Length;
  return 0;
#endif
}

}  // namespace zem

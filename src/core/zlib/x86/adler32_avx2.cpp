// Adler-32 with AVX2, 32 bytes at a time: the bytes' sum goes to `a` by a
// sum of absolute differences with zero, and their sum weighted by their
// distance from the end of the 32 to `b` by a multiply-add; `b` also takes
// 32 times each earlier block's `a`.  Sums are reduced modulo 65521 after
// at most kMostBlocks blocks, before any 32-bit lane can overflow.  Only the
// function marked with the target attribute uses AVX2.
#include "velkorenc/core/zlib/adler32_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velkorenc::core::detail {

#if defined(__x86_64__)

namespace {

constexpr std::uint32_t kBase = 65521;
// zlib's NMAX, the most bytes whose sums fit 32 bits from any start, in
// whole blocks.
constexpr std::size_t kMostBlocks = 5552 / 32;

__attribute__((target("avx2"), always_inline)) inline std::uint64_t lane_sum(__m256i v) noexcept {
  const __m128i folded = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  const __m128i halves = _mm_add_epi32(folded, _mm_shuffle_epi32(folded, 0x4E));
  const __m128i total = _mm_add_epi32(halves, _mm_shuffle_epi32(halves, 0xB1));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(total));
}

}  // namespace

__attribute__((target("avx2"))) std::uint32_t adler32_avx2(std::uint32_t adler, const std::uint8_t* data,
                                                           std::size_t size) noexcept {
  std::uint64_t a = adler & 0xFFFFu;
  std::uint64_t b = adler >> 16;
  const __m256i weights = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18,
                                           17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m256i ones = _mm256_set1_epi16(1);
  const __m256i zero = _mm256_setzero_si256();
  for (std::size_t blocks_left = size / 32; blocks_left != 0;) {
    const std::size_t blocks = blocks_left < kMostBlocks ? blocks_left : kMostBlocks;
    blocks_left -= blocks;
    __m256i sums = zero;      // the bytes' sum so far, in four lanes
    __m256i earlier = zero;   // the sums before each block, added up
    __m256i weighted = zero;  // each block's bytes weighted 32 down to 1
    for (std::size_t k = 0; k < blocks; ++k, data += 32) {
      const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data));
      earlier = _mm256_add_epi32(earlier, sums);
      sums = _mm256_add_epi32(sums, _mm256_sad_epu8(bytes, zero));
      weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(_mm256_maddubs_epi16(bytes, weights), ones));
    }
    b += 32 * blocks * a + 32 * lane_sum(earlier) + lane_sum(weighted);
    a += lane_sum(sums);
    a %= kBase;
    b %= kBase;
  }
  return static_cast<std::uint32_t>((b << 16) | a);
}

#else

std::uint32_t adler32_avx2(std::uint32_t adler, const std::uint8_t*, std::size_t) noexcept { return adler; }

#endif

}  // namespace velkorenc::core::detail

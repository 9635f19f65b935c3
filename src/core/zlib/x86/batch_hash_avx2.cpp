// The hashes of a run of literals' batch with AVX2, eight positions to a
// vector: each lane's three bytes are spread from the loaded bytes by a
// shuffle within each 128-bit half (the halves hold the bytes from the
// first and the fifth position on), then hashed as the reference does.
// Only the function marked with the target attribute uses AVX2.
#include "velkorenc/core/zlib/deflate.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velkorenc::core::level6::detail {

#if defined(__x86_64__)

static_assert(kRunBatch == 16, "two vectors of eight positions");

__attribute__((target("avx2"))) void hash_batch_avx2(const std::uint8_t* bytes,
                                                     BatchHashes& out) noexcept {
  // In each half, lane i takes bytes i, i + 1 and i + 2 of the half's 16;
  // the fourth byte of each lane is cleared (an index with its top bit set).
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 1, 2, 3, -1, 2, 3, 4, -1, 3, 4, 5, -1,
                                          0, 1, 2, -1, 1, 2, 3, -1, 2, 3, 4, -1, 3, 4, 5, -1);
  const __m256i golden = _mm256_set1_epi32(static_cast<int>(2654435761u));
  const __m256i seven = _mm256_set1_epi32(7);
  const __m256i one = _mm256_set1_epi32(1);
  for (std::uint32_t half = 0; half < kRunBatch; half += 8) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + half));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + half + 4));
    const __m256i three = _mm256_shuffle_epi8(_mm256_set_m128i(high, low), spread);
    const __m256i chain = _mm256_and_si256(
        _mm256_xor_si256(_mm256_xor_si256(_mm256_slli_epi32(three, 10),
                                          _mm256_and_si256(_mm256_srli_epi32(three, 3),
                                                           _mm256_set1_epi32(0x1FE0))),
                         _mm256_srli_epi32(three, 16)),
        _mm256_set1_epi32(kHashSize - 1));
    const __m256i slot = _mm256_srli_epi32(_mm256_mullo_epi32(three, golden), 32 - kRecentBits);
    _mm256_store_si256(reinterpret_cast<__m256i*>(out.chain + half), chain);
    _mm256_store_si256(reinterpret_cast<__m256i*>(out.byte + half), _mm256_srli_epi32(slot, 3));
    _mm256_store_si256(reinterpret_cast<__m256i*>(out.bit + half),
                       _mm256_sllv_epi32(one, _mm256_and_si256(slot, seven)));
  }
}

#else

void hash_batch_avx2(const std::uint8_t*, BatchHashes&) noexcept {}

#endif

}  // namespace velkorenc::core::level6::detail

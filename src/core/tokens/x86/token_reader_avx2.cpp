// AVX2 reading of letter tokens, 64 at a time.  Only the functions marked
// with the target attribute use AVX2 or BMI2, so the rest of the core, and
// any inline code this file shares with it, stays baseline x86-64.
#include "velkorenc/core/tokens/token_kernels.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velkorenc::core::detail {

#if defined(__x86_64__)

namespace {

constexpr std::size_t kVector = 32;
static_assert(kBlockChars % kVector == 0, "a block is a whole number of vectors");

// The eight letters of a token, known to be 'q' or 'z', as the index of
// by_letters: bit p from the lowest bit of character p, which is set for 'q'
// and clear for 'z'.
template <bool kPext>
__attribute__((target("avx2,bmi2"), always_inline)) inline std::uint64_t letter_bits(
    const std::uint8_t* token) noexcept {
  constexpr std::uint64_t kLowBits = 0x0101010101010101ULL;
  std::uint64_t packed;
  std::memcpy(&packed, token, kTokenLength);
  if constexpr (kPext) {
    return _pext_u64(packed, kLowBits);
  } else {
    // Moves bit 0 of byte p to bit 56 + p; the partial products never carry.
    return ((packed & kLowBits) * 0x0102040810204080ULL) >> 56;
  }
}

// A block is taken only when each of its characters is what a valid block
// holds there and each of its tokens is in the table; otherwise reading
// stops before it, and nothing of it is written.
template <bool kPext>
__attribute__((target("avx2,bmi2"))) std::size_t read_letter_blocks(
    const DecodeTable& table, const std::uint8_t* chars, std::size_t size,
    std::uint8_t delimiter, std::uint8_t* out) noexcept {
  if (size < kBlockChars) return 0;
  const BlockSetup setup(table, delimiter);
  std::size_t count = 0;
  for (std::size_t pos = 0; size - pos >= kBlockChars; pos += kBlockChars) {
    const std::uint8_t* block = chars + pos;
    __m256i fits = _mm256_set1_epi8(-1);
#pragma GCC unroll 18
    for (std::size_t j = 0; j < kBlockChars; j += kVector) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + j));
      const __m256i one = _mm256_load_si256(reinterpret_cast<const __m256i*>(setup.one_rows + j));
      const __m256i zero =
          _mm256_load_si256(reinterpret_cast<const __m256i*>(setup.zero_rows + j));
      fits = _mm256_and_si256(
          fits, _mm256_or_si256(_mm256_cmpeq_epi8(v, one), _mm256_cmpeq_epi8(v, zero)));
    }
    if (_mm256_movemask_epi8(fits) != -1) break;

    alignas(kVector) std::int16_t got[kBlockTokens];
#pragma GCC unroll 16
    for (std::size_t k = 0; k < kBlockTokens; ++k) {
      got[k] = setup.values[letter_bits<kPext>(block + k * kBlockStride)];
    }
    const auto* wide = reinterpret_cast<const __m256i*>(got);
    const __m256i g0 = _mm256_load_si256(wide), g1 = _mm256_load_si256(wide + 1);
    const __m256i g2 = _mm256_load_si256(wide + 2), g3 = _mm256_load_si256(wide + 3);
    // A missing token is -1, the only value with its high byte set.
    const __m256i any = _mm256_or_si256(_mm256_or_si256(g0, g1), _mm256_or_si256(g2, g3));
    if (static_cast<unsigned>(_mm256_movemask_epi8(any)) & 0xAAAAAAAAu) break;
    // Narrow to bytes; packing works within lanes, the permute restores order.
    const __m256i low = _mm256_permute4x64_epi64(_mm256_packus_epi16(g0, g1), 0xD8);
    const __m256i high = _mm256_permute4x64_epi64(_mm256_packus_epi16(g2, g3), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + count), low);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + count + kVector), high);
    count += kBlockTokens;
  }
  return count;
}

}  // namespace

std::size_t read_letter_blocks_avx2(const DecodeTable& table, const std::uint8_t* chars,
                                    std::size_t size, std::uint8_t delimiter,
                                    std::uint8_t* out) noexcept {
  return read_letter_blocks<false>(table, chars, size, delimiter, out);
}

std::size_t read_letter_blocks_avx2_pext(const DecodeTable& table, const std::uint8_t* chars,
                                         std::size_t size, std::uint8_t delimiter,
                                         std::uint8_t* out) noexcept {
  return read_letter_blocks<true>(table, chars, size, delimiter, out);
}

#else  // no vector kernels off x86-64

std::size_t read_letter_blocks_avx2(const DecodeTable&, const std::uint8_t*, std::size_t,
                                    std::uint8_t, std::uint8_t*) noexcept {
  return 0;
}

std::size_t read_letter_blocks_avx2_pext(const DecodeTable&, const std::uint8_t*, std::size_t,
                                         std::uint8_t, std::uint8_t*) noexcept {
  return 0;
}

#endif

}  // namespace velkorenc::core::detail

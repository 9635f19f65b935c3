// AVX-512 reading of letter tokens, 64 at a time: each group of eight tokens
// is gathered into eight 64-bit lanes by a byte permutation, its letter bits
// are one mask test, and the 64 values come from the table by two-register
// byte permutations.  Only the functions marked with the target attribute
// use AVX-512.
#include "velkorenc/core/tokens/token_kernels.hpp"

#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velkorenc::core::detail {

#if defined(__x86_64__)

namespace {

constexpr std::size_t kVector = 64;
constexpr std::size_t kVectors = kBlockChars / kVector;
constexpr std::size_t kGroups = kBlockTokens / 8;
static_assert(kBlockChars % kVector == 0, "a block is a whole number of vectors");
static_assert(kGroups + 1 == kVectors, "group g reads vectors g and g + 1");
static_assert(kBlockStride * 57 % kVector == 1 && kBlockTokens == kVector, "57 is 1/9 mod 64");

// Group g, tokens 8g to 8g + 7, starts at character 72g, which is 8g into
// vector g: lane byte 8t + p of the gathered group is character p of its
// token t, at 8g + 9t + p of vectors g and g + 1 taken together.
constexpr std::array<std::array<std::uint8_t, kVector>, kGroups> gather_indexes() {
  std::array<std::array<std::uint8_t, kVector>, kGroups> indexes{};
  for (std::size_t g = 0; g < kGroups; ++g) {
    for (std::size_t t = 0; t < 8; ++t) {
      for (std::size_t p = 0; p < kTokenLength; ++p) {
        indexes[g][8 * t + p] = static_cast<std::uint8_t>(8 * g + kBlockStride * t + p);
      }
    }
  }
  return indexes;
}

alignas(kVector) constexpr auto kGather = gather_indexes();

// Reading a block with the setup in vector registers: the characters a
// valid block may hold at each position, and the table's values by letter
// bits in four vectors with which of them it has (0xFF) or lacks (0).
class BlockReader {
 public:
  VELKORENC_AVX512 BlockReader(const DecodeTable& table, std::uint8_t delimiter) noexcept {
    const BlockSetup setup(table, delimiter);
    for (std::size_t i = 0; i < kVectors; ++i) {
      one_rows_[i] = _mm512_load_si512(setup.one_rows + i * kVector);
      zero_rows_[i] = _mm512_load_si512(setup.zero_rows + i * kVector);
    }
    alignas(kVector) std::uint8_t values[256];
    alignas(kVector) std::uint8_t present[256];
    for (unsigned bits = 0; bits < 256; ++bits) {
      const std::int16_t value = setup.values[bits];
      values[bits] = value < 0 ? 0 : static_cast<std::uint8_t>(value);
      present[bits] = value < 0 ? 0 : 0xFF;
    }
    for (std::size_t i = 0; i < 4; ++i) {
      values_[i] = _mm512_load_si512(values + i * kVector);
      present_[i] = _mm512_load_si512(present + i * kVector);
    }
  }

  // Reads the block in `v` to `out`; false, writing nothing, when it is not
  // a valid block of tokens of the table.
  VELKORENC_AVX512 __attribute__((always_inline)) inline bool read(
      const __m512i (&v)[kVectors], std::uint8_t* out) const noexcept {
    // A character fits when it equals one of its two: the smaller of its
    // differences (as XOR) from them is 0.
    __m512i misfits = _mm512_setzero_si512();
#pragma GCC unroll 9
    for (std::size_t i = 0; i < kVectors; ++i) {
      misfits = _mm512_or_si512(misfits,
                                _mm512_min_epu8(_mm512_xor_si512(v[i], one_rows_[i]),
                                                _mm512_xor_si512(v[i], zero_rows_[i])));
    }
    if (_mm512_test_epi8_mask(misfits, misfits) != 0) return false;

    // Byte 8t + p of lane g's mask: whether character p of token 8g + t is
    // 'q', the letter with the low bit set.
    const __m512i low_bit = _mm512_set1_epi8(1);
    std::uint64_t bits[kGroups];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < kGroups; ++g) {
      const __m512i index = _mm512_load_si512(kGather[g].data());
      bits[g] = _mm512_test_epi8_mask(_mm512_permutex2var_epi8(v[g], index, v[g + 1]), low_bit);
    }
    const __m512i letters = _mm512_loadu_si512(bits);
    const __mmask64 high = _mm512_movepi8_mask(letters);
    const __m512i known = _mm512_mask_blend_epi8(
        high, _mm512_permutex2var_epi8(present_[0], letters, present_[1]),
        _mm512_permutex2var_epi8(present_[2], letters, present_[3]));
    if (_mm512_movepi8_mask(known) != ~__mmask64{0}) return false;
    _mm512_storeu_si512(out, _mm512_mask_blend_epi8(
                                 high, _mm512_permutex2var_epi8(values_[0], letters, values_[1]),
                                 _mm512_permutex2var_epi8(values_[2], letters, values_[3])));
    return true;
  }

 private:
  __m512i one_rows_[kVectors];
  __m512i zero_rows_[kVectors];
  __m512i values_[4];
  __m512i present_[4];
};

}  // namespace

template <bool kAligned>
VELKORENC_AVX512 __attribute__((always_inline)) inline bool read_block(
    const BlockReader& reader, const std::uint8_t* block, std::uint8_t* out) noexcept {
  __m512i v[kVectors];
#pragma GCC unroll 9
  for (std::size_t i = 0; i < kVectors; ++i) {
    v[i] = kAligned ? _mm512_load_si512(block + i * kVector)
                    : _mm512_loadu_si512(block + i * kVector);
  }
  return reader.read(v, out);
}

// A block is taken only when each of its characters is what a valid block
// holds there and each of its tokens is in the table; otherwise reading
// stops before it, and nothing of it is written.
//
// Loads that straddle two cache lines are slow, and a block is a whole
// number of lines long, so blocks are read from the first token that starts
// a line: after a first block read as it lies, the next starts at that token
// (reading some tokens of the first again, to the same bytes), and every
// later one at a line too.
VELKORENC_AVX512 std::size_t read_letter_blocks_avx512(const DecodeTable& table,
                                                       const std::uint8_t* chars,
                                                       std::size_t size, std::uint8_t delimiter,
                                                       std::uint8_t* out) noexcept {
  if (size < kBlockChars) return 0;
  const BlockReader reader(table, delimiter);
  // Token k starts a line when 9k = -address (mod 64); 57 is 1/9 mod 64.
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(chars);
  const std::size_t to_line = (kVector - address % kVector) % kVector;
  const std::size_t first_aligned = to_line * 57 % kBlockTokens;
  std::size_t count = 0;
  if (first_aligned != 0) {
    if (!read_block<false>(reader, chars, out)) return 0;
    count = first_aligned;
  }
  for (; size - count * kBlockStride >= kBlockChars; count += kBlockTokens) {
    if (!read_block<true>(reader, chars + count * kBlockStride, out + count)) break;
  }
  return count;
}

#else  // no vector kernels off x86-64

std::size_t read_letter_blocks_avx512(const DecodeTable&, const std::uint8_t*, std::size_t,
                                      std::uint8_t, std::uint8_t*) noexcept {
  return 0;
}

#endif

}  // namespace velkorenc::core::detail

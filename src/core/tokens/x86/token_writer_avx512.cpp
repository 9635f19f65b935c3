// AVX-512 writing of letter tokens, 64 at a time.  A group of 64 tokens is
// 576 characters, nine 64-byte lines, so every group starts at the same
// offset into a line: each aligned line of the text takes the tokens it shows
// from the group and the one before by a byte permutation, and its letters
// by one mask test of their bits.  Only the functions marked with the target
// attribute use AVX-512.
#include "velkorenc/core/tokens/token_kernels.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velkorenc::core::detail {

#if defined(__x86_64__)

namespace {

constexpr std::size_t kLine = 64;
constexpr std::ptrdiff_t kGroupChars = kBlockChars;
static_assert(kBlockTokens == kLine && kBlockChars % kLine == 0,
              "a group of tokens is a whole number of lines");

// For each character x of a group, counted from its first token's first
// letter, from one line before the group (the last characters of the group
// before) to its end, at entry x + kLine:
// - `token`: which token shows there, as an index into the previous group's
//   64 values followed by this group's (so 64 + the token's number in the
//   group, which is negative before the group);
// - `letter_bit`: 1 << p for letter p of that token, 0 for a delimiter.
struct LinePatterns {
  alignas(kLine) std::uint8_t token[kLine + kGroupChars];
  alignas(kLine) std::uint8_t letter_bit[kLine + kGroupChars];
};

constexpr LinePatterns line_patterns() noexcept {
  LinePatterns patterns{};
  constexpr auto stride = static_cast<std::ptrdiff_t>(kBlockStride);
  for (std::ptrdiff_t x = -static_cast<std::ptrdiff_t>(kLine); x < kGroupChars; ++x) {
    const std::ptrdiff_t token = x >= 0 ? x / stride : -((-x + stride - 1) / stride);
    const std::ptrdiff_t within = x - token * stride;
    patterns.token[x + kLine] = static_cast<std::uint8_t>(static_cast<std::ptrdiff_t>(kLine) + token);
    patterns.letter_bit[x + kLine] =
        within < static_cast<std::ptrdiff_t>(kTokenLength) ? static_cast<std::uint8_t>(1u << within) : 0;
  }
  return patterns;
}

constexpr LinePatterns kPatterns = line_patterns();

// The text being written: positions count from the first token's first
// letter, and [lo, hi) of them are written.
struct Text {
  std::uintptr_t first;
  std::ptrdiff_t lo;
  std::ptrdiff_t hi;
  std::ptrdiff_t offset;  // how far into its line each group starts, 1 to 64
  bool streamed;
};

class LineWriter {
 public:
  VELKORENC_AVX512 LineWriter(const std::uint8_t* letter_bits, char delimiter,
                              std::ptrdiff_t offset) noexcept
      : bits0_(_mm512_loadu_si512(letter_bits)),
        bits1_(_mm512_loadu_si512(letter_bits + 64)),
        bits2_(_mm512_loadu_si512(letter_bits + 128)),
        bits3_(_mm512_loadu_si512(letter_bits + 192)),
        one_(_mm512_set1_epi8(kOneLetter)) {
    // Each line with every letter 'z': only the letters that are 'q' change.
    const __m512i zero = _mm512_set1_epi8(kZeroLetter);
    const __m512i delimiters = _mm512_set1_epi8(delimiter);
    for (std::size_t line = 0; line < kBlockStride; ++line) {
      const __m512i letter_bit = _mm512_loadu_si512(kPatterns.letter_bit + entry(line, offset));
      blank_[line] = _mm512_mask_blend_epi8(_mm512_testn_epi8_mask(letter_bit, letter_bit), zero,
                                            delimiters);
    }
  }

  // Where line `line` of a group starts in the patterns.
  static std::ptrdiff_t entry(std::size_t line, std::ptrdiff_t offset) noexcept {
    return static_cast<std::ptrdiff_t>(kLine + kLine * line) - offset;
  }

  // The letter bits of up to 64 values; those past `count` read as 0.
  VELKORENC_AVX512 __attribute__((always_inline)) inline __m512i letters_of(
      const std::uint8_t* values, std::size_t count) const noexcept {
    const __mmask64 present = count >= kLine ? ~__mmask64{0} : (__mmask64{1} << count) - 1;
    const __m512i v = _mm512_maskz_loadu_epi8(present, values);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), _mm512_permutex2var_epi8(bits0_, v, bits1_),
                                  _mm512_permutex2var_epi8(bits2_, v, bits3_));
  }

  // Line `line` of the group whose first token is number `first_token`,
  // from its letter bits and its predecessor's.
  VELKORENC_AVX512 __attribute__((always_inline)) inline void write_line(
      const Text& text, std::size_t first_token, std::size_t line, __m512i before,
      __m512i group) const noexcept {
    const std::ptrdiff_t at_entry = entry(line, text.offset);
    const __m512i token = _mm512_loadu_si512(kPatterns.token + at_entry);
    const __m512i letter_bit = _mm512_loadu_si512(kPatterns.letter_bit + at_entry);
    const __m512i bits = _mm512_permutex2var_epi8(before, token, group);
    const __m512i chars =
        _mm512_mask_blend_epi8(_mm512_test_epi8_mask(bits, letter_bit), blank_[line], one_);

    const std::ptrdiff_t x = static_cast<std::ptrdiff_t>(kBlockStride * first_token + kLine * line) -
                             text.offset;
    void* at = reinterpret_cast<void*>(text.first + static_cast<std::uintptr_t>(x));
    if (x >= text.lo && x + static_cast<std::ptrdiff_t>(kLine) <= text.hi) {
      if (text.streamed) {
        _mm512_stream_si512(static_cast<__m512i*>(at), chars);
      } else {
        _mm512_store_si512(at, chars);
      }
      return;
    }
    // A line at an edge: only its characters inside the text.
    const std::ptrdiff_t from = std::max(text.lo, x) - x;
    const std::ptrdiff_t to = std::min(text.hi, x + static_cast<std::ptrdiff_t>(kLine)) - x;
    if (from >= to) return;
    const __mmask64 inside = (to - from == static_cast<std::ptrdiff_t>(kLine)
                                  ? ~__mmask64{0}
                                  : (__mmask64{1} << (to - from)) - 1)
                             << from;
    _mm512_mask_storeu_epi8(at, inside, chars);
  }

 private:
  __m512i bits0_, bits1_, bits2_, bits3_;
  __m512i one_;
  __m512i blank_[kBlockStride];
};

}  // namespace

VELKORENC_AVX512 char* write_letter_tokens_avx512(const std::uint8_t* letter_bits,
                                                  const std::uint8_t* values, std::size_t count,
                                                  char delimiter, bool leading_delimiter,
                                                  char* out, bool streamed) noexcept {
  if (count == 0) return out;
  Text text;
  text.first = reinterpret_cast<std::uintptr_t>(out) + (leading_delimiter ? 1 : 0);
  text.lo = leading_delimiter ? -1 : 0;
  text.hi = static_cast<std::ptrdiff_t>(kBlockStride * count) - 1;
  // From 1 to 64, so that the first line also holds the character before
  // the first token: a leading delimiter.
  text.offset = static_cast<std::ptrdiff_t>(kLine - (kLine - text.first % kLine) % kLine);
  text.streamed = streamed;
  const LineWriter writer(letter_bits, delimiter, text.offset);
  __m512i before = _mm512_setzero_si512();
  std::size_t first_token = 0;
  for (; first_token < count; first_token += kBlockTokens) {
    const __m512i group = writer.letters_of(values + first_token, count - first_token);
#pragma GCC unroll 9
    for (std::size_t line = 0; line < kBlockStride; ++line) {
      writer.write_line(text, first_token, line, before, group);
    }
    before = group;
  }
  // The line that a next group would begin with holds the last characters
  // of this one.
  writer.write_line(text, first_token, 0, before, _mm512_setzero_si512());
  return out + (text.hi - text.lo);
}

#else  // no vector kernels off x86-64

char* write_letter_tokens_avx512(const std::uint8_t*, const std::uint8_t*, std::size_t, char,
                                 bool, char* out, bool) noexcept {
  return out;
}

#endif

}  // namespace velkorenc::core::detail

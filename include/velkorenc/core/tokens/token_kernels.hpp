// The vector kernels of the token writer and of the narrow token reader, and
// the letter bits both share.  The writer's choice lives in token_writer.cpp;
// the reader's kernels, their scalar continuation and the choice between them
// in token_reader.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "velkorenc/core/tokens/tokens.hpp"

// The instructions that the writer's and the reader's AVX-512 kernels use.
#define VELKORENC_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace velkorenc::core::detail {

// For eight letters packed little-endian: bit p of the result is set where
// character p is 'q'; false when any character is neither 'q' nor 'z'.
inline bool letters_to_bits(std::uint64_t packed, std::uint8_t& bits) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  const std::uint64_t t = packed ^ (kOnes * static_cast<std::uint8_t>(kOneLetter));
  // 'q' becomes 0x00 and 'z' becomes 0x0B; accept exactly those two.
  if ((t & (kOnes * 0xF4)) != 0) return false;
  if (((t ^ (t >> 1)) & kOnes) != 0 || ((t ^ (t >> 3)) & kOnes) != 0) return false;
  const std::uint64_t q_mask = ~t & kOnes;  // low bit of each byte: 1 for 'q'
  // Gathers bit 0 of byte p into bit p; the partial products never carry.
  bits = static_cast<std::uint8_t>((q_mask * 0x0102040810204080ULL) >> 56);
  return true;
}

// The unshuffled token of u spells its bits from the highest, so its letter
// bits (bit p for character p) are those of u reversed.
constexpr std::array<std::uint8_t, 256> letters_of_base() noexcept {
  std::array<std::uint8_t, 256> bits{};
  for (unsigned u = 0; u < 256; ++u) {
    for (unsigned p = 0; p < kTokenLength; ++p) bits[u] |= ((u >> (7 - p)) & 1u) << p;
  }
  return bits;
}

inline constexpr std::array<std::uint8_t, 256> kLettersOfBase = letters_of_base();

inline constexpr std::size_t kBlockTokens = 64;
// A block's characters: kBlockTokens pieces of eight letters and a delimiter.
inline constexpr std::size_t kBlockStride = kTokenLength + 1;
inline constexpr std::size_t kBlockChars = kBlockTokens * kBlockStride;

// 0xFF at the positions of a block that hold a delimiter, 0 at its letters.
struct BlockMask {
  alignas(64) std::uint8_t bytes[kBlockChars];
};

constexpr BlockMask delimiter_positions() noexcept {
  BlockMask mask{};
  for (std::size_t i = 0; i < kBlockChars; ++i) {
    mask.bytes[i] = i % kBlockStride == kTokenLength ? 0xFF : 0x00;
  }
  return mask;
}

inline constexpr BlockMask kDelimiterAt = delimiter_positions();

// What every block kernel sets up before it reads: the two characters a
// valid block may hold at each position (the delimiter where it belongs, and
// 'q' in the first row or 'z' in the second elsewhere), aligned for
// whole-vector loads, and the table's values by letter bits, -1 for a token
// the table lacks.
struct BlockSetup {
  alignas(64) std::uint8_t one_rows[kBlockChars];
  alignas(64) std::uint8_t zero_rows[kBlockChars];
  std::int16_t values[256];

  BlockSetup(const DecodeTable& table, std::uint8_t delimiter) noexcept {
    // A select over a mask known at compile time, which the compiler turns
    // into vector blends: this runs on every call that reads blocks.
    for (std::size_t i = 0; i < kBlockChars; ++i) {
      const std::uint8_t at = kDelimiterAt.bytes[i];
      one_rows[i] = static_cast<std::uint8_t>((delimiter & at) | (kOneLetter & ~at));
      zero_rows[i] = static_cast<std::uint8_t>((delimiter & at) | (kZeroLetter & ~at));
    }
    for (unsigned bits = 0; bits < 256; ++bits) {
      values[bits] = table.by_letters(static_cast<std::uint8_t>(bits));
    }
  }
};

// Read whole blocks of kBlockTokens pieces from the start of `chars`, each
// piece eight letters followed by `delimiter`, for as long as every piece of
// a block is a token of `table`; return the number of tokens written to
// `out`.  The block where reading stops is left whole to the caller.
// `table` must be letters-only and `delimiter` not a letter.  Both need AVX2
// and BMI2; the first gathers letter bits by multiplication, the second
// with PEXT.
std::size_t read_letter_blocks_avx2(const DecodeTable& table, const std::uint8_t* chars,
                                    std::size_t size, std::uint8_t delimiter,
                                    std::uint8_t* out) noexcept;
std::size_t read_letter_blocks_avx2_pext(const DecodeTable& table, const std::uint8_t* chars,
                                         std::size_t size, std::uint8_t delimiter,
                                         std::uint8_t* out) noexcept;

// The same 64 tokens at a time with AVX-512 (F, BW and VBMI), which gathers
// tokens and looks their values up a block at a time in vector registers.
std::size_t read_letter_blocks_avx512(const DecodeTable& table, const std::uint8_t* chars,
                                      std::size_t size, std::uint8_t delimiter,
                                      std::uint8_t* out) noexcept;

// Writes the tokens of `count` values with `letter_bits` (a letters-only
// table's, EncodeTable::letter_bits()) as write_tokens does, 64 at a time:
// the characters are made in vector registers and stored a whole aligned
// 64-byte line at a time, with masked stores for the lines at the edges.
// With `streamed`, whole lines go past the caches; the caller orders those
// stores with a fence before the text is read.  Returns the end of what was
// written.  Needs AVX-512 F, BW and VBMI.
char* write_letter_tokens_avx512(const std::uint8_t* letter_bits, const std::uint8_t* values,
                                 std::size_t count, char delimiter, bool leading_delimiter,
                                 char* out, bool streamed) noexcept;

}  // namespace velkorenc::core::detail

// The vector block kernels of the narrow token reader.  Their scalar
// continuation and the choice between them live in token_reader.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velkorenc/core/tokens/tokens.hpp"

namespace velkorenc::core::detail {

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

}  // namespace velkorenc::core::detail

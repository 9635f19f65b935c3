// The level-6 zlib stream of a short input: zlib's lazy matching over
// chains of positions (deflate_slow, longest_match), one block.  Follows
// zlib's deflate.c; zlib is (C) 1995-2024 Jean-loup Gailly and Mark Adler,
// under the zlib licence (see LICENSE).
#include "velkorenc/core/zlib/small_deflate.hpp"

#include <array>
#include <cstring>

#include "huffman.hpp"
#include "velkorenc/core/zlib/zlib.hpp"

namespace velkorenc::core {
namespace {

using huffman::kMaxMatch;
using huffman::kMinMatch;
using huffman::Symbol;

// Level 6: a match this long is not bettered lazily, and one this long ends
// a search.  (Its other limits, on the steps of a search and on the distance
// of a 3-byte match, never bind for these inputs.)
constexpr int kMaxLazyMatch = 16;
constexpr int kNiceMatch = 128;

}  // namespace

std::size_t deflate_small(ByteSpan input, std::span<std::uint8_t, kSmallDeflateRoom> out) noexcept {
  const int n = static_cast<int>(input.size());
  // The input with the zeros that zlib keeps after its data in the window,
  // which a match may run into, and room for whole words.
  std::array<std::uint8_t, kSmallDeflateLimit + kMaxMatch + 8> window{};
  if (!input.empty()) std::memcpy(window.data(), input.data(), input.size());

  // Positions by their first three bytes, newest first; 0 never matches, as
  // zlib takes position 0 for the end of a chain.
  constexpr int kHeads = 1 << 10;
  std::array<std::uint16_t, kHeads> head{};
  std::array<std::uint16_t, kSmallDeflateLimit> previous;
  const auto trigram = [&](int at) {
    return std::uint32_t{window[at]} | std::uint32_t{window[at + 1]} << 8 |
           std::uint32_t{window[at + 2]} << 16;
  };
  const auto slot = [](std::uint32_t t) { return (t * 2654435761u) >> 22; };
  // A run of one string inserts into one head over and over: the last
  // insert is kept at hand rather than read back from the table.
  unsigned last_slot = kHeads;
  int last_insert_at = 0;
  const auto insert = [&](int at) {
    const unsigned s = slot(trigram(at));
    previous[at] = s == last_slot ? static_cast<std::uint16_t>(last_insert_at) : head[s];
    head[s] = static_cast<std::uint16_t>(at);
    last_slot = s;
    last_insert_at = at;
  };
  const auto common_length = [&](int at, int from) {
    int length = kMinMatch;
    while (length < kMaxMatch && window[at + length] == window[from + length]) ++length;
    return length;
  };
  int match_start = 0;
  // zlib's longest_match over the positions of the same three bytes: the
  // first one longer than `best` wins, the walk stops at `nice`.
  const auto longest_match = [&](int at, int best, int lookahead) {
    const int nice = kNiceMatch < lookahead ? kNiceMatch : lookahead;
    const std::uint32_t mine = trigram(at);
    for (int from = previous[at]; from != 0; from = previous[from]) {
      if (trigram(from) != mine) continue;
      const int length = common_length(at, from);
      if (length > best) {
        match_start = from;
        best = length;
        if (length >= nice) break;
      }
    }
    return best <= lookahead ? best : lookahead;
  };

  std::array<Symbol, kSmallDeflateLimit> symbols;
  int symbol_count = 0;
  huffman::BlockTrees trees;
  const auto literal = [&](std::uint8_t c) {
    symbols[symbol_count++] = {0, c};
    trees.count_literal(c);
  };
  const auto match = [&](int distance, int length) {
    symbols[symbol_count++] = {static_cast<std::uint16_t>(distance),
                               static_cast<std::uint8_t>(length - kMinMatch)};
    trees.count_match(static_cast<unsigned>(distance), static_cast<unsigned>(length));
  };

  // zlib's lazy matching (deflate_slow): a match found at one position is
  // taken only when the next position's is no longer.
  int at = 0;
  int lookahead = n;
  int match_length = kMinMatch - 1;
  int previous_length;
  int previous_match = 0;
  bool match_available = false;
  while (lookahead != 0) {
    int candidate = 0;
    if (lookahead >= kMinMatch) {
      insert(at);
      candidate = previous[at];
    }
    previous_length = match_length;
    previous_match = match_start;
    match_length = kMinMatch - 1;
    if (candidate != 0 && previous_length < kMaxLazyMatch) {
      match_length = longest_match(at, previous_length, lookahead);
    }
    if (previous_length >= kMinMatch && match_length <= previous_length) {
      const int last_insert = at + lookahead - kMinMatch;
      match(at - 1 - previous_match, previous_length);
      lookahead -= previous_length - 1;
      for (int left = previous_length - 2; left != 0; --left) {
        if (++at <= last_insert) insert(at);
      }
      match_available = false;
      match_length = kMinMatch - 1;
      ++at;
    } else if (match_available) {
      literal(window[at - 1]);
      ++at;
      --lookahead;
    } else {
      match_available = true;
      ++at;
      --lookahead;
    }
  }
  if (match_available) literal(window[at - 1]);

  huffman::BitWriter bits(out.data());
  bits.byte(0x78);  // 32 KiB window, deflate
  bits.byte(0x9C);  // level 6, and the header's check
  huffman::send_block(trees, {symbols.data(), static_cast<std::size_t>(symbol_count)}, window.data(),
                      input.size(), true, bits);
  const std::uint32_t check = adler32(1, input);
  for (int shift = 24; shift >= 0; shift -= 8) bits.byte(static_cast<std::uint8_t>(check >> shift));
  return bits.size();
}

}  // namespace velkorenc::core

#include "velkorenc/core/zlib/small_deflate.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <iterator>
#include <type_traits>

namespace velkorenc::core {
namespace {

constexpr int kLiterals = 256;
constexpr int kEndBlock = 256;
constexpr int kLengthCodes = 29;
constexpr int kLiteralCodes = kLiterals + 1 + kLengthCodes;  // 286
constexpr int kDistanceCodes = 30;
constexpr int kBitLengthCodes = 19;
constexpr int kHeapSize = 2 * kLiteralCodes + 1;
constexpr int kMaxBits = 15;
constexpr int kMaxBitLengthBits = 7;
constexpr int kRepeat3To6 = 16;
constexpr int kZeros3To10 = 17;
constexpr int kZeros11To138 = 18;

constexpr int kMinMatch = 3;
constexpr int kMaxMatch = 258;
// Level 6: a match this long is not bettered lazily, and one this long ends
// a search.  (Its other limits, on the steps of a search and on the distance
// of a 3-byte match, never bind for these inputs.)
constexpr int kMaxLazyMatch = 16;
constexpr int kNiceMatch = 128;

constexpr std::uint8_t kExtraLengthBits[kLengthCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1,
                                                         1, 1, 2, 2, 2, 2, 3, 3, 3, 3,
                                                         4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint8_t kExtraDistanceBits[kDistanceCodes] = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t kExtraBitLengthBits[kBitLengthCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                               0, 0, 0, 0, 0, 0, 2, 3, 7};
// The order in which the bit length codes' own lengths are sent.
constexpr std::uint8_t kBitLengthOrder[kBitLengthCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                           11, 4,  12, 3, 13, 2, 14, 1, 15};

struct CodeTables {
  std::uint8_t length_code[256] = {};  // match length - 3 -> length code
  std::uint16_t length_base[kLengthCodes] = {};
  std::uint8_t distance_code[512] = {};  // as zlib's d_code: distance - 1, or 256 + its >> 7
  std::uint16_t distance_base[kDistanceCodes] = {};
  std::uint8_t static_literal_length[kLiteralCodes + 2] = {};
  std::uint16_t static_literal_code[kLiteralCodes + 2] = {};
};

constexpr unsigned reversed_slowly(unsigned code, int length) {
  unsigned out = 0;
  for (int i = 0; i < length; ++i, code >>= 1) out = (out << 1) | (code & 1);
  return out;
}

constexpr std::array<std::uint8_t, 256> kReversedBytes = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned v = 0; v < 256; ++v) table[v] = static_cast<std::uint8_t>(reversed_slowly(v, 8));
  return table;
}();

// The low `length` bits of `code` (at most 15) in reverse order.
constexpr unsigned reversed(unsigned code, int length) {
  if (std::is_constant_evaluated()) return reversed_slowly(code, length);
  const unsigned both = (unsigned{kReversedBytes[code & 0xFF]} << 8) | kReversedBytes[(code >> 8) & 0xFF];
  return both >> (16 - length);
}

// The first canonical code of each length, from how many codes each length
// has; the codes of one length follow in the order of their symbols.
using FirstCodes = std::array<std::uint16_t, kMaxBits + 1>;
constexpr FirstCodes first_codes(const std::uint16_t* count) {
  FirstCodes next{};
  unsigned value = 0;
  for (int bits = 1; bits <= kMaxBits; ++bits) {
    value = (value + count[bits - 1]) << 1;
    next[bits] = static_cast<std::uint16_t>(value);
  }
  return next;
}

constexpr CodeTables make_code_tables() {
  CodeTables t;
  int length = 0;
  int code = 0;
  for (; code < kLengthCodes - 1; ++code) {
    t.length_base[code] = static_cast<std::uint16_t>(length);
    for (int n = 0; n < (1 << kExtraLengthBits[code]); ++n) {
      t.length_code[length++] = static_cast<std::uint8_t>(code);
    }
  }
  // Length 258 has a code of its own rather than 284 with all extra bits set.
  t.length_code[length - 1] = static_cast<std::uint8_t>(code);
  int distance = 0;
  for (code = 0; code < 16; ++code) {
    t.distance_base[code] = static_cast<std::uint16_t>(distance);
    for (int n = 0; n < (1 << kExtraDistanceBits[code]); ++n) {
      t.distance_code[distance++] = static_cast<std::uint8_t>(code);
    }
  }
  distance >>= 7;
  for (; code < kDistanceCodes; ++code) {
    t.distance_base[code] = static_cast<std::uint16_t>(distance << 7);
    for (int n = 0; n < (1 << (kExtraDistanceBits[code] - 7)); ++n) {
      t.distance_code[256 + distance++] = static_cast<std::uint8_t>(code);
    }
  }
  std::uint16_t count[kMaxBits + 1] = {};
  for (int n = 0; n < kLiteralCodes + 2; ++n) {
    const int bits = n <= 143 ? 8 : n <= 255 ? 9 : n <= 279 ? 7 : 8;
    t.static_literal_length[n] = static_cast<std::uint8_t>(bits);
    ++count[bits];
  }
  FirstCodes next = first_codes(count);
  for (int n = 0; n < kLiteralCodes + 2; ++n) {
    const int bits = t.static_literal_length[n];
    t.static_literal_code[n] = static_cast<std::uint16_t>(reversed(next[bits]++, bits));
  }
  return t;
}

constexpr CodeTables kTables = make_code_tables();
constexpr int kStaticDistanceLength = 5;

unsigned distance_code(unsigned distance_less_one) {
  return distance_less_one < 256 ? kTables.distance_code[distance_less_one]
                                 : kTables.distance_code[256 + (distance_less_one >> 7)];
}

// The bits of the stream, least significant first.
class BitWriter {
 public:
  explicit BitWriter(std::uint8_t* out) noexcept : out_(out) {}
  // At most 16 bits at a time; whole words of 32 go out at once.
  void put(unsigned value, int length) noexcept {
    buffer_ |= static_cast<std::uint64_t>(value) << filled_;
    filled_ += length;
    if (filled_ >= 32) {
      for (int i = 0; i < 4; ++i) out_[size_ + i] = static_cast<std::uint8_t>(buffer_ >> (8 * i));
      size_ += 4;
      buffer_ >>= 32;
      filled_ -= 32;
    }
  }
  // Pads to a whole byte with zero bits.
  void align() noexcept {
    for (; filled_ > 0; filled_ -= 8) {
      out_[size_++] = static_cast<std::uint8_t>(buffer_);
      buffer_ >>= 8;
    }
    buffer_ = 0;
    filled_ = 0;
  }
  // Whole bytes, once aligned.
  void byte(std::uint8_t value) noexcept { out_[size_++] = value; }
  void bytes(const std::uint8_t* data, std::size_t count) noexcept {
    std::memcpy(out_ + size_, data, count);
    size_ += count;
  }
  std::size_t size() const noexcept { return size_; }

 private:
  std::uint8_t* out_;
  std::size_t size_ = 0;
  std::uint64_t buffer_ = 0;
  int filled_ = 0;
};

// A Huffman tree as zlib builds one: leaves 0..elems-1, then inner nodes.
struct Tree {
  // Only the leaves' frequencies start at 0; inner nodes get theirs as they
  // are made.
  explicit Tree(int elems) noexcept { std::fill(freq, freq + elems, std::uint16_t{0}); }

  std::uint16_t freq[kHeapSize];
  std::uint16_t dad[kHeapSize];
  std::uint16_t len[kHeapSize];
  std::uint16_t code[kLiteralCodes + 2];
  std::uint64_t occurs[(kLiteralCodes + 63) / 64] = {};  // the leaves of nonzero frequency
  int max_code = -1;

  void count(int n) noexcept {
    ++freq[n];
    occurs[n >> 6] |= std::uint64_t{1} << (n & 63);
  }
  // Calls `visit` with each leaf that occurs, in increasing order.
  template <class Visit>
  void each_occurring(Visit visit) const noexcept {
    for (std::size_t word = 0; word < std::size(occurs); ++word) {
      for (std::uint64_t bits = occurs[word]; bits != 0; bits &= bits - 1) {
        visit(static_cast<int>(word * 64 + static_cast<std::size_t>(std::countr_zero(bits))));
      }
    }
  }
};

// What each node of a tree costs beyond its code: its extra bits, and its
// length in the static tree (0 for inner nodes, and for the bit length
// tree, which has no static tree).
struct NodeCosts {
  std::uint8_t extra[kHeapSize] = {};
  std::uint8_t static_length[kHeapSize] = {};
};

struct TreeKind {
  int elems;
  bool has_static;
  int max_length;
  const NodeCosts* costs;
};

constexpr NodeCosts node_costs(int elems, const std::uint8_t* extra, int extra_base,
                               const std::uint8_t* static_length, int static_length_all) {
  NodeCosts costs;
  for (int n = 0; n < elems; ++n) {
    costs.extra[n] = n >= extra_base ? extra[n - extra_base] : 0;
    costs.static_length[n] =
        static_cast<std::uint8_t>(static_length ? static_length[n] : static_length_all);
  }
  return costs;
}

class TreeBuilder {
 public:
  // Lengths and codes of `tree` from its leaves' frequencies, adding the
  // cost of the block in this tree and in the static one.
  void build(Tree& tree, const TreeKind& kind) noexcept {
    heap_len_ = 0;
    heap_max_ = kHeapSize;
    int max_code = -1;
    // The leaves that occur go to the heap in order; their lengths are set
    // later, the others' are 0.
    std::fill(tree.len, tree.len + kind.elems, std::uint16_t{0});
    int occurring = 0;
    tree.each_occurring([&](int n) {
      heap_[++occurring] = max_code = n;
      key_[n] = std::uint32_t{tree.freq[n]} << 8;
    });
    heap_len_ = occurring;
    // At least two codes, even when fewer symbols occur.
    while (heap_len_ < 2) {
      const int node = heap_[++heap_len_] = max_code < 2 ? ++max_code : 0;
      tree.freq[node] = 0;
      tree.count(node);
      key_[node] = 1u << 8;
      --optimal_bits;
      static_bits -= kind.costs->static_length[node];
    }
    tree.max_code = max_code;
    for (int n = heap_len_ / 2; n >= 1; --n) sift_down(n);
    int node = kind.elems;
    do {
      const int n = heap_[1];
      heap_[1] = heap_[heap_len_--];
      sift_down(1);
      const int m = heap_[1];
      heap_[--heap_max_] = n;
      heap_[--heap_max_] = m;
      tree.freq[node] = static_cast<std::uint16_t>(tree.freq[n] + tree.freq[m]);
      const std::uint32_t depth = std::max(key_[n] & 0xFF, key_[m] & 0xFF) + 1;
      key_[node] = (std::uint32_t{tree.freq[node]} << 8) | depth;
      tree.dad[n] = tree.dad[m] = static_cast<std::uint16_t>(node);
      heap_[1] = node++;
      sift_down(1);
    } while (heap_len_ >= 2);
    heap_[--heap_max_] = heap_[1];
    bit_lengths(tree, kind);
    FirstCodes next = first_codes(count_);
    tree.each_occurring([&](int n) {
      const int bits = tree.len[n];
      tree.code[n] = static_cast<std::uint16_t>(reversed(next[bits]++, bits));
    });
  }

  long optimal_bits = 0;
  long static_bits = 0;

 private:
  // Less frequent first, then shallower: zlib's order of nodes.
  bool smaller(int n, int m) const noexcept { return key_[n] <= key_[m]; }

  void sift_down(int k) noexcept {
    const int v = heap_[k];
    const int last = heap_len_;
    int j = k << 1;
    while (j <= last) {
      if (j < last && smaller(heap_[j + 1], heap_[j])) ++j;
      if (smaller(v, heap_[j])) break;
      heap_[k] = heap_[j];
      k = j;
      j <<= 1;
    }
    heap_[k] = v;
  }

  // Lengths from the depths in the tree, with those past the longest
  // allowed moved up as zlib moves them.
  void bit_lengths(Tree& tree, const TreeKind& kind) noexcept {
    const int max_code = tree.max_code;
    tree.len[heap_[heap_max_]] = 0;
    int overflow = 0;
    int h = heap_max_ + 1;
    const NodeCosts& costs = *kind.costs;
    long optimal = 0;
    long in_static = 0;
    // Leaves and inner nodes come in no foreseeable order: no branches.  The
    // leaves of each length are counted in four places in turn, so that a
    // count does not wait on its own last store.
    std::uint16_t counts[4][kMaxBits + 1] = {};
    for (; h < kHeapSize; ++h) {
      const int n = heap_[h];
      int bits = tree.len[tree.dad[n]] + 1;
      if (bits > kind.max_length) bits = kind.max_length, ++overflow;
      tree.len[n] = static_cast<std::uint16_t>(bits);
      const bool leaf = n <= max_code;
      counts[h & 3][bits] = static_cast<std::uint16_t>(counts[h & 3][bits] + leaf);
      const long f = leaf ? tree.freq[n] : 0;
      optimal += f * (bits + costs.extra[n]);
      in_static += f * (costs.static_length[n] + costs.extra[n]);
    }
    for (int bits = 0; bits <= kMaxBits; ++bits) {
      count_[bits] = static_cast<std::uint16_t>(counts[0][bits] + counts[1][bits] + counts[2][bits] +
                                                counts[3][bits]);
    }
    optimal_bits += optimal;
    if (kind.has_static) static_bits += in_static;
    if (overflow == 0) return;
    do {
      int bits = kind.max_length - 1;
      while (count_[bits] == 0) --bits;
      --count_[bits];
      count_[bits + 1] = static_cast<std::uint16_t>(count_[bits + 1] + 2);
      --count_[kind.max_length];
      overflow -= 2;
    } while (overflow > 0);
    for (int bits = kind.max_length; bits != 0; --bits) {
      int n = count_[bits];
      while (n != 0) {
        const int m = heap_[--h];
        if (m > max_code) continue;
        if (tree.len[m] != bits) {
          optimal_bits += (static_cast<long>(bits) - tree.len[m]) * tree.freq[m];
          tree.len[m] = static_cast<std::uint16_t>(bits);
        }
        --n;
      }
    }
  }

  int heap_[kHeapSize];
  int heap_len_ = 0;
  int heap_max_ = kHeapSize;
  std::uint32_t key_[kHeapSize];  // frequency << 8 | depth of each node
  std::uint16_t count_[kMaxBits + 1];
};

constexpr NodeCosts kLiteralCosts = node_costs(kLiteralCodes, kExtraLengthBits, kLiterals + 1,
                                               kTables.static_literal_length, 0);
constexpr NodeCosts kDistanceCosts =
    node_costs(kDistanceCodes, kExtraDistanceBits, 0, nullptr, kStaticDistanceLength);
constexpr NodeCosts kBitLengthCosts = node_costs(kBitLengthCodes, kExtraBitLengthBits, 0, nullptr, 0);
constexpr TreeKind kLiteralKind{kLiteralCodes, true, kMaxBits, &kLiteralCosts};
constexpr TreeKind kDistanceKind{kDistanceCodes, true, kMaxBits, &kDistanceCosts};
constexpr TreeKind kBitLengthKind{kBitLengthCodes, false, kMaxBitLengthBits, &kBitLengthCosts};

// One code of the run-length form of a tree's code lengths: a length, or a
// repeat code and its count.
struct LengthRun {
  std::uint8_t code;
  std::uint8_t count;
};
// At most one code for each length and one for the guard's run.
constexpr int kMostRuns = kLiteralCodes + 2;

// The run-length form of `tree`'s lengths, as zlib's scan_tree and
// send_tree make it; returns the number of codes.  zlib walks the lengths
// one by one; here each run of equal lengths is cut as zlib cuts it: a run
// of zeros into pieces of at most 138, each a repeat code from 3 on; any
// other run into a first piece of at most 7, sent as the length and a repeat
// from 4 on, and then pieces of at most 6, repeats from 3 on.  The leaves
// that occur are those of nonzero length, so the runs are found from them.
int length_runs(const Tree& tree, LengthRun* runs) noexcept {
  int made = 0;
  const auto add = [&](int code, int count) {
    runs[made++] = {static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(count)};
  };
  const auto lengths = [&](int length, int count) {
    for (; count != 0; --count) add(length, 0);
  };
  const auto run = [&](int length, int count) {
    if (length == 0) {
      for (; count != 0;) {
        const int piece = std::min(count, 138);
        if (piece < 3) {
          lengths(0, piece);
        } else {
          add(piece <= 10 ? kZeros3To10 : kZeros11To138, piece);
        }
        count -= piece;
      }
      return;
    }
    int piece = std::min(count, 7);
    if (piece < 4) {
      lengths(length, piece);
    } else {
      add(length, 0);
      add(kRepeat3To6, piece - 1);
    }
    for (count -= piece; count != 0; count -= piece) {
      piece = std::min(count, 6);
      if (piece < 3) {
        lengths(length, piece);
      } else {
        add(kRepeat3To6, piece);
      }
    }
  };
  int next = 0;  // the first leaf not yet in a run
  int length = -1;
  int count = 0;
  tree.each_occurring([&](int n) {
    const int own = tree.len[n];
    if (n != next || own != length) {
      if (count != 0) run(length, count);
      if (n != next) run(0, n - next);
      length = own;
      count = 0;
    }
    ++count;
    next = n + 1;
  });
  if (count != 0) run(length, count);
  return made;
}

struct Symbol {
  std::uint16_t distance;  // 0 for a literal
  std::uint8_t value;      // the literal, or the match length - 3
};

// Adler-32 of a short input (no sum can overflow before the reduction),
// eight bytes at a time: each adds its byte to `a` once and to `b` once for
// every byte from it to the end of the eight.
std::uint32_t adler32(ByteSpan data) noexcept {
  constexpr std::uint32_t kBase = 65521;
  std::uint32_t a = 1, b = 0;
  std::size_t at = 0;
  for (; at + 8 <= data.size(); at += 8) {
    std::uint32_t sum = 0, weighted = 0;
    for (std::size_t i = 0; i < 8; ++i) {
      sum += data[at + i];
      weighted += (8 - static_cast<std::uint32_t>(i)) * data[at + i];
    }
    b += 8 * a + weighted;
    a += sum;
  }
  for (; at < data.size(); ++at) {
    a += data[at];
    b += a;
  }
  return ((b % kBase) << 16) | (a % kBase);
}

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
  Tree literal_tree(kLiteralCodes);
  Tree distance_tree(kDistanceCodes);
  literal_tree.count(kEndBlock);
  const auto literal = [&](std::uint8_t c) {
    symbols[symbol_count++] = {0, c};
    literal_tree.count(c);
  };
  const auto match = [&](int distance, int length) {
    symbols[symbol_count++] = {static_cast<std::uint16_t>(distance),
                               static_cast<std::uint8_t>(length - kMinMatch)};
    literal_tree.count(kTables.length_code[length - kMinMatch] + kLiterals + 1);
    distance_tree.count(static_cast<int>(distance_code(static_cast<unsigned>(distance - 1))));
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

  TreeBuilder builder;
  builder.build(literal_tree, kLiteralKind);
  builder.build(distance_tree, kDistanceKind);
  Tree length_tree(kBitLengthCodes);
  std::array<LengthRun, kMostRuns> literal_runs, distance_runs;
  const int literal_run_count = length_runs(literal_tree, literal_runs.data());
  const int distance_run_count = length_runs(distance_tree, distance_runs.data());
  {
    // Counted in four places in turn: a few codes make most of the runs.
    std::uint16_t counts[4][kBitLengthCodes] = {};
    for (int i = 0; i < literal_run_count; ++i) ++counts[i & 3][literal_runs[i].code];
    for (int i = 0; i < distance_run_count; ++i) ++counts[i & 3][distance_runs[i].code];
    for (int code = 0; code < kBitLengthCodes; ++code) {
      const int total = counts[0][code] + counts[1][code] + counts[2][code] + counts[3][code];
      if (total == 0) continue;
      length_tree.count(code);
      length_tree.freq[code] = static_cast<std::uint16_t>(total);
    }
  }
  builder.build(length_tree, kBitLengthKind);
  int max_order = kBitLengthCodes - 1;
  for (; max_order >= 3; --max_order) {
    if (length_tree.len[kBitLengthOrder[max_order]] != 0) break;
  }
  builder.optimal_bits += 3 * (max_order + 1) + 5 + 5 + 4;
  const long optimal_bytes = (builder.optimal_bits + 3 + 7) >> 3;
  const long static_bytes = (builder.static_bits + 3 + 7) >> 3;
  const long chosen_bytes = static_bytes <= optimal_bytes ? static_bytes : optimal_bytes;

  BitWriter bits(out.data());
  bits.byte(0x78);  // 32 KiB window, deflate
  bits.byte(0x9C);  // level 6, and the header's check
  if (n + 4 <= chosen_bytes) {
    bits.put(1, 3);  // a stored block, the last
    bits.align();
    bits.byte(static_cast<std::uint8_t>(n));
    bits.byte(static_cast<std::uint8_t>(n >> 8));
    bits.byte(static_cast<std::uint8_t>(~n));
    bits.byte(static_cast<std::uint8_t>(~n >> 8));
    bits.bytes(window.data(), input.size());
  } else {
    const bool fixed = static_bytes == chosen_bytes;
    const std::uint8_t* literal_lengths_static = kTables.static_literal_length;
    const auto send_literal = [&](int code) {
      if (fixed) {
        bits.put(kTables.static_literal_code[code], literal_lengths_static[code]);
      } else {
        bits.put(literal_tree.code[code], literal_tree.len[code]);
      }
    };
    const auto send_distance = [&](int code) {
      if (fixed) {
        bits.put(reversed(static_cast<unsigned>(code), kStaticDistanceLength), kStaticDistanceLength);
      } else {
        bits.put(distance_tree.code[code], distance_tree.len[code]);
      }
    };
    if (fixed) {
      bits.put((1 << 1) + 1, 3);  // the last block, with the fixed codes
    } else {
      bits.put((2 << 1) + 1, 3);  // the last block, with codes of its own
      bits.put(static_cast<unsigned>(literal_tree.max_code + 1 - 257), 5);
      bits.put(static_cast<unsigned>(distance_tree.max_code + 1 - 1), 5);
      bits.put(static_cast<unsigned>(max_order + 1 - 4), 4);
      for (int rank = 0; rank <= max_order; ++rank) {
        bits.put(length_tree.len[kBitLengthOrder[rank]], 3);
      }
      const auto send_runs = [&](const LengthRun* runs, int count) {
        for (int i = 0; i < count; ++i) {
          const int code = runs[i].code;
          bits.put(length_tree.code[code], length_tree.len[code]);
          if (code == kRepeat3To6) bits.put(runs[i].count - 3u, 2);
          if (code == kZeros3To10) bits.put(runs[i].count - 3u, 3);
          if (code == kZeros11To138) bits.put(runs[i].count - 11u, 7);
        }
      };
      send_runs(literal_runs.data(), literal_run_count);
      send_runs(distance_runs.data(), distance_run_count);
    }
    for (int i = 0; i < symbol_count; ++i) {
      const Symbol s = symbols[i];
      if (s.distance == 0) {
        send_literal(s.value);
        continue;
      }
      const int code = kTables.length_code[s.value];
      send_literal(code + kLiterals + 1);
      if (kExtraLengthBits[code] != 0) {
        bits.put(s.value - kTables.length_base[code], kExtraLengthBits[code]);
      }
      const unsigned distance = s.distance - 1u;
      const unsigned dcode = distance_code(distance);
      send_distance(static_cast<int>(dcode));
      if (kExtraDistanceBits[dcode] != 0) {
        bits.put(distance - kTables.distance_base[dcode], kExtraDistanceBits[dcode]);
      }
    }
    send_literal(kEndBlock);
    bits.align();
  }
  const std::uint32_t check = adler32(input);
  for (int shift = 24; shift >= 0; shift -= 8) bits.byte(static_cast<std::uint8_t>(check >> shift));
  return bits.size();
}

}  // namespace velkorenc::core

// The block layer of zlib's deflate format; see huffman.hpp.
//
// This code follows zlib's trees.c; zlib is (C) 1995-2024 Jean-loup Gailly
// and Mark Adler, under the zlib licence (see LICENSE).
#include "huffman.hpp"

namespace velkorenc::core::huffman {
namespace {

constexpr int kMaxBitLengthBits = 7;
constexpr int kRepeat3To6 = 16;
constexpr int kZeros3To10 = 17;
constexpr int kZeros11To138 = 18;

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

}  // namespace

constexpr CodeTables kTables = make_code_tables();

namespace {

constexpr int kStaticDistanceLength = 5;

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
      // The smaller child, chosen without a branch: the choice is as
      // unforeseeable as the data.
      j += static_cast<int>((j < last) & smaller(heap_[std::min(j + 1, last)], heap_[j]));
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

// Sorts `count` frequencies (16 bits each) by their low byte and then, when
// any has a high byte, by that: a block's few hundred leaves go several
// times faster than a comparison sort takes them.
void sort_frequencies(std::uint32_t* values, int count) noexcept {
  std::uint32_t sorted[kLiteralCodes];
  const auto pass = [count](const std::uint32_t* from, std::uint32_t* to, int shift) {
    std::uint16_t start[257] = {};
    for (int i = 0; i < count; ++i) ++start[((from[i] >> shift) & 0xFF) + 1];
    for (int b = 0; b < 256; ++b) start[b + 1] = static_cast<std::uint16_t>(start[b + 1] + start[b]);
    for (int i = 0; i < count; ++i) to[start[(from[i] >> shift) & 0xFF]++] = from[i];
  };
  std::uint32_t any_high = 0;
  for (int i = 0; i < count; ++i) any_high |= values[i];
  if ((any_high >> 8) == 0) {
    pass(values, sorted, 0);
    std::copy(sorted, sorted + count, values);
    return;
  }
  pass(values, sorted, 0);
  pass(sorted, values, 8);
}

// The fewest bits that any prefix code of the leaves that occur in `tree`
// gives them: the cost of an unlimited Huffman code, from the leaves in
// increasing frequency, merged two at a time with the inner nodes, which
// come out in increasing weight.  Each bit of it is paid by a block's own
// codes too, whose longest are limited and whose inner nodes zlib orders
// its own way.
long fewest_code_bits(const Tree& tree) noexcept {
  std::uint32_t leaves[kLiteralCodes];
  int count = 0;
  tree.each_occurring([&](int n) { leaves[count++] = tree.freq[n]; });
  if (count < 2) return 0;
  sort_frequencies(leaves, count);
  std::uint32_t inner[kLiteralCodes];
  int leaf = 0, first_inner = 0, inner_count = 0;
  long bits = 0;
  const auto smallest = [&] {
    if (first_inner == inner_count || (leaf < count && leaves[leaf] <= inner[first_inner])) {
      return leaves[leaf++];
    }
    return inner[first_inner++];
  };
  for (int merges = count - 1; merges != 0; --merges) {
    const std::uint32_t weight = smallest() + smallest();
    bits += weight;
    inner[inner_count++] = weight;
  }
  return bits;
}

// The bits of a tree's leaves beyond their codes, and in the static tree;
// and how many leaves occur.
struct OtherBits {
  long extra = 0;
  long in_static = 0;
  long leaves = 0;
};

OtherBits other_bits(const Tree& tree, const NodeCosts& costs) noexcept {
  OtherBits bits;
  tree.each_occurring([&](int n) {
    bits.extra += long{tree.freq[n]} * costs.extra[n];
    bits.in_static += long{tree.freq[n]} * (costs.static_length[n] + costs.extra[n]);
    ++bits.leaves;
  });
  return bits;
}

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

}  // namespace

SymbolWriter::SymbolWriter(const BlockTrees& trees, bool fixed, BitWriter& bits) noexcept
    : run_(bits) {
  const auto literal_code = [&](int code) -> CodeBits {
    const int length = fixed ? kTables.static_literal_length[code] : trees.literal.len[code];
    const unsigned value = fixed ? kTables.static_literal_code[code] : trees.literal.code[code];
    return {value, length, length};
  };
  for (int c = 0; c <= kLiterals; ++c) literal_[c] = literal_code(c);
  for (int v = 0; v < 256; ++v) {
    const int code = kTables.length_code[v];
    const CodeBits own = literal_code(code + kLiterals + 1);
    // No extra bits for the longest length, whatever its base.
    const int extra_bits = kExtraLengthBits[code];
    const unsigned extra = extra_bits == 0 ? 0u : static_cast<unsigned>(v - kTables.length_base[code]);
    match_length_[v] = {own.value | extra << own.length, own.length + extra_bits, own.length};
  }
  for (int d = 0; d < kDistanceCodes; ++d) {
    const int length = fixed ? kStaticDistanceLength : trees.distance.len[d];
    const unsigned value = fixed ? reversed(static_cast<unsigned>(d), kStaticDistanceLength)
                                 : trees.distance.code[d];
    distance_[d] = {value, length + kExtraDistanceBits[d], length};
  }
}

void BlockTrees::count_literals(const std::uint8_t* bytes, std::size_t count) noexcept {
  constexpr std::size_t kShort = 64;
  if (count < kShort) {
    for (std::size_t i = 0; i < count; ++i) literal.count(bytes[i]);
    return;
  }
  std::uint16_t counts[4][kLiterals] = {};
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    ++counts[0][bytes[i]];
    ++counts[1][bytes[i + 1]];
    ++counts[2][bytes[i + 2]];
    ++counts[3][bytes[i + 3]];
  }
  for (; i < count; ++i) ++counts[0][bytes[i]];
  for (int c = 0; c < kLiterals; ++c) {
    const int total = counts[0][c] + counts[1][c] + counts[2][c] + counts[3][c];
    if (total == 0) continue;
    literal.freq[c] = static_cast<std::uint16_t>(literal.freq[c] + total);
    literal.occurs[c >> 6] |= std::uint64_t{1} << (c & 63);
  }
}

void send_stored_header(std::size_t stored_length, bool last, BitWriter& bits) noexcept {
  bits.put((0 << 1) + (last ? 1u : 0u), 3);
  bits.align();
  bits.byte(static_cast<std::uint8_t>(stored_length));
  bits.byte(static_cast<std::uint8_t>(stored_length >> 8));
  bits.byte(static_cast<std::uint8_t>(~stored_length));
  bits.byte(static_cast<std::uint8_t>(~stored_length >> 8));
}

void send_stored_block(const std::uint8_t* stored, std::size_t stored_length, bool last,
                       BitWriter& bits) noexcept {
  send_stored_header(stored_length, last, bits);
  bits.bytes(stored, stored_length);
}

void send_block(BlockTrees& trees, std::span<const Symbol> symbols, const std::uint8_t* stored,
                std::size_t stored_length, bool last, BitWriter& bits) noexcept {
  const auto put = [](void* context, SymbolWriter& writer) noexcept {
    for (const Symbol s : *static_cast<std::span<const Symbol>*>(context)) {
      if (s.distance == 0) {
        writer.literals(&s.value, 1);
      } else {
        writer.match(s.distance, s.value);
      }
    }
  };
  const SymbolSource given{put, &symbols};
  if (!send_coded_block(trees, given, stored_length, stored != nullptr, last, bits)) {
    send_stored_block(stored, stored_length, last, bits);
  } else if (last) {
    bits.align();
  }
}

// True when the block is surely stored, known without its trees: storing it
// is no longer than the fixed codes, nor than the fewest bits its own codes
// could take with the shortest header they have.  That header has the three
// counts, three bits for each of at least four bit length codes, and a code
// of at least one bit for each length or repeat of up to six lengths of a
// leaf that occurs.
bool CodedBlock::surely_stored(const BlockTrees& trees, std::size_t stored_length) noexcept {
  const OtherBits literal = other_bits(trees.literal, kLiteralCosts);
  const OtherBits distance = other_bits(trees.distance, kDistanceCosts);
  const long static_bytes = (literal.in_static + distance.in_static + 3 + 7) >> 3;
  const auto least = static_cast<long>(stored_length) + 4;
  if (static_bytes < least) return false;
  const long header = 5 + 5 + 4 + 3 * 4 + (literal.leaves + 5) / 6 + (distance.leaves + 5) / 6;
  const long fewest_bits = fewest_code_bits(trees.literal) + literal.extra +
                           fewest_code_bits(trees.distance) + distance.extra + header;
  return ((fewest_bits + 3 + 7) >> 3) >= least;
}

CodedBlock::CodedBlock(BlockTrees& trees, std::size_t stored_length, bool storable,
                       bool with_trees) noexcept
    : trees_(trees) {
  // Incompressible data needs no trees: most of its blocks are surely stored.
  if (storable && !with_trees && surely_stored(trees, stored_length)) {
    stored_ = true;
    return;
  }
  TreeBuilder builder;
  builder.build(trees.literal, kLiteralKind);
  builder.build(trees.distance, kDistanceKind);
  literal_run_count_ = length_runs(trees.literal, literal_runs_.data());
  distance_run_count_ = length_runs(trees.distance, distance_runs_.data());
  {
    // Counted in four places in turn: a few codes make most of the runs.
    std::uint16_t counts[4][kBitLengthCodes] = {};
    for (int i = 0; i < literal_run_count_; ++i) ++counts[i & 3][literal_runs_[i].code];
    for (int i = 0; i < distance_run_count_; ++i) ++counts[i & 3][distance_runs_[i].code];
    for (int code = 0; code < kBitLengthCodes; ++code) {
      const int total = counts[0][code] + counts[1][code] + counts[2][code] + counts[3][code];
      if (total == 0) continue;
      length_tree_.count(code);
      length_tree_.freq[code] = static_cast<std::uint16_t>(total);
    }
  }
  builder.build(length_tree_, kBitLengthKind);
  max_order_ = kBitLengthCodes - 1;
  for (; max_order_ >= 3; --max_order_) {
    if (length_tree_.len[kBitLengthOrder[max_order_]] != 0) break;
  }
  builder.optimal_bits += 3 * (max_order_ + 1) + 5 + 5 + 4;
  const long optimal_bytes = (builder.optimal_bits + 3 + 7) >> 3;
  const long static_bytes = (builder.static_bits + 3 + 7) >> 3;
  const long chosen_bytes = static_bytes <= optimal_bytes ? static_bytes : optimal_bytes;
  fixed_ = static_bytes == chosen_bytes;
  stored_ = storable && static_cast<long>(stored_length) + 4 <= chosen_bytes;
}

void CodedBlock::send(SymbolSource symbols, bool last, BitWriter& bits) const noexcept {
  const unsigned last_bit = last ? 1 : 0;
  if (fixed_) {
    bits.put((1 << 1) + last_bit, 3);
  } else {
    bits.put((2 << 1) + last_bit, 3);
    bits.put(static_cast<unsigned>(trees_.literal.max_code + 1 - 257), 5);
    bits.put(static_cast<unsigned>(trees_.distance.max_code + 1 - 1), 5);
    bits.put(static_cast<unsigned>(max_order_ + 1 - 4), 4);
    for (int rank = 0; rank <= max_order_; ++rank) {
      bits.put(length_tree_.len[kBitLengthOrder[rank]], 3);
    }
    const auto send_runs = [&](const LengthRun* runs, int count) {
      for (int i = 0; i < count; ++i) {
        const int code = runs[i].code;
        bits.put(length_tree_.code[code], length_tree_.len[code]);
        if (code == kRepeat3To6) bits.put(runs[i].count - 3u, 2);
        if (code == kZeros3To10) bits.put(runs[i].count - 3u, 3);
        if (code == kZeros11To138) bits.put(runs[i].count - 11u, 7);
      }
    };
    send_runs(literal_runs_.data(), literal_run_count_);
    send_runs(distance_runs_.data(), distance_run_count_);
  }
  SymbolWriter writer(trees_, fixed_, bits);
  symbols.put(symbols.context, writer);
  writer.end();
}

bool send_coded_block(BlockTrees& trees, SymbolSource symbols, std::size_t stored_length,
                      bool storable, bool last, BitWriter& bits) noexcept {
  const CodedBlock block(trees, stored_length, storable);
  if (block.stored()) return false;
  block.send(symbols, last, bits);
  return true;
}

}  // namespace velkorenc::core::huffman

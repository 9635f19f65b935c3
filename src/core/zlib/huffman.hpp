// The block layer of zlib's deflate format as zlib writes it: the code
// tables, the bit writer, Huffman trees built with zlib's heap and its
// tie-breaks, the run-length form of the trees' code lengths, and the
// choice between a stored block, the fixed codes and codes of the block's
// own.  Shared by the module's deflates of short and of any inputs.
//
// This code follows zlib's trees.c (build_tree, gen_bitlen, gen_codes,
// scan_tree, send_tree, _tr_flush_block); zlib is (C) 1995-2024 Jean-loup
// Gailly and Mark Adler, under the zlib licence (see LICENSE).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <type_traits>

namespace velkorenc::core::huffman {

inline constexpr int kLiterals = 256;
inline constexpr int kEndBlock = 256;
inline constexpr int kLengthCodes = 29;
inline constexpr int kLiteralCodes = kLiterals + 1 + kLengthCodes;  // 286
inline constexpr int kDistanceCodes = 30;
inline constexpr int kBitLengthCodes = 19;
inline constexpr int kHeapSize = 2 * kLiteralCodes + 1;
inline constexpr int kMaxBits = 15;
inline constexpr int kMinMatch = 3;
inline constexpr int kMaxMatch = 258;

// A symbol of a block: a literal, or a match of a length and a distance.
struct Symbol {
  std::uint16_t distance;  // 0 for a literal
  std::uint8_t value;      // the literal, or the match length - 3
};

// The bits of the stream, least significant first, into memory the caller
// makes big enough.  Bits not yet making a whole word stay in the writer
// when it is pointed at new memory, so blocks continue at any bit.
class BitWriter {
 public:
  explicit BitWriter(std::uint8_t* out) noexcept : out_(out) {}
  // At most 16 bits at a time; whole words of 32 go out at once.
  void put(unsigned value, int length) noexcept { put32(value, length); }
  // Up to 32 bits.
  void put32(std::uint32_t value, int length) noexcept {
    buffer_ |= static_cast<std::uint64_t>(value) << filled_;
    filled_ += length;
    if (filled_ >= 32) {
      const auto word = static_cast<std::uint32_t>(buffer_);
      if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out_ + size_, &word, 4);
      } else {
        for (int i = 0; i < 4; ++i) out_[size_ + i] = static_cast<std::uint8_t>(word >> (8 * i));
      }
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
    if (count != 0) std::memcpy(out_ + size_, data, count);
    size_ += count;
  }
  // Appends `count` bits from `data`, least significant first.
  void append(const std::uint8_t* data, std::size_t count) noexcept {
    for (; count >= 32; count -= 32, data += 4) {
      std::uint32_t word;
      std::memcpy(&word, data, 4);
      if constexpr (std::endian::native != std::endian::little) word = byteswap32(word);
      put32(word, 32);
    }
    for (; count >= 8; count -= 8) put32(*data++, 8);
    if (count != 0) put32(*data & ((1u << count) - 1), static_cast<int>(count));
  }
  // The bits written so far to the current memory, those held included.
  std::size_t bit_count() const noexcept { return 8 * size_ + static_cast<std::size_t>(filled_); }
  // The bytes written to the current memory.
  std::size_t size() const noexcept { return size_; }
  // Goes on writing at `out`; the bits not yet written go there first.
  void restart(std::uint8_t* out) noexcept {
    out_ = out;
    size_ = 0;
  }

  // A writer for many short codes in a row, which stores its whole bytes
  // after each group of codes (up to 56 bits) with no branch: eight bytes at
  // a time, so the memory must have 8 bytes of room past what is written.
  // Taken from a BitWriter and given back.
  class Run {
   public:
    explicit Run(BitWriter& bits) noexcept
        : bits_(bits), at_(bits.out_ + bits.size_), buffer_(bits.buffer_), filled_(bits.filled_) {
      flush();
    }
    ~Run() {
      bits_.size_ = static_cast<std::size_t>(at_ - bits_.out_);
      bits_.buffer_ = buffer_;
      bits_.filled_ = filled_;
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    void put(std::uint32_t value, int length) noexcept {
      buffer_ |= static_cast<std::uint64_t>(value) << filled_;
      filled_ += length;
    }
    // After at most 56 bits put since the last.
    void flush() noexcept {
      if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(at_, &buffer_, 8);
      } else {
        for (int i = 0; i < 8; ++i) at_[i] = static_cast<std::uint8_t>(buffer_ >> (8 * i));
      }
      at_ += filled_ >> 3;
      buffer_ >>= filled_ & ~7;
      filled_ &= 7;
    }

   private:
    BitWriter& bits_;
    std::uint8_t* at_;
    std::uint64_t buffer_;
    int filled_;
  };

 private:
  static std::uint32_t byteswap32(std::uint32_t v) noexcept {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
  }

  std::uint8_t* out_;
  std::size_t size_ = 0;
  std::uint64_t buffer_ = 0;
  int filled_ = 0;
};

// A Huffman tree as zlib builds one: leaves 0..elems-1, then inner nodes.
struct Tree {
  // Only the leaves' frequencies start at 0; inner nodes get theirs as they
  // are made.
  explicit Tree(int elems) noexcept : elems(elems) { clear(); }

  void clear() noexcept {
    std::fill(freq, freq + elems, std::uint16_t{0});
    std::fill(std::begin(occurs), std::end(occurs), std::uint64_t{0});
    max_code = -1;
  }

  int elems;
  std::uint16_t freq[kHeapSize];
  std::uint16_t dad[kHeapSize];
  std::uint16_t len[kHeapSize];
  std::uint16_t code[kLiteralCodes + 2];
  std::uint64_t occurs[(kLiteralCodes + 63) / 64];  // the leaves of nonzero frequency
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

// The code tables of lengths and distances.
struct CodeTables {
  std::uint8_t length_code[256] = {};  // match length - 3 -> length code
  std::uint16_t length_base[kLengthCodes] = {};
  std::uint8_t distance_code[512] = {};  // as zlib's d_code: distance - 1, or 256 + its >> 7
  std::uint16_t distance_base[kDistanceCodes] = {};
  std::uint8_t static_literal_length[kLiteralCodes + 2] = {};
  std::uint16_t static_literal_code[kLiteralCodes + 2] = {};
};
extern const CodeTables kTables;

inline unsigned distance_code(unsigned distance_less_one) noexcept {
  return distance_less_one < 256 ? kTables.distance_code[distance_less_one]
                                 : kTables.distance_code[256 + (distance_less_one >> 7)];
}

// A block's symbols as they come, counted into its two trees.
struct BlockTrees {
  BlockTrees() noexcept { literal.count(kEndBlock); }
  void clear() noexcept {
    literal.clear();
    distance.clear();
    literal.count(kEndBlock);
  }
  void count_literal(std::uint8_t c) noexcept { literal.count(c); }
  // Many literals at once: a long run is counted in four tables in turn,
  // so that a repeated byte does not wait on its own count.
  void count_literals(const std::uint8_t* bytes, std::size_t count) noexcept;
  void count_match(unsigned distance_value, unsigned length) noexcept {
    literal.count(kTables.length_code[length - kMinMatch] + kLiterals + 1);
    distance.count(static_cast<int>(distance_code(distance_value - 1)));
  }

  Tree literal{kLiteralCodes};
  Tree distance{kDistanceCodes};
};

// The most bytes that send_block writes for a block of `symbols` symbols,
// beyond the bits held before it: never more than with the fixed codes (at
// most 31 bits a symbol), which a stored block is no longer than.
inline constexpr std::size_t block_room(std::size_t symbols) noexcept { return 4 * symbols + 64; }

// Sends one block as zlib's _tr_flush_block does: stored when that is no
// longer than the codes and `stored` is not null (zlib stores only bytes
// still in its window), else with the fixed codes when those are no longer
// than the block's own, else with its own.  The last block ends aligned to
// a byte.  `trees` are spent.
void send_block(BlockTrees& trees, std::span<const Symbol> symbols, const std::uint8_t* stored,
                std::size_t stored_length, bool last, BitWriter& bits) noexcept;
// The codes of one block's symbols, put as they come.  A literal's code,
// a match length's code with its extra bits and a distance code are looked
// up in tables made once a block.  A symbol is at most 48 bits: its bytes
// are stored after each, with no branch on how many there are (which no
// predictor guesses).
class SymbolWriter {
 public:
  // With the fixed codes, or with the codes of `trees`.
  SymbolWriter(const BlockTrees& trees, bool fixed, BitWriter& bits) noexcept;
  SymbolWriter(const SymbolWriter&) = delete;
  SymbolWriter& operator=(const SymbolWriter&) = delete;

  void literals(const std::uint8_t* bytes, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
      const CodeBits code = literal_[bytes[i]];
      run_.put(code.value, code.length);
      run_.flush();
    }
  }
  // A match of `length_less_3` + 3 bytes, `distance` back.
  void match(unsigned distance, unsigned length_less_3) noexcept {
    const CodeBits length = match_length_[length_less_3];
    const unsigned distance_less_one = distance - 1u;
    const unsigned code = distance_code(distance_less_one);
    const CodeBits own = distance_[code];
    run_.put(length.value, length.length);
    run_.put(own.value | (distance_less_one - kTables.distance_base[code]) << own.code_length,
             own.length);
    run_.flush();
  }
  // The block's end.
  void end() noexcept {
    run_.put(literal_[kEndBlock].value, literal_[kEndBlock].length);
    run_.flush();
  }

 private:
  // A code, and the extra bits after it in `value` (`length` bits in all).
  struct CodeBits {
    std::uint32_t value;
    int length;
    int code_length;
  };

  CodeBits literal_[kLiterals + 1];
  CodeBits match_length_[256];
  CodeBits distance_[kDistanceCodes];
  BitWriter::Run run_;
};

// The two halves of send_block, for blocks made apart and joined later.
// A SymbolSource puts the symbols only when the block is sent with codes.
struct SymbolSource {
  void (*put)(void* context, SymbolWriter& writer) noexcept;
  void* context;
};

// One code of the run-length form of a tree's code lengths: a length, or a
// repeat code and its count.
struct LengthRun {
  std::uint8_t code;
  std::uint8_t count;
};
// At most one code for each length and one for the guard's run.
inline constexpr int kMostRuns = kLiteralCodes + 2;

// A block's codes, chosen from its counted trees as _tr_flush_block
// chooses: its trees and its header are made, and whether storing it is no
// longer than the codes is known, before a bit is written.  `trees` must
// outlive it and are spent.
class CodedBlock {
 public:
  // `with_trees`: builds the trees even where the block is surely stored
  // without them (see surely_stored), as a check of that shortcut.
  CodedBlock(BlockTrees& trees, std::size_t stored_length, bool storable,
             bool with_trees = false) noexcept;
  // True when the block is surely stored, known from its counts alone.
  static bool surely_stored(const BlockTrees& trees, std::size_t stored_length) noexcept;
  // Storing it is no longer: it is not sent with codes.
  bool stored() const noexcept { return stored_; }
  // Sends the block with codes, unaligned even when last.
  void send(SymbolSource symbols, bool last, BitWriter& bits) const noexcept;

 private:
  BlockTrees& trees_;
  Tree length_tree_{kBitLengthCodes};
  std::array<LengthRun, kMostRuns> literal_runs_;
  std::array<LengthRun, kMostRuns> distance_runs_;
  int literal_run_count_ = 0;
  int distance_run_count_ = 0;
  int max_order_ = 0;
  bool fixed_ = false;
  bool stored_ = false;
};

// Sends the block with codes unless it is `storable` and storing it is no
// longer (then sends nothing and returns false).
bool send_coded_block(BlockTrees& trees, SymbolSource symbols, std::size_t stored_length,
                      bool storable, bool last, BitWriter& bits) noexcept;
void send_stored_block(const std::uint8_t* stored, std::size_t stored_length, bool last,
                       BitWriter& bits) noexcept;
// A stored block up to its bytes, which follow it aligned.
void send_stored_header(std::size_t stored_length, bool last, BitWriter& bits) noexcept;

}  // namespace velkorenc::core::huffman

// Token alphabet, token writing and token reading over plain buffers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "velkorenc/core/keying/generator.hpp"
#include "velkorenc/core/keying/keying.hpp"
#include "velkorenc/core/platform/pieces.hpp"

namespace velkorenc::core {

inline constexpr std::size_t kTokenLength = 8;
inline constexpr char kOneLetter = 'q';
inline constexpr char kZeroLetter = 'z';

// Token of byte value v in the unshuffled alphabet: character p is 'q'
// exactly when bit 7 - p of v is set.
constexpr std::array<char, kTokenLength> base_token(std::uint8_t v) noexcept {
  std::array<char, kTokenLength> token{};
  for (std::size_t p = 0; p < kTokenLength; ++p) {
    token[p] = ((v >> (7 - p)) & 1) ? kOneLetter : kZeroLetter;
  }
  return token;
}

// Characters in the text of n tokens joined by a one-character delimiter.
constexpr std::uint64_t joined_length(std::uint64_t n) noexcept {
  return n == 0 ? 0 : n * (kTokenLength + 1) - 1;
}

// The most tokens a text of `length` characters can hold.
constexpr std::uint64_t max_tokens(std::uint64_t length) noexcept {
  return (length + 1) / (kTokenLength + 1);
}

// A key's byte-to-token table, each token eight ASCII characters.
class EncodeTable {
 public:
  // Makes this the table of the shuffled alphabet: byte value position[u]
  // gets the token of unshuffled entry u.
  void set_alphabet(const AlphabetPositions& position) noexcept;
  void set(std::uint8_t value, const char (&token)[kTokenLength]) noexcept;
  std::uint64_t word(std::uint8_t value) const noexcept { return words_[value]; }
  // True when every value has a token made of 'q' and 'z' only.
  bool letters_only() const noexcept { return letter_words_ == 256; }
  // For such a token, bit p is set where its character p is 'q'.
  const std::array<std::uint8_t, 256>& letter_bits() const noexcept { return letter_bits_; }
  bool operator==(const EncodeTable&) const noexcept = default;

 private:
  std::array<std::uint64_t, 256> words_{};
  std::array<std::uint8_t, 256> letter_bits_{};
  std::array<bool, 256> letter_word_{};
  unsigned letter_words_ = 0;  // how many of letter_word_ are true
};

// Writes the tokens of `bytes`, separated by `delimiter`, to `out`; with
// `leading_delimiter` a delimiter also goes before the first token.  Returns
// the end of what was written.  Written by chosen_writer().
char* write_tokens(const EncodeTable& table, ByteSpan bytes, char delimiter,
                   bool leading_delimiter, char* out) noexcept;

// The token writers.  Both write the same characters.  kScalar is the
// portable reference; kAvx512 writes 64 tokens of a letters-only table at a
// time from vector registers, and needs AVX-512 F, BW and VBMI.
enum class TokenWriter : std::uint8_t { kScalar, kAvx512 };
inline constexpr TokenWriter kTokenWriters[] = {TokenWriter::kScalar, TokenWriter::kAvx512};
const char* writer_name(TokenWriter writer) noexcept;
bool can_run(TokenWriter writer) noexcept;
TokenWriter chosen_writer() noexcept;
// write_tokens with `writer`; a writer that this CPU cannot run, or a table
// that is not letters-only, leaves the work to kScalar.
char* write_tokens_with(TokenWriter writer, const EncodeTable& table, ByteSpan bytes,
                        char delimiter, bool leading_delimiter, char* out) noexcept;

// Transforms the frame made of `parts`, one after the other, forward with
// `key` and writes its tokens: joined_length(total size) characters.
// Refuses, writing nothing, when the transform would.  The second form asks
// `checkpoint` after each kFramePiece bytes of the frame, and stops, false,
// when it says so; it writes the pieces on up to `threads` threads, the
// caller included.
bool write_frame_text(const EncodeTable& table, std::span<const ByteSpan> parts, ByteSpan key,
                      char delimiter, char* out) noexcept;
bool write_frame_text(const EncodeTable& table, std::span<const ByteSpan> parts, ByteSpan key,
                      char delimiter, char* out, Checkpoint& checkpoint,
                      unsigned threads = 1) noexcept;
inline bool write_frame_text(const EncodeTable& table, ByteSpan head, ByteSpan tail,
                             ByteSpan key, char delimiter, char* out) noexcept {
  const ByteSpan parts[] = {head, tail};
  return write_frame_text(table, parts, key, delimiter, out);
}

// A key's token-to-byte table: any set of eight-ASCII-character tokens.
class DecodeTable {
 public:
  DecodeTable() noexcept;
  // Makes this new table that of the shuffled alphabet: the token of
  // unshuffled entry u reads as position[u].
  void set_alphabet(const AlphabetPositions& position) noexcept;
  // Adds one token; a later token equal to an earlier one replaces it.
  // False, with nothing added, once kCapacity different tokens are held.
  bool add(const char (&token)[kTokenLength], std::uint8_t value) noexcept;
  // Looks up eight characters (each must be ASCII to match).
  bool find(std::uint64_t packed, std::uint8_t& value) const noexcept;
  // True while every token added is made of 'q' and 'z' only.
  bool letters_only() const noexcept { return letters_only_; }
  // Value of the letters-only token with bit p set where character p is 'q',
  // or -1 when that token was not added.
  std::int16_t by_letters(std::uint8_t bits) const noexcept { return by_letters_[bits]; }
  static constexpr std::size_t kCapacity = 512;

 private:
  static constexpr std::size_t kSlots = 2 * kCapacity;
  void start_hashing() noexcept;
  bool insert(std::uint64_t packed, std::uint8_t value) noexcept;

  // While every token is made of letters, by_letters_ alone is the table;
  // the hash of all tokens is filled only once a token that is not comes.
  std::array<std::uint64_t, kSlots> keys_;
  std::array<std::int16_t, kSlots> values_;
  std::array<std::int16_t, 256> by_letters_;
  std::size_t size_ = 0;
  bool letters_only_ = true;
  bool hashing_ = false;
};

// Outcome of reading a body: on failure, [bad_begin, bad_end) is the first
// piece that is not a token, in character positions of the body.
struct ReadResult {
  bool ok;
  std::size_t count;
  std::size_t bad_begin;
  std::size_t bad_end;
};

// Splits `body` at every `delimiter` and looks each piece up in `table`,
// writing one byte per piece to `out`, which must hold max_tokens(size)
// bytes.  Reading stops at the first piece that is not a token.  Narrow
// bodies are read by chosen_reader().
ReadResult read_tokens(const DecodeTable& table, std::span<const std::uint8_t> body,
                       std::uint32_t delimiter, std::uint8_t* out) noexcept;

// The readers of narrow bodies.  All give the same result and write the same
// bytes.  kScalar is the portable reference.  The others check 64 tokens at
// a time wherever the table is made of letter tokens and the delimiter is
// not a letter.  Two use AVX2 and gather each token's letter bits with a
// multiplication (kAvx2) or with BMI2's PEXT (kAvx2Pext); both need AVX2 and
// BMI2, and PEXT is kept for CPUs that run it at full speed, as AMD's do
// only from Zen 3 on.  kAvx512 does the whole block in vector registers and
// needs AVX-512 F, BW and VBMI.
enum class NarrowReader : std::uint8_t { kScalar, kAvx2, kAvx2Pext, kAvx512 };
inline constexpr NarrowReader kNarrowReaders[] = {NarrowReader::kScalar, NarrowReader::kAvx2,
                                                  NarrowReader::kAvx2Pext,
                                                  NarrowReader::kAvx512};
const char* reader_name(NarrowReader reader) noexcept;
// Whether this CPU has the instructions that `reader` needs.
bool can_run(NarrowReader reader) noexcept;
// The fastest reader this CPU runs well.
NarrowReader chosen_reader() noexcept;
// read_tokens with `reader`; a reader that this CPU cannot run leaves the
// work to kScalar.
ReadResult read_tokens_with(NarrowReader reader, const DecodeTable& table,
                            std::span<const std::uint8_t> body, std::uint32_t delimiter,
                            std::uint8_t* out) noexcept;

ReadResult read_tokens(const DecodeTable& table, std::span<const std::uint16_t> body,
                       std::uint32_t delimiter, std::uint8_t* out) noexcept;
ReadResult read_tokens(const DecodeTable& table, std::span<const std::uint32_t> body,
                       std::uint32_t delimiter, std::uint8_t* out) noexcept;

// Given the bytes of each run of tokens that read_tokens_in_pieces has
// read, in order, to look at or change in place; false stops the reading.
class RunSink {
 public:
  virtual bool take(std::uint8_t* bytes, std::size_t size) noexcept = 0;

 protected:
  ~RunSink() = default;
};

// Asks a checkpoint after each run, and does nothing else.
class CheckpointSink final : public RunSink {
 public:
  explicit CheckpointSink(Checkpoint& checkpoint) noexcept : checkpoint_(checkpoint) {}
  bool take(std::uint8_t*, std::size_t) noexcept override { return checkpoint_.resume(); }

 private:
  Checkpoint& checkpoint_;
};

// read_tokens, run by run: each run ends at the first delimiter at least
// `piece` characters after its start (or at the end of the body), and its
// bytes go to `sink` before the next run is read.  Splitting the body at
// one of its delimiters splits its pieces exactly there, so the result and
// the bytes written are read_tokens' own; only when `sink` stops the
// reading is the result not ok without naming a bad piece.
ReadResult read_tokens_in_pieces(const DecodeTable& table, std::span<const std::uint8_t> body,
                                 std::uint32_t delimiter, std::uint8_t* out, std::size_t piece,
                                 RunSink& sink) noexcept;
ReadResult read_tokens_in_pieces(const DecodeTable& table, std::span<const std::uint16_t> body,
                                 std::uint32_t delimiter, std::uint8_t* out, std::size_t piece,
                                 RunSink& sink) noexcept;
ReadResult read_tokens_in_pieces(const DecodeTable& table, std::span<const std::uint32_t> body,
                                 std::uint32_t delimiter, std::uint8_t* out, std::size_t piece,
                                 RunSink& sink) noexcept;

}  // namespace velkorenc::core

#include <array>
#include <cstring>

#include "velkorenc/core/platform/cpu.hpp"
#include "velkorenc/core/tokens/token_kernels.hpp"
#include "velkorenc/core/tokens/tokens.hpp"

namespace velkorenc::core {
namespace {

using detail::kLettersOfBase;
using detail::letters_to_bits;

constexpr std::uint64_t kEmptySlot = ~std::uint64_t{0};  // no ASCII token packs to this

constexpr std::size_t slot_of(std::uint64_t packed, std::size_t slots) noexcept {
  return static_cast<std::size_t>((packed * 0x9E3779B97F4A7C15ULL) >> 40) & (slots - 1);
}

template <class Char>
std::size_t find_delimiter(const Char* body, std::size_t from, std::size_t size,
                           std::uint32_t delimiter) noexcept {
  if constexpr (sizeof(Char) == 1) {
    // memchr must not be given the null pointer of an empty body.
    if (delimiter > 0xFF || from == size) return size;
    const void* hit = std::memchr(body + from, static_cast<int>(delimiter), size - from);
    return hit ? static_cast<std::size_t>(static_cast<const Char*>(hit) - body) : size;
  } else {
    for (std::size_t i = from; i < size; ++i) {
      if (body[i] == delimiter) return i;
    }
    return size;
  }
}

// Packs eight characters into a word; false when one is not ASCII.
template <class Char>
bool pack_ascii(const Char* chars, std::uint64_t& packed) noexcept {
  if constexpr (sizeof(Char) == 1) {
    std::memcpy(&packed, chars, kTokenLength);
    return (packed & 0x8080808080808080ULL) == 0;
  } else {
    packed = 0;
    for (std::size_t p = 0; p < kTokenLength; ++p) {
      if (chars[p] > 0x7F) return false;
      packed |= static_cast<std::uint64_t>(chars[p]) << (8 * p);
    }
    return true;
  }
}

// Splits and looks up piece by piece from `pos`, which starts a piece.
template <class Char>
ReadResult read_pieces(const DecodeTable& table, std::span<const Char> body,
                       std::uint32_t delimiter, std::uint8_t* out, std::size_t pos,
                       std::size_t count) noexcept {
  const Char* chars = body.data();
  const std::size_t size = body.size();
  for (;;) {
    const std::size_t end = find_delimiter(chars, pos, size, delimiter);
    std::uint64_t packed;
    std::uint8_t value;
    if (end - pos != kTokenLength || !pack_ascii(chars + pos, packed) ||
        !table.find(packed, value)) {
      return {false, count, pos, end};
    }
    out[count++] = value;
    if (end == size) return {true, count, 0, 0};
    pos = end + 1;
  }
}

// Letters-only tables with a delimiter that is not a letter: every piece of a
// valid body is eight letters followed by the delimiter, so the body can be
// walked at a fixed stride from `pos`, which starts a piece; at the first
// irregularity the general reader takes over from the start of that piece.
ReadResult read_letters(const DecodeTable& table, std::span<const std::uint8_t> body,
                        std::uint8_t delimiter, std::uint8_t* out, std::size_t pos,
                        std::size_t count) noexcept {
  const std::uint8_t* chars = body.data();
  const std::size_t size = body.size();
  while (pos + kTokenLength < size) {
    std::uint64_t packed;
    std::memcpy(&packed, chars + pos, kTokenLength);
    std::uint8_t bits;
    if (chars[pos + kTokenLength] != delimiter || !letters_to_bits(packed, bits)) break;
    const std::int16_t value = table.by_letters(bits);
    if (value < 0) break;
    out[count++] = static_cast<std::uint8_t>(value);
    pos += kTokenLength + 1;
  }
  return read_pieces(table, body, delimiter, out, pos, count);
}

// Whether the fixed-stride readers apply: every token is made of the two
// letters and the delimiter is none of them.
bool reads_at_stride(const DecodeTable& table, std::uint32_t delimiter) noexcept {
  return table.letters_only() && delimiter <= 0xFF && delimiter != std::uint8_t(kOneLetter) &&
         delimiter != std::uint8_t(kZeroLetter);
}

}  // namespace

DecodeTable::DecodeTable() noexcept { by_letters_.fill(-1); }

void DecodeTable::set_alphabet(const AlphabetPositions& position) noexcept {
  for (std::size_t u = 0; u < position.size(); ++u) by_letters_[kLettersOfBase[u]] = position[u];
  size_ = position.size();  // a shuffle holds each entry once
}

// Every letters-only token held so far goes into the hash.
void DecodeTable::start_hashing() noexcept {
  keys_.fill(kEmptySlot);
  values_.fill(-1);
  hashing_ = true;
  size_ = 0;
  for (unsigned bits = 0; bits < 256; ++bits) {
    if (by_letters_[bits] < 0) continue;
    char token[kTokenLength];
    for (unsigned p = 0; p < kTokenLength; ++p) {
      token[p] = (bits >> p) & 1 ? kOneLetter : kZeroLetter;
    }
    std::uint64_t packed;
    std::memcpy(&packed, token, kTokenLength);
    insert(packed, static_cast<std::uint8_t>(by_letters_[bits]));
  }
}

bool DecodeTable::insert(std::uint64_t packed, std::uint8_t value) noexcept {
  std::size_t slot = slot_of(packed, kSlots);
  while (keys_[slot] != kEmptySlot && keys_[slot] != packed) slot = (slot + 1) & (kSlots - 1);
  if (keys_[slot] == kEmptySlot) {
    if (size_ == kCapacity) return false;
    ++size_;
  }
  keys_[slot] = packed;
  values_[slot] = value;
  return true;
}

bool DecodeTable::add(const char (&token)[kTokenLength], std::uint8_t value) noexcept {
  std::uint64_t packed;
  std::memcpy(&packed, token, kTokenLength);
  std::uint8_t bits;
  const bool letters = letters_to_bits(packed, bits);
  if (letters && !hashing_) {
    if (by_letters_[bits] < 0) ++size_;
    by_letters_[bits] = value;
    return true;
  }
  if (!hashing_) start_hashing();
  if (!insert(packed, value)) return false;
  if (letters) {
    by_letters_[bits] = value;
  } else {
    letters_only_ = false;
  }
  return true;
}

bool DecodeTable::find(std::uint64_t packed, std::uint8_t& value) const noexcept {
  if (!hashing_) {
    std::uint8_t bits;
    if (!letters_to_bits(packed, bits) || by_letters_[bits] < 0) return false;
    value = static_cast<std::uint8_t>(by_letters_[bits]);
    return true;
  }
  std::size_t slot = slot_of(packed, kSlots);
  while (keys_[slot] != kEmptySlot) {
    if (keys_[slot] == packed) {
      value = static_cast<std::uint8_t>(values_[slot]);
      return true;
    }
    slot = (slot + 1) & (kSlots - 1);
  }
  return false;
}

const char* reader_name(NarrowReader reader) noexcept {
  switch (reader) {
    case NarrowReader::kScalar: return "scalar";
    case NarrowReader::kAvx2: return "avx2";
    case NarrowReader::kAvx2Pext: return "avx2_pext";
    case NarrowReader::kAvx512: return "avx512";
  }
  return "unknown";
}

bool can_run(NarrowReader reader) noexcept {
  const CpuFeatures& cpu = cpu_features();
  switch (reader) {
    case NarrowReader::kScalar: return true;
    case NarrowReader::kAvx2:
    case NarrowReader::kAvx2Pext: return cpu.avx2 && cpu.bmi2;
    case NarrowReader::kAvx512: return cpu.avx512_vbmi;
  }
  return false;
}

// The one place where the kernel is chosen, once per process.
NarrowReader chosen_reader() noexcept {
  static const NarrowReader reader = can_run(NarrowReader::kAvx512) ? NarrowReader::kAvx512
                                     : !can_run(NarrowReader::kAvx2) ? NarrowReader::kScalar
                                     : cpu_features().fast_pext      ? NarrowReader::kAvx2Pext
                                                                     : NarrowReader::kAvx2;
  return reader;
}

ReadResult read_tokens_with(NarrowReader reader, const DecodeTable& table,
                            std::span<const std::uint8_t> body, std::uint32_t delimiter,
                            std::uint8_t* out) noexcept {
  if (!reads_at_stride(table, delimiter)) return read_pieces(table, body, delimiter, out, 0, 0);
  const auto narrow = static_cast<std::uint8_t>(delimiter);
  std::size_t count = 0;
  if (can_run(reader)) {
    switch (reader) {
      case NarrowReader::kScalar:
        break;
      case NarrowReader::kAvx2:
        count = detail::read_letter_blocks_avx2(table, body.data(), body.size(), narrow, out);
        break;
      case NarrowReader::kAvx2Pext:
        count = detail::read_letter_blocks_avx2_pext(table, body.data(), body.size(), narrow, out);
        break;
      case NarrowReader::kAvx512:
        count = detail::read_letter_blocks_avx512(table, body.data(), body.size(), narrow, out);
        break;
    }
  }
  // The kernels leave the block where they stop whole, so the fixed-stride
  // reader below meets every irregularity itself.
  return read_letters(table, body, narrow, out, count * (kTokenLength + 1), count);
}

ReadResult read_tokens(const DecodeTable& table, std::span<const std::uint8_t> body,
                       std::uint32_t delimiter, std::uint8_t* out) noexcept {
  return read_tokens_with(chosen_reader(), table, body, delimiter, out);
}

ReadResult read_tokens(const DecodeTable& table, std::span<const std::uint16_t> body,
                       std::uint32_t delimiter, std::uint8_t* out) noexcept {
  return read_pieces(table, body, delimiter, out, 0, 0);
}

ReadResult read_tokens(const DecodeTable& table, std::span<const std::uint32_t> body,
                       std::uint32_t delimiter, std::uint8_t* out) noexcept {
  return read_pieces(table, body, delimiter, out, 0, 0);
}

namespace {

template <class Char>
ReadResult read_runs(const DecodeTable& table, std::span<const Char> body,
                     std::uint32_t delimiter, std::uint8_t* out, std::size_t piece,
                     RunSink& sink) noexcept {
  const std::size_t size = body.size();
  std::size_t pos = 0;
  std::size_t count = 0;
  for (;;) {
    const std::size_t end = size - pos > piece
                                ? find_delimiter(body.data(), pos + piece, size, delimiter)
                                : size;
    const ReadResult run = read_tokens(table, body.subspan(pos, end - pos), delimiter,
                                       out + count);
    if (!run.ok) return {false, count + run.count, pos + run.bad_begin, pos + run.bad_end};
    if (!sink.take(out + count, run.count)) return {false, count + run.count, 0, 0};
    count += run.count;
    if (end == size) return {true, count, 0, 0};
    pos = end + 1;
  }
}

}  // namespace

ReadResult read_tokens_in_pieces(const DecodeTable& table, std::span<const std::uint8_t> body,
                                 std::uint32_t delimiter, std::uint8_t* out, std::size_t piece,
                                 RunSink& sink) noexcept {
  return read_runs(table, body, delimiter, out, piece, sink);
}

ReadResult read_tokens_in_pieces(const DecodeTable& table, std::span<const std::uint16_t> body,
                                 std::uint32_t delimiter, std::uint8_t* out, std::size_t piece,
                                 RunSink& sink) noexcept {
  return read_runs(table, body, delimiter, out, piece, sink);
}

ReadResult read_tokens_in_pieces(const DecodeTable& table, std::span<const std::uint32_t> body,
                                 std::uint32_t delimiter, std::uint8_t* out, std::size_t piece,
                                 RunSink& sink) noexcept {
  return read_runs(table, body, delimiter, out, piece, sink);
}

}  // namespace velkorenc::core

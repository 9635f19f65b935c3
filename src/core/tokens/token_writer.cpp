#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "velkorenc/core/tokens/tokens.hpp"

#include "velkorenc/core/platform/cpu.hpp"
#include "velkorenc/core/platform/workers.hpp"
#include "velkorenc/core/tokens/token_kernels.hpp"

namespace velkorenc::core {

namespace {

// The unshuffled tokens as the words that writing copies.
constexpr std::array<std::uint64_t, 256> base_words() noexcept {
  std::array<std::uint64_t, 256> words{};
  for (unsigned u = 0; u < 256; ++u) {
    words[u] = std::bit_cast<std::uint64_t>(base_token(static_cast<std::uint8_t>(u)));
  }
  return words;
}

constexpr std::array<std::uint64_t, 256> kBaseWords = base_words();

}  // namespace

void EncodeTable::set_alphabet(const AlphabetPositions& position) noexcept {
  for (std::size_t u = 0; u < position.size(); ++u) {
    words_[position[u]] = kBaseWords[u];
    letter_bits_[position[u]] = detail::kLettersOfBase[u];
  }
  letter_word_.fill(true);
  letter_words_ = 256;
}

void EncodeTable::set(std::uint8_t value, const char (&token)[kTokenLength]) noexcept {
  std::memcpy(&words_[value], token, kTokenLength);
  std::uint8_t bits = 0;
  const bool letters = detail::letters_to_bits(words_[value], bits);
  letter_bits_[value] = letters ? bits : 0;
  letter_words_ += static_cast<unsigned>(letters) - static_cast<unsigned>(letter_word_[value]);
  letter_word_[value] = letters;
}

namespace {

char* write_tokens_scalar(const EncodeTable& table, ByteSpan bytes, char delimiter,
                          bool leading_delimiter, char* out) noexcept {
  std::size_t t = 0;
  if (!leading_delimiter && !bytes.empty()) {
    const std::uint64_t word = table.word(bytes[0]);
    std::memcpy(out, &word, kTokenLength);
    out += kTokenLength;
    t = 1;
  }
  for (; t < bytes.size(); ++t) {
    const std::uint64_t word = table.word(bytes[t]);
    *out = delimiter;
    std::memcpy(out + 1, &word, kTokenLength);
    out += kTokenLength + 1;
  }
  return out;
}

// Fewer tokens than this are written one by one: setting up the vector
// writer would cost more than it saves.
constexpr std::size_t kVectorTokens = 16;

bool writes_vectors(TokenWriter writer, const EncodeTable& table, std::size_t count) noexcept {
  return writer == TokenWriter::kAvx512 && count >= kVectorTokens && table.letters_only() &&
         can_run(writer);
}

}  // namespace

const char* writer_name(TokenWriter writer) noexcept {
  switch (writer) {
    case TokenWriter::kScalar: return "scalar";
    case TokenWriter::kAvx512: return "avx512";
  }
  return "unknown";
}

bool can_run(TokenWriter writer) noexcept {
  switch (writer) {
    case TokenWriter::kScalar: return true;
    case TokenWriter::kAvx512: return cpu_features().avx512_vbmi;
  }
  return false;
}

// The one place where the writer is chosen, once per process.
TokenWriter chosen_writer() noexcept {
  static const TokenWriter writer = fastest_runnable(kTokenWriters);
  return writer;
}

char* write_tokens_with(TokenWriter writer, const EncodeTable& table, ByteSpan bytes,
                        char delimiter, bool leading_delimiter, char* out) noexcept {
  if (writes_vectors(writer, table, bytes.size())) {
    return detail::write_letter_tokens_avx512(table.letter_bits().data(), bytes.data(),
                                              bytes.size(), delimiter, leading_delimiter, out,
                                              false);
  }
  return write_tokens_scalar(table, bytes, delimiter, leading_delimiter, out);
}

char* write_tokens(const EncodeTable& table, ByteSpan bytes, char delimiter,
                   bool leading_delimiter, char* out) noexcept {
  return write_tokens_with(chosen_writer(), table, bytes, delimiter, leading_delimiter, out);
}

bool write_frame_text(const EncodeTable& table, std::span<const ByteSpan> parts, ByteSpan key,
                      char delimiter, char* out) noexcept {
  NoCheckpoint always;
  return write_frame_text(table, parts, key, delimiter, out, always);
}

namespace {

// A frame at least this long has its text written past the caches: the
// text is far larger than they are, and written only once, so each line of
// it need not be read in first.
constexpr std::uint64_t kStreamedFrame = std::uint64_t{4} << 20;

// Copies `size` bytes to `to` with stores that go past the caches, for the
// whole 16-byte units of `to`; the edges with ordinary stores.  The caller
// orders them with stream_fence() before the text is read.
void stream_copy(char* to, const char* from, std::size_t size) noexcept {
#if defined(__SSE2__)
  const std::size_t head = std::min(size, (16 - reinterpret_cast<std::uintptr_t>(to) % 16) % 16);
  std::memcpy(to, from, head);
  std::size_t done = head;
  for (; size - done >= 64; done += 64) {
    const auto* source = reinterpret_cast<const __m128i*>(from + done);
    auto* target = reinterpret_cast<__m128i*>(to + done);
    _mm_stream_si128(target, _mm_loadu_si128(source));
    _mm_stream_si128(target + 1, _mm_loadu_si128(source + 1));
    _mm_stream_si128(target + 2, _mm_loadu_si128(source + 2));
    _mm_stream_si128(target + 3, _mm_loadu_si128(source + 3));
  }
  std::memcpy(to + done, from + done, size - done);
#else
  std::memcpy(to, from, size);
#endif
}

void stream_fence() noexcept {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

// write_tokens past the caches, for a text far larger than they are that is
// not read again soon.  The caller orders the stores with stream_fence()
// before the text is read.
char* stream_tokens(const EncodeTable& table, ByteSpan bytes, char delimiter,
                    bool leading_delimiter, char* out) noexcept {
  // The vector writer streams whole lines itself, with no copy.
  if (writes_vectors(chosen_writer(), table, bytes.size())) {
    return detail::write_letter_tokens_avx512(table.letter_bits().data(), bytes.data(),
                                              bytes.size(), delimiter, leading_delimiter, out,
                                              true);
  }
  // Otherwise through a buffer in the cache, copied past the caches.
  constexpr std::size_t kBuffered = 2048;
  char text[kBuffered * (kTokenLength + 1)];
  for (std::size_t at = 0; at < bytes.size(); at += kBuffered) {
    const ByteSpan block = bytes.subspan(at, std::min(kBuffered, bytes.size() - at));
    const char* end = write_tokens(table, block, delimiter, leading_delimiter || at != 0, text);
    stream_copy(out, text, static_cast<std::size_t>(end - text));
    out += end - text;
  }
  return out;
}

// The tokens of frame positions [from, to), from the parts that hold them,
// where they go in the text: the token of position k at 9k, its delimiter
// just before.  With `streamed`, past the caches.
void write_positions(const EncodeTable& table, std::span<const ByteSpan> parts, ByteSpan key,
                     char delimiter, char* out, std::uint64_t from, std::uint64_t to,
                     bool streamed) noexcept {
  // Transform a block at a time into a buffer that stays in cache.
  constexpr std::size_t kBlock = 2048;
  static_assert(kFramePiece % kBlock == 0, "pieces are whole blocks");
  std::uint8_t block[kBlock];
  char* at = out + (from == 0 ? 0 : (kTokenLength + 1) * from - 1);
  std::uint64_t part_start = 0;
  for (ByteSpan part : parts) {
    const std::uint64_t part_end = part_start + part.size();
    for (std::uint64_t position = std::max(from, part_start); position < std::min(to, part_end);) {
      // Blocks end at multiples of kBlock whatever the parts' lengths.
      const std::uint64_t room = kBlock - position % kBlock;
      const auto length = static_cast<std::size_t>(std::min({room, to - position, part_end - position}));
      const ByteSpan chunk = part.subspan(static_cast<std::size_t>(position - part_start), length);
      transform_forward(chunk, key, position, block);
      const ByteSpan values(block, length);
      at = streamed ? stream_tokens(table, values, delimiter, position != 0, at)
                    : write_tokens(table, values, delimiter, position != 0, at);
      position += length;
    }
    part_start = part_end;
  }
  if (streamed) stream_fence();
}

}  // namespace

bool write_frame_text(const EncodeTable& table, std::span<const ByteSpan> parts, ByteSpan key,
                      char delimiter, char* out, Checkpoint& checkpoint, unsigned threads) noexcept {
  std::uint64_t total = 0;
  for (ByteSpan part : parts) total += part.size();
  if (!can_transform(key.size(), total)) return false;
  const std::uint64_t pieces = (total + kFramePiece - 1) / kFramePiece;
  const auto write_piece = [&](std::uint64_t p) {
    write_positions(table, parts, key, delimiter, out, p * kFramePiece,
                    std::min(total, (p + 1) * kFramePiece), total >= kStreamedFrame);
  };
  // Each piece's text has its own place, so pieces go on any thread.
  if (threads > 1 && pieces > 1) {
    return !share_pieces(threads, static_cast<std::size_t>(pieces), checkpoint, [&](std::size_t p) {
              write_piece(p);
              return true;
            }).stopped;
  }
  for (std::uint64_t p = 0; p < pieces; ++p) {
    if (p != 0 && !checkpoint.resume()) return false;
    write_piece(p);
  }
  return true;
}

}  // namespace velkorenc::core

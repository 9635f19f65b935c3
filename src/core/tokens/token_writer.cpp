#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "velkorenc/core/tokens/tokens.hpp"

#include "velkorenc/core/platform/workers.hpp"

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
  for (std::size_t u = 0; u < position.size(); ++u) words_[position[u]] = kBaseWords[u];
}

void EncodeTable::set(std::uint8_t value, const char (&token)[kTokenLength]) noexcept {
  std::memcpy(&words_[value], token, kTokenLength);
}

char* write_tokens(const EncodeTable& table, ByteSpan bytes, char delimiter,
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

bool write_frame_text(const EncodeTable& table, std::span<const ByteSpan> parts, ByteSpan key,
                      char delimiter, char* out) noexcept {
  NoCheckpoint always;
  return write_frame_text(table, parts, key, delimiter, out, always);
}

namespace {

// The tokens of frame positions [from, to), from the parts that hold them,
// where they go in the text: the token of position k at 9k, its delimiter
// just before.
void write_positions(const EncodeTable& table, std::span<const ByteSpan> parts, ByteSpan key,
                     char delimiter, char* out, std::uint64_t from, std::uint64_t to) noexcept {
  // Transform a block at a time into a buffer that stays in cache.
  constexpr std::size_t kBlock = 4096;
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
      at = write_tokens(table, ByteSpan(block, length), delimiter, position != 0, at);
      position += length;
    }
    part_start = part_end;
  }
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
                    std::min(total, (p + 1) * kFramePiece));
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

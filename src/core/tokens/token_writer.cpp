#include <array>
#include <bit>
#include <cstring>

#include "velkorenc/core/tokens/tokens.hpp"

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

bool write_frame_text(const EncodeTable& table, std::span<const ByteSpan> parts, ByteSpan key,
                      char delimiter, char* out, Checkpoint& checkpoint) noexcept {
  std::size_t total = 0;
  for (ByteSpan part : parts) total += part.size();
  if (!can_transform(key.size(), total)) return false;
  // Transform a block at a time into a buffer that stays in cache.
  constexpr std::size_t kBlock = 4096;
  static_assert(kFramePiece % kBlock == 0, "checkpoints fall between blocks");
  std::uint8_t block[kBlock];
  std::uint64_t position = 0;
  for (ByteSpan part : parts) {
    while (!part.empty()) {
      if (position != 0 && position % kFramePiece == 0 && !checkpoint.resume()) return false;
      // Blocks end at multiples of kBlock, so that checkpoints fall at
      // multiples of kFramePiece whatever the parts' lengths.
      const std::size_t room = kBlock - static_cast<std::size_t>(position % kBlock);
      const ByteSpan chunk = part.first(part.size() < room ? part.size() : room);
      transform_forward(chunk, key, position, block);
      out = write_tokens(table, ByteSpan(block, chunk.size()), delimiter, position != 0, out);
      position += chunk.size();
      part = part.subspan(chunk.size());
    }
  }
  return true;
}

}  // namespace velkorenc::core

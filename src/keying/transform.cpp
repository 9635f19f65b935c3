#include <cstring>

#include "velkorenc/core/keying.hpp"

namespace velkorenc::core {
namespace {

constexpr std::uint8_t rotl8(std::uint8_t x, unsigned s) noexcept {
  return static_cast<std::uint8_t>((x << s) | (x >> (8 - s)));
}

constexpr std::uint8_t rotr8(std::uint8_t x, unsigned s) noexcept {
  return static_cast<std::uint8_t>((x >> s) | (x << (8 - s)));
}

template <bool Forward>
constexpr std::uint8_t transform_byte(std::uint8_t b, std::uint8_t k, unsigned s,
                                      std::uint8_t offset) noexcept {
  if constexpr (Forward) {
    return static_cast<std::uint8_t>(rotl8(b ^ k, s) + offset);
  } else {
    return static_cast<std::uint8_t>(rotr8(static_cast<std::uint8_t>(b - offset), s) ^ k);
  }
}

// Yields the key bytes for consecutive positions, eight at a time where it can.
class KeyCursor {
 public:
  KeyCursor(ByteSpan key, std::uint64_t start) noexcept {
    const std::size_t kl = key.size();
    if (kl < 8) {
      // Repeat a short key to a whole number of copies at least 8 long, plus
      // 8 more bytes, so that every 8-byte read is contiguous.
      period_ = kl * ((8 + kl - 1) / kl);
      for (std::size_t j = 0; j < period_ + 8; ++j) short_key_[j] = key[j % kl];
      bytes_ = short_key_;
    } else {
      period_ = kl;
      bytes_ = key.data();
    }
    index_ = static_cast<std::size_t>(start % period_);
  }

  std::uint8_t next() noexcept {
    const std::uint8_t k = bytes_[index_];
    if (++index_ == period_) index_ = 0;
    return k;
  }

  void next8(std::uint8_t (&k)[8]) noexcept {
    if (index_ + 8 <= period_ || bytes_ == short_key_) {
      std::memcpy(k, bytes_ + index_, 8);
      index_ += 8;
      if (index_ >= period_) index_ -= period_;
    } else {
      for (std::uint8_t& b : k) b = next();
    }
  }

 private:
  std::uint8_t short_key_[32];
  const std::uint8_t* bytes_;
  std::size_t period_;
  std::size_t index_;
};

template <bool Forward>
void run(ByteSpan in, ByteSpan key, std::uint64_t start, std::uint8_t* out) noexcept {
  const std::size_t n = in.size();
  if (n == 0) return;  // the key may be empty then
  KeyCursor cursor(key, start);
  std::size_t t = 0;
  // Single bytes until the position is a multiple of 8, so that the blocks
  // below see rotations 0..7 in fixed places.
  for (; t < n && ((start + t) & 7) != 0; ++t) {
    const std::uint64_t i = start + t;
    out[t] = transform_byte<Forward>(in[t], cursor.next(), static_cast<unsigned>(i & 7),
                                     transform_offset(i));
  }
  for (; t + 8 <= n; t += 8) {
    std::uint8_t k[8];
    cursor.next8(k);
    const std::uint8_t base = transform_offset(start + t);
    for (unsigned s = 0; s < 8; ++s) {
      out[t + s] = transform_byte<Forward>(in[t + s], k[s], s,
                                           static_cast<std::uint8_t>(base + 19u * s));
    }
  }
  for (; t < n; ++t) {
    const std::uint64_t i = start + t;
    out[t] = transform_byte<Forward>(in[t], cursor.next(), static_cast<unsigned>(i & 7),
                                     transform_offset(i));
  }
}

}  // namespace

bool transform_forward(ByteSpan in, ByteSpan key, std::uint64_t start,
                       std::uint8_t* out) noexcept {
  if (!can_transform(key.size(), in.size())) return false;
  run<true>(in, key, start, out);
  return true;
}

bool transform_inverse(ByteSpan in, ByteSpan key, std::uint64_t start,
                       std::uint8_t* out) noexcept {
  if (!can_transform(key.size(), in.size())) return false;
  run<false>(in, key, start, out);
  return true;
}

}  // namespace velkorenc::core

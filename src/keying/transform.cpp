#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Positions handled per step of the wide loop.
constexpr std::size_t kWidth = 16;

// The key bytes of consecutive positions.  A key shorter than kWidth is
// repeated to whole copies at least kWidth long, plus kWidth more bytes, so
// that every window of kWidth key bytes is one contiguous read.
struct KeyStream {
  KeyStream(ByteSpan key, std::uint64_t start) noexcept {
    const std::size_t kl = key.size();
    if (kl < kWidth) {
      period = kl * ((kWidth + kl - 1) / kl);
      for (std::size_t j = 0; j < period + kWidth; ++j) repeated[j] = key[j % kl];
      bytes = repeated;
      readable = period + kWidth;
    } else {
      period = kl;
      bytes = key.data();
      readable = kl;
    }
    index = static_cast<std::size_t>(start % period);
  }

  std::uint8_t repeated[4 * kWidth];
  const std::uint8_t* bytes;
  std::size_t period;
  std::size_t readable;  // bytes[0, readable) may be read
  std::size_t index;
};

#if defined(__SSE2__)
// A byte rotated left by s is the low byte OR the high byte of the 16-bit
// product x * 2^s, so each half of the lanes takes one multiply.  Lane j of
// a block whose first position is a multiple of 8 rotates by j mod 8.
template <bool Forward>
struct Rotation {
  static __m128i multipliers(bool odd_lanes) noexcept {
    // Left by s forward; right by s, that is left by 8 - s, inverse.
    constexpr short forward_even[8] = {1, 4, 16, 64, 1, 4, 16, 64};
    constexpr short forward_odd[8] = {2, 8, 32, 128, 2, 8, 32, 128};
    constexpr short inverse_even[8] = {1, 64, 16, 4, 1, 64, 16, 4};
    constexpr short inverse_odd[8] = {128, 32, 8, 2, 128, 32, 8, 2};
    const short* m = Forward ? (odd_lanes ? forward_odd : forward_even)
                             : (odd_lanes ? inverse_odd : inverse_even);
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(m));
  }

  __m128i operator()(__m128i x) const noexcept {
    const __m128i low = _mm_set1_epi16(0x00FF);
    __m128i even = _mm_mullo_epi16(_mm_and_si128(x, low), even_multipliers);
    __m128i odd = _mm_mullo_epi16(_mm_srli_epi16(x, 8), odd_multipliers);
    even = _mm_and_si128(_mm_or_si128(even, _mm_srli_epi16(even, 8)), low);
    odd = _mm_and_si128(_mm_or_si128(odd, _mm_srli_epi16(odd, 8)), low);
    return _mm_or_si128(even, _mm_slli_epi16(odd, 8));
  }

  __m128i even_multipliers = multipliers(false);
  __m128i odd_multipliers = multipliers(true);
};

// Offsets of 16 consecutive positions from the first one's: 19 * j.
inline __m128i offset_steps() noexcept {
  return _mm_setr_epi8(0, 19, 38, 57, 76, 95, 114, static_cast<char>(133),
                       static_cast<char>(152), static_cast<char>(171), static_cast<char>(190),
                       static_cast<char>(209), static_cast<char>(228), static_cast<char>(247),
                       10, 29);
}
#endif

template <bool Forward>
void run(ByteSpan in, ByteSpan key, std::uint64_t start, std::uint8_t* out) noexcept {
  const std::size_t n = in.size();
  if (n == 0) return;  // the key may be empty then
  KeyStream stream(key, start);
  const std::uint8_t* const k = stream.bytes;
  const std::size_t period = stream.period;
  const std::size_t readable = stream.readable;
  std::size_t ki = stream.index;
  const std::uint8_t* const src = in.data();

  std::size_t t = 0;
  auto one = [&](std::size_t at) {
    const std::uint64_t i = start + at;
    out[at] = transform_byte<Forward>(src[at], k[ki], static_cast<unsigned>(i & 7),
                                      transform_offset(i));
    if (++ki == period) ki = 0;
  };
  // Single bytes until the position is a multiple of 8, so that the wide
  // steps below see rotations 0..7 in fixed lanes.
  for (; t < n && ((start + t) & 7) != 0; ++t) one(t);

#if defined(__SSE2__)
  const Rotation<Forward> rotate;
  const __m128i steps = offset_steps();
  for (; t + kWidth <= n; t += kWidth) {
    __m128i key_bytes;
    if (ki + kWidth <= readable) {
      key_bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + ki));
    } else {
      alignas(16) std::uint8_t window[kWidth];
      for (std::size_t j = 0; j < kWidth; ++j) window[j] = k[(ki + j) % period];
      key_bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(window));
    }
    ki += kWidth;
    if (ki >= period) ki -= period;
    const __m128i offset = _mm_add_epi8(
        _mm_set1_epi8(static_cast<char>(transform_offset(start + t))), steps);
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + t));
    const __m128i x = Forward ? _mm_add_epi8(rotate(_mm_xor_si128(b, key_bytes)), offset)
                              : _mm_xor_si128(rotate(_mm_sub_epi8(b, offset)), key_bytes);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + t), x);
  }
#endif
  for (; t < n; ++t) one(t);
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

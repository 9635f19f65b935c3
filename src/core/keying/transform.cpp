#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "velkorenc/core/platform/cpu.hpp"
#include "velkorenc/core/keying/keying.hpp"

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

// Positions handled per step of the wide loops: SSE2's and AVX2's.
constexpr std::size_t kWidth = 16;
constexpr std::size_t kWideWidth = 32;

// The key bytes of consecutive positions.  A key shorter than kWideWidth is
// repeated to whole copies at least kWideWidth long, plus kWideWidth more
// bytes, so that every window of up to kWideWidth key bytes is one
// contiguous read.
struct KeyStream {
  KeyStream(ByteSpan key, std::uint64_t start) noexcept {
    const std::size_t kl = key.size();
    if (kl < kWideWidth) {
      period = kl * ((kWideWidth + kl - 1) / kl);
      for (std::size_t at = 0; at < period + kWideWidth; at += kl) {
        std::memcpy(repeated + at, key.data(), kl);  // the room has a key's length to spare
      }
      bytes = repeated;
      readable = period + kWideWidth;
    } else {
      period = kl;
      bytes = key.data();
      readable = kl;
    }
    index = static_cast<std::size_t>(start % period);
  }

  // `Width` key bytes from the current index, and the index moved past them.
  template <std::size_t Width>
  const std::uint8_t* window(std::uint8_t (&copy)[Width]) noexcept {
    const std::uint8_t* at = bytes + index;
    if (index + Width > readable) {
      for (std::size_t j = 0; j < Width; ++j) copy[j] = bytes[(index + j) % period];
      at = copy;
    }
    index += Width;
    if (index >= period) index -= period;  // the period is at least Width long
    return at;
  }

  std::uint8_t repeated[4 * kWideWidth + kWideWidth];
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

#if defined(__x86_64__)
// The same 32 positions at a time, with AVX2.  Starts at a multiple of 8 and
// returns where it stopped.
template <bool Forward>
__attribute__((target("avx2"))) std::size_t run_avx2(const std::uint8_t* src, std::uint8_t* out,
                                                     std::size_t t, std::size_t n,
                                                     std::uint64_t start,
                                                     KeyStream& stream) noexcept {
  const __m128i even = Rotation<Forward>::multipliers(false);
  const __m128i odd = Rotation<Forward>::multipliers(true);
  const __m256i even_multipliers = _mm256_broadcastsi128_si256(even);
  const __m256i odd_multipliers = _mm256_broadcastsi128_si256(odd);
  const __m256i low = _mm256_set1_epi16(0x00FF);
  // 19 * j for j = 0..31: the steps of 16 positions, then those plus 19 * 16.
  const __m128i steps = offset_steps();
  const __m128i later = _mm_add_epi8(steps, _mm_set1_epi8(static_cast<char>((19 * 16) & 0xFF)));
  const __m256i all_steps = _mm256_inserti128_si256(_mm256_castsi128_si256(steps), later, 1);
  for (; t + kWideWidth <= n; t += kWideWidth) {
    std::uint8_t copy[kWideWidth];
    const __m256i key_bytes =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(stream.window(copy)));
    const __m256i offset = _mm256_add_epi8(
        _mm256_set1_epi8(static_cast<char>(transform_offset(start + t))), all_steps);
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + t));
    const __m256i x = Forward ? _mm256_xor_si256(b, key_bytes) : _mm256_sub_epi8(b, offset);
    __m256i e = _mm256_mullo_epi16(_mm256_and_si256(x, low), even_multipliers);
    __m256i o = _mm256_mullo_epi16(_mm256_srli_epi16(x, 8), odd_multipliers);
    e = _mm256_and_si256(_mm256_or_si256(e, _mm256_srli_epi16(e, 8)), low);
    o = _mm256_and_si256(_mm256_or_si256(o, _mm256_srli_epi16(o, 8)), low);
    const __m256i rotated = _mm256_or_si256(e, _mm256_slli_epi16(o, 8));
    const __m256i y = Forward ? _mm256_add_epi8(rotated, offset)
                              : _mm256_xor_si256(rotated, key_bytes);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + t), y);
  }
  return t;
}
#endif

template <bool Forward>
void run(TransformKernel kernel, ByteSpan in, ByteSpan key, std::uint64_t start,
         std::uint8_t* out) noexcept {
  const std::size_t n = in.size();
  if (n == 0) return;  // the key may be empty then
  KeyStream stream(key, start);
  const std::uint8_t* const src = in.data();

  std::size_t t = 0;
  auto one = [&](std::size_t at) {
    const std::uint64_t i = start + at;
    out[at] = transform_byte<Forward>(src[at], stream.bytes[stream.index],
                                      static_cast<unsigned>(i & 7), transform_offset(i));
    if (++stream.index == stream.period) stream.index = 0;
  };
  // Single bytes until the position is a multiple of 8, so that the wide
  // steps below see rotations 0..7 in fixed lanes.
  for (; t < n && ((start + t) & 7) != 0; ++t) one(t);

#if defined(__x86_64__)
  if (kernel == TransformKernel::kAvx2 && can_run(kernel)) {
    t = run_avx2<Forward>(src, out, t, n, start, stream);
  }
#else
  (void)kernel;
#endif
#if defined(__SSE2__)
  const Rotation<Forward> rotate;
  const __m128i steps = offset_steps();
  for (; t + kWidth <= n; t += kWidth) {
    std::uint8_t copy[kWidth];
    const __m128i key_bytes =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(stream.window(copy)));
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

const char* kernel_name(TransformKernel kernel) noexcept {
  switch (kernel) {
    case TransformKernel::kBaseline: return "baseline";
    case TransformKernel::kAvx2: return "avx2";
  }
  return "unknown";
}

bool can_run(TransformKernel kernel) noexcept {
  return kernel == TransformKernel::kBaseline || cpu_features().avx2;
}

// The one place where the kernel is chosen, once per process.
TransformKernel chosen_transform_kernel() noexcept {
  static const TransformKernel kernel = fastest_runnable(kTransformKernels);
  return kernel;
}

bool transform_with(TransformKernel kernel, bool forward, ByteSpan in, ByteSpan key,
                    std::uint64_t start, std::uint8_t* out) noexcept {
  if (!can_transform(key.size(), in.size())) return false;
  if (forward) {
    run<true>(kernel, in, key, start, out);
  } else {
    run<false>(kernel, in, key, start, out);
  }
  return true;
}

bool transform_forward(ByteSpan in, ByteSpan key, std::uint64_t start,
                       std::uint8_t* out) noexcept {
  return transform_with(chosen_transform_kernel(), true, in, key, start, out);
}

bool transform_inverse(ByteSpan in, ByteSpan key, std::uint64_t start,
                       std::uint8_t* out) noexcept {
  return transform_with(chosen_transform_kernel(), false, in, key, start, out);
}

}  // namespace velkorenc::core

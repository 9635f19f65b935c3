// CRC-32 by carry-less multiplication: four 128-bit lanes of the message
// are folded forward 64 bytes at a time, then into one lane, which a
// Barrett reduction turns into the 32-bit remainder.  The method and the
// folding constants (x^k mod P for the reflected polynomial 0xEDB88320) are
// those of Intel's "Fast CRC Computation for Generic Polynomials Using
// PCLMULQDQ Instruction".  Only the function marked with the target
// attribute uses PCLMULQDQ and SSE4.1.
#include "velkorenc/core/zlib/crc32_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velkorenc::core::detail {

#if defined(__x86_64__)

namespace {

__attribute__((target("pclmul,sse4.1"), always_inline)) inline __m128i fold(
    __m128i lane, __m128i constants, __m128i next) noexcept {
  const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
  const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("sse2"), always_inline)) inline __m128i load(const std::uint8_t* p) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

}  // namespace

__attribute__((target("pclmul,sse4.1"))) std::uint32_t crc32_register_clmul(
    std::uint32_t reg, const std::uint8_t* data, std::size_t size) noexcept {
  // x^(4*128+32) and x^(4*128-32) mod P, for folding by 64 bytes; x^(128+32)
  // and x^(128-32), for folding by 16; x^64 mod P; P and floor(x^64 / P).
  const __m128i by64 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
  const __m128i by16 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  const __m128i x64 = _mm_set_epi64x(0, 0x163cd6124);
  const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);
  const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);

  __m128i a = _mm_xor_si128(load(data), _mm_cvtsi32_si128(static_cast<int>(reg)));
  std::size_t at = 16;
  if (size >= 64) {
    __m128i b = load(data + 16);
    __m128i c = load(data + 32);
    __m128i d = load(data + 48);
    for (at = 64; size - at >= 64; at += 64) {
      a = fold(a, by64, load(data + at));
      b = fold(b, by64, load(data + at + 16));
      c = fold(c, by64, load(data + at + 32));
      d = fold(d, by64, load(data + at + 48));
    }
    a = fold(a, by16, b);
    a = fold(a, by16, c);
    a = fold(a, by16, d);
  }
  for (; size - at >= 16; at += 16) a = fold(a, by16, load(data + at));

  // 128 bits to 64, appending the 32 zero bits of the remainder.
  a = _mm_xor_si128(_mm_srli_si128(a, 8), _mm_clmulepi64_si128(by16, a, 0x01));
  a = _mm_xor_si128(_mm_srli_si128(a, 4),
                    _mm_clmulepi64_si128(_mm_and_si128(a, low32), x64, 0x00));
  // Barrett reduction, 64 bits to 32.
  __m128i t = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(a, low32), barrett, 0x10), low32);
  a = _mm_xor_si128(a, _mm_clmulepi64_si128(t, barrett, 0x00));
  return static_cast<std::uint32_t>(_mm_extract_epi32(a, 1));
}

#else  // no vector kernel off x86-64

std::uint32_t crc32_register_clmul(std::uint32_t reg, const std::uint8_t*, std::size_t) noexcept {
  return reg;
}

#endif

}  // namespace velkorenc::core::detail

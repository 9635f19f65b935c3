// Key-derived byte work that knows nothing of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velkorenc::core {

using ByteSpan = std::span<const std::uint8_t>;

// Folds the key's UTF-8 bytes into a seed: seed = (31 * seed + c) mod 2^31.
constexpr std::uint32_t fold_seed(ByteSpan key_utf8) noexcept {
  std::uint32_t seed = 0;
  for (std::uint8_t c : key_utf8) seed = (seed * 31u + c) & 0x7FFFFFFFu;
  return seed;
}

// The additive mask at frame position i.
constexpr std::uint8_t transform_offset(std::uint64_t i) noexcept {
  return static_cast<std::uint8_t>(19u * (i & 0xFF) + 7u);
}

// False when the key has no bytes but there is data: no position has a key
// byte then.
constexpr bool can_transform(std::size_t key_size, std::size_t length) noexcept {
  return key_size != 0 || length == 0;
}

// The keyed, position-dependent transform of a run of frame bytes whose first
// byte sits at frame position `start`.  Forward: XOR the key byte, rotate
// left by (i mod 8), add the offset; inverse undoes the three in reverse.
// `out` holds in.size() bytes and may be in.data() itself.  Refuses, writing
// nothing, when can_transform(key.size(), in.size()) is false.
bool transform_forward(ByteSpan in, ByteSpan key, std::uint64_t start,
                       std::uint8_t* out) noexcept;
bool transform_inverse(ByteSpan in, ByteSpan key, std::uint64_t start,
                       std::uint8_t* out) noexcept;

// The kernels of the transform, all giving the same bytes: kBaseline, 16
// positions at a time with SSE2 (byte by byte where there is no SSE2), the
// reference; kAvx2, 32 at a time where the CPU has AVX2.  The two functions
// above use chosen_transform_kernel(); transform_with runs `kernel`, or
// kBaseline when this CPU cannot run it.
enum class TransformKernel : std::uint8_t { kBaseline, kAvx2 };
inline constexpr TransformKernel kTransformKernels[] = {TransformKernel::kBaseline,
                                                        TransformKernel::kAvx2};
const char* kernel_name(TransformKernel kernel) noexcept;
bool can_run(TransformKernel kernel) noexcept;
TransformKernel chosen_transform_kernel() noexcept;
bool transform_with(TransformKernel kernel, bool forward, ByteSpan in, ByteSpan key,
                    std::uint64_t start, std::uint8_t* out) noexcept;

}  // namespace velkorenc::core

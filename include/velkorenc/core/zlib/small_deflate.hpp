// The level-6 zlib stream of a short input, made without the library: the
// same matches, trees and bits that zlib's deflate gives for an input whose
// match searches zlib never cuts short (searched_in_full).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "velkorenc/core/keying/keying.hpp"

namespace velkorenc::core {

// The longest input taken, and the room its stream may need.
inline constexpr std::size_t kSmallDeflateLimit = 530;
inline constexpr std::size_t kSmallDeflateRoom = kSmallDeflateLimit + 64;

// Writes the stream of `input` (at most kSmallDeflateLimit bytes, and
// searched_in_full) to `out`; returns its length.
std::size_t deflate_small(ByteSpan input, std::span<std::uint8_t, kSmallDeflateRoom> out) noexcept;

}  // namespace velkorenc::core

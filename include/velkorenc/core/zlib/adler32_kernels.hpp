// The vector kernel of Adler-32.  Its continuation and the choice of kernel
// live in zlib.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velkorenc::core::detail {

// Adler-32 continued from `adler` over the whole 32-byte blocks of the
// `size` bytes at `data` (the rest is left to the caller).  Needs AVX2.
std::uint32_t adler32_avx2(std::uint32_t adler, const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace velkorenc::core::detail

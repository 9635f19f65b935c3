// The vector kernel of CRC-32.  Its continuation and the choice of kernel
// live in zlib.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velkorenc::core::detail {

// The CRC-32 register (the CRC without its inversion before and after)
// after `size` bytes at `data`, from `reg`; `size` is a non-zero multiple
// of 16.  Needs PCLMULQDQ and SSE4.1.
std::uint32_t crc32_register_clmul(std::uint32_t reg, const std::uint8_t* data,
                                   std::size_t size) noexcept;

}  // namespace velkorenc::core::detail

#include "velkorenc/core/stream/frame.hpp"

#include "velkorenc/core/zlib/zlib.hpp"

namespace velkorenc::core {

bool InversePass::take(std::uint8_t* bytes, std::size_t size) noexcept {
  // A long run goes in cache-sized slices, each transformed and then summed.
  constexpr std::size_t kSlice = std::size_t{64} << 10;
  for (std::size_t done = 0; done < size;) {
    const std::size_t length = size - done < kSlice ? size - done : kSlice;
    std::uint8_t* slice = bytes + done;
    transform_inverse(ByteSpan(slice, length), key_, position_, slice);
    if (position_ < crc_length_) {
      const std::uint64_t left = crc_length_ - position_;
      crc_ = crc32(crc_, ByteSpan(slice, length < left ? length : static_cast<std::size_t>(left)));
    }
    position_ += length;
    done += length;
  }
  return checkpoint_.resume();
}

}  // namespace velkorenc::core

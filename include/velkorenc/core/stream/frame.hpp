// Work on a frame as its bytes come in order, a run at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velkorenc/core/keying/keying.hpp"
#include "velkorenc/core/tokens/tokens.hpp"

namespace velkorenc::core {

// Takes the transformed bytes of a frame in order and undoes the transform
// in place, taking the CRC-32 of the frame's first `crc_length` bytes on the
// way: one pass over each run while it is still in cache.  Asks `checkpoint`
// after each run.  The key must have bytes once any byte is taken.
class InversePass final : public RunSink {
 public:
  InversePass(ByteSpan key, std::uint64_t crc_length, Checkpoint& checkpoint) noexcept
      : key_(key), crc_length_(crc_length), checkpoint_(checkpoint) {}

  bool take(std::uint8_t* bytes, std::size_t size) noexcept override;

  // Frame bytes taken so far.
  std::uint64_t position() const noexcept { return position_; }
  // CRC-32 of the first min(position(), crc_length) bytes.
  std::uint32_t crc() const noexcept { return crc_; }

 private:
  ByteSpan key_;
  std::uint64_t crc_length_;
  Checkpoint& checkpoint_;
  std::uint64_t position_ = 0;
  std::uint32_t crc_ = 0;
};

}  // namespace velkorenc::core

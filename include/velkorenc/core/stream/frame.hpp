// Work on a frame as its bytes come in order, a run at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velkorenc/core/keying/keying.hpp"
#include "velkorenc/core/platform/memory.hpp"
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

  // What take does to the `size` bytes at frame position `position`, without
  // moving the pass: undoes their transform in place and returns the CRC-32
  // (from 0) of those of them below crc_length.  Runs on any thread.
  std::uint32_t undo_at(std::uint8_t* bytes, std::size_t size,
                        std::uint64_t position) const noexcept;
  // Moves the pass past `size` bytes that undo_at did at position(), which
  // gave `crc`.
  void append(std::size_t size, std::uint32_t crc) noexcept;

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

// read_tokens_in_pieces of `body` into `out` in runs of kTextPiece, each
// run's bytes undone by `inverse` (none when it is null), on `threads`
// threads: with more than one, the runs are shared among them, and all ends
// as the one-thread read does, in the bytes written, the result (the first
// bad piece by position) and the pass.  The calling thread asks
// `checkpoint`, not the pass's own, between its runs; when it says stop,
// the result is not ok.  With `mapping`, the mapping of `out`, which the
// calling thread maps in first while the others wait for their parts.
ReadResult read_frame_body(const DecodeTable& table, std::span<const std::uint8_t> body,
                           std::uint32_t delimiter, std::uint8_t* out, InversePass* inverse,
                           Checkpoint& checkpoint, unsigned threads,
                           OrderedMapping* mapping = nullptr) noexcept;
ReadResult read_frame_body(const DecodeTable& table, std::span<const std::uint16_t> body,
                           std::uint32_t delimiter, std::uint8_t* out, InversePass* inverse,
                           Checkpoint& checkpoint, unsigned threads,
                           OrderedMapping* mapping = nullptr) noexcept;
ReadResult read_frame_body(const DecodeTable& table, std::span<const std::uint32_t> body,
                           std::uint32_t delimiter, std::uint8_t* out, InversePass* inverse,
                           Checkpoint& checkpoint, unsigned threads,
                           OrderedMapping* mapping = nullptr) noexcept;

// inverse.take over all of `bytes`, in runs of kFramePiece shared among
// `threads` threads; the calling thread asks `checkpoint` between its runs.
// False when it said to stop.
bool undo_frame_bytes(InversePass& inverse, std::span<std::uint8_t> bytes,
                      Checkpoint& checkpoint, unsigned threads) noexcept;

}  // namespace velkorenc::core

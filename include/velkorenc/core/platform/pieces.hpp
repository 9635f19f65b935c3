// Long runs of byte work done in pieces, so that whoever runs them can look
// up between two pieces (to run signal handlers, say) and stop the work.
#pragma once

#include <cstddef>

namespace velkorenc::core {

// Asked between two pieces of a long run of work whether to go on.
class Checkpoint {
 public:
  virtual bool resume() noexcept = 0;

 protected:
  ~Checkpoint() = default;
};

// Goes on always.
class NoCheckpoint final : public Checkpoint {
 public:
  bool resume() noexcept override { return true; }
};

// Sizes of one piece, each a few milliseconds of work or less: frame bytes
// for the transform, CRC-32 and token writing, characters for token reading,
// input bytes for deflate and inflate (inflate's output may be up to about a
// thousand times its input), bytes for mapping memory in.
inline constexpr std::size_t kFramePiece = std::size_t{1} << 20;
inline constexpr std::size_t kTextPiece = 9 * (std::size_t{64} << 10) - 1;
inline constexpr std::size_t kDeflatePiece = std::size_t{256} << 10;
inline constexpr std::size_t kInflatePiece = std::size_t{64} << 10;
inline constexpr std::size_t kMapPiece = std::size_t{4} << 20;

// Calls work(offset, length) for consecutive pieces of at most `piece` of
// [0, size), asking `checkpoint` between two of them; false when it said
// to stop.
template <class Work>
bool in_pieces(std::size_t size, std::size_t piece, Checkpoint& checkpoint, Work&& work) {
  for (std::size_t offset = 0; offset < size; offset += piece) {
    if (offset != 0 && !checkpoint.resume()) return false;
    work(offset, size - offset < piece ? size - offset : piece);
  }
  return true;
}

}  // namespace velkorenc::core

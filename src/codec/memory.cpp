#include "velkorenc/core/memory.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velkorenc::core {

void prepare_for_writing(void* buffer, std::size_t size) noexcept {
  NoCheckpoint always;
  prepare_for_writing(buffer, size, always);
}

bool prepare_for_writing(void* buffer, std::size_t size, Checkpoint& checkpoint) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (size < kLargeBuffer) return true;
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  static_assert(kMapPiece % kHuge == 0, "pieces are whole huge pages");
  const auto begin = reinterpret_cast<std::uintptr_t>(buffer);
  // Only whole huge pages inside the buffer: the memory around it may belong
  // to someone else.
  const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t last = (begin + size) & ~(kHuge - 1);
  if (last <= first) return true;
  auto* start = reinterpret_cast<std::uint8_t*>(first);
  const std::size_t length = last - first;
  ::madvise(start, length, MADV_HUGEPAGE);
#if defined(MADV_POPULATE_WRITE)
  return in_pieces(length, kMapPiece, checkpoint, [start](std::size_t at, std::size_t piece) {
    ::madvise(start + at, piece, MADV_POPULATE_WRITE);
  });
#else
  (void)checkpoint;
  return true;
#endif
#else
  (void)buffer;
  (void)size;
  (void)checkpoint;
  return true;
#endif
}

}  // namespace velkorenc::core

#include "velkorenc/core/memory.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velkorenc::core {

void prepare_for_writing(void* buffer, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (size < kLargeBuffer) return;
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(buffer);
  // Only whole huge pages inside the buffer: the memory around it may belong
  // to someone else.
  const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t last = (begin + size) & ~(kHuge - 1);
  if (last <= first) return;
  void* start = reinterpret_cast<void*>(first);
  const std::size_t length = last - first;
  ::madvise(start, length, MADV_HUGEPAGE);
#if defined(MADV_POPULATE_WRITE)
  ::madvise(start, length, MADV_POPULATE_WRITE);
#endif
#else
  (void)buffer;
  (void)size;
#endif
}

}  // namespace velkorenc::core

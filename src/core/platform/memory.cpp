#include "velkorenc/core/platform/memory.hpp"

#include <algorithm>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velkorenc::core {

void prepare_for_writing(void* buffer, std::size_t size) noexcept {
  NoCheckpoint always;
  prepare_for_writing(buffer, size, always);
}

namespace {

constexpr std::uintptr_t kPage = 4096;
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

// The whole huge pages inside [begin, end), or an empty range.
struct HugeRange {
  std::uintptr_t first;
  std::uintptr_t last;
};

HugeRange huge_range(std::uintptr_t begin, std::uintptr_t end) noexcept {
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = end & ~(kHugePage - 1);
  return first < last ? HugeRange{first, last} : HugeRange{begin, begin};
}

#if defined(__linux__) && defined(MADV_HUGEPAGE)
// Only whole pages inside the buffer: the memory around it may belong to
// someone else.  Huge pages where they fit, small ones at the edges.
// Returns the huge pages' range.
HugeRange advise(std::uintptr_t begin, std::uintptr_t end) noexcept {
  const HugeRange huge = huge_range(begin, end);
  if (huge.first < huge.last) {
    ::madvise(reinterpret_cast<void*>(huge.first), huge.last - huge.first, MADV_HUGEPAGE);
  }
  return huge;
}

// Maps in the whole small pages of [from, to) in one go.
void populate(std::uintptr_t from, std::uintptr_t to) noexcept {
#if defined(MADV_POPULATE_WRITE)
  from = (from + kPage - 1) & ~(kPage - 1);
  to &= ~(kPage - 1);
  if (from < to) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
  (void)from;
  (void)to;
#endif
}
#endif

}  // namespace

void prepare_for_writers(void* buffer, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (size < kLargeBuffer) return;
  static_assert(kLargeBuffer >= 2 * kHugePage, "a large buffer holds a whole huge page");
  const auto begin = reinterpret_cast<std::uintptr_t>(buffer);
  const auto end = begin + size;
  const HugeRange huge = advise(begin, end);
  populate(begin, huge.first);
  populate(huge.last, end);
#else
  (void)buffer;
  (void)size;
#endif
}

void prepare_for_appending(void* buffer, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (size < kLargeBuffer) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(buffer);
  populate(begin, advise(begin, begin + size).first);
#else
  (void)buffer;
  (void)size;
#endif
}

bool prepare_for_writing(void* buffer, std::size_t size, Checkpoint& checkpoint) noexcept {
  OrderedMapping mapping(buffer, size);
  return mapping.map(checkpoint);
}

OrderedMapping::OrderedMapping(void* buffer, std::size_t size) noexcept
    : buffer_(static_cast<std::uint8_t*>(buffer)), size_(size), mapped_(size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (size < kLargeBuffer) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(buffer);
  advise(begin, begin + size);
#if defined(MADV_POPULATE_WRITE)
  mapped_.store(0, std::memory_order_relaxed);
#endif
#endif
}

bool OrderedMapping::map(Checkpoint& checkpoint) noexcept {
  bool resumed = true;
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  const auto begin = reinterpret_cast<std::uintptr_t>(buffer_);
  const std::uintptr_t end = begin + size_;
  // Whole small pages only: the memory around the buffer may be another's.
  std::uintptr_t at = (begin + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = end & ~(kPage - 1);
  while (at < last && mapped_.load(std::memory_order_relaxed) < size_) {
    // Up to the next huge page's start, so that each piece is one huge page.
    const std::uintptr_t to = std::min(last, (at + kHugePage) & ~(kHugePage - 1));
    ::madvise(reinterpret_cast<void*>(at), to - at, MADV_POPULATE_WRITE);
    // A page only partly in the buffer is faulted by its writer.
    mapped_.store(to == last ? size_ : to - begin, std::memory_order_release);
    at = to;
    if (at < last && !checkpoint.resume()) {
      resumed = false;
      break;
    }
  }
#else
  (void)checkpoint;
#endif
  mapped_.store(size_, std::memory_order_release);
  return resumed;
}

void OrderedMapping::wait_for(std::size_t end) const noexcept {
  while (mapped_.load(std::memory_order_acquire) < end) std::this_thread::yield();
}

bool BackgroundMapping::start(void* buffer, std::size_t size) noexcept {
  finish(true);
  buffer_ = static_cast<volatile std::uint8_t*>(buffer);
  size_ = size;
  next_piece_.store(0, std::memory_order_relaxed);
  stop_.store(false, std::memory_order_relaxed);
  try {
    thread_ = std::thread([this] { map_pieces(); });
  } catch (...) {
    return false;  // no thread to be had: the writers map the buffer in
  }
  return true;
}

void BackgroundMapping::map_pieces() noexcept {
  constexpr std::size_t kPage = 4096;
  while (!stop_.load(std::memory_order_relaxed)) {
    const std::size_t from = next_piece_.fetch_add(1, std::memory_order_relaxed) * kMapPiece;
    if (from >= size_) return;
    const std::size_t to = std::min(from + kMapPiece, size_);
    for (std::size_t at = from; at < to; at += kPage) buffer_[at] = 0;
  }
}

void BackgroundMapping::finish(bool stop) noexcept {
  if (!thread_.joinable()) return;
  if (stop) {
    stop_.store(true, std::memory_order_relaxed);
  } else {
    map_pieces();
  }
  thread_.join();
}

}  // namespace velkorenc::core

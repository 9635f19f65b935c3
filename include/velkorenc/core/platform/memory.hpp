// Preparing large, freshly allocated buffers before they are filled.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>

#include "velkorenc/core/platform/pieces.hpp"

namespace velkorenc::core {

// Buffers at least this large are worth preparing.
inline constexpr std::size_t kLargeBuffer = std::size_t{4} << 20;

// Asks the kernel to back the interior of a fresh buffer with huge pages and
// to map all its whole pages in one go, instead of taking one page fault per
// page while the buffer is written.  Only a hint: the content is not changed, and any
// failure is ignored.  Does nothing for buffers below kLargeBuffer.  The
// second form maps the buffer in pieces of kMapPiece, asking `checkpoint`
// between them; false when it said to stop.
void prepare_for_writing(void* buffer, std::size_t size) noexcept;
bool prepare_for_writing(void* buffer, std::size_t size, Checkpoint& checkpoint) noexcept;

// prepare_for_writing on another thread, while this one works: mapping a
// large buffer in can take the kernel a long time when it has to find huge
// pages.  When no thread can be started, start() says so and nothing runs.
// The buffer must outlive the mapping, which finish() or the destructor
// waits for; finish(true) stops it between two pieces first.
class BackgroundMapping {
 public:
  BackgroundMapping() noexcept = default;
  ~BackgroundMapping() { finish(true); }
  BackgroundMapping(const BackgroundMapping&) = delete;
  BackgroundMapping& operator=(const BackgroundMapping&) = delete;

  bool start(void* buffer, std::size_t size) noexcept;
  void finish(bool stop = false) noexcept;

 private:
  struct Stop final : Checkpoint {
    bool resume() noexcept override { return !requested.load(std::memory_order_relaxed); }
    std::atomic<bool> requested{false};
  };
  Stop stop_;
  std::thread thread_;
};

}  // namespace velkorenc::core

// Preparing large, freshly allocated buffers before they are filled.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "velkorenc/core/platform/pieces.hpp"

namespace velkorenc::core {

// Buffers at least this large are worth preparing.
inline constexpr std::size_t kLargeBuffer = std::size_t{4} << 20;

// Asks the kernel to back the interior of a fresh buffer with huge pages and
// to map all its whole pages in one go, instead of taking one page fault per
// page while the buffer is written.  Only a hint: the content is not changed, and any
// failure is ignored.  Does nothing for buffers below kLargeBuffer.  The
// second form maps the buffer in as an OrderedMapping does, asking
// `checkpoint` between huge pages; false when it said to stop.
void prepare_for_writing(void* buffer, std::size_t size) noexcept;
bool prepare_for_writing(void* buffer, std::size_t size, Checkpoint& checkpoint) noexcept;

// A fresh buffer mapped in, in order and a huge page at a time, by one
// thread while others write to what is already mapped: a writer that faults
// pages in while the mapping maps the same range waits for it, and writers
// that fault at once hold each other up.  Mapping in leaves the content as
// it is.  Below kLargeBuffer, or where the kernel cannot map in ahead, all
// of it counts as mapped from the start.
class OrderedMapping {
 public:
  // Gives the hint for huge pages; maps nothing yet.
  OrderedMapping(void* buffer, std::size_t size) noexcept;
  OrderedMapping(const OrderedMapping&) = delete;
  OrderedMapping& operator=(const OrderedMapping&) = delete;

  // Maps the buffer in, asking `checkpoint` between huge pages; false when
  // it said to stop (what is left then counts as mapped).
  bool map(Checkpoint& checkpoint) noexcept;
  // Waits until the buffer's first `end` bytes are mapped.
  void wait_for(std::size_t end) const noexcept;

 private:
  std::uint8_t* buffer_;
  std::size_t size_;
  std::atomic<std::size_t> mapped_;  // bytes from the buffer's start
};

// For a buffer mapped in page by page while other threads of the call work
// (which mapping it in one go would hold up, as it holds the process's
// memory map, for long stretches when the kernel is slow to find pages):
// the hint for huge pages, and its two edges, the small pages before its
// first and after its last whole huge page, mapped in now, each in one go.
// Faulted a page at a time, the edges (up to 2 MiB each) would cost more
// than all the huge pages between them.  Does nothing for buffers below
// kLargeBuffer.
void prepare_for_writers(void* buffer, std::size_t size) noexcept;

// For a buffer written from its start to a length not known beforehand (a
// zlib stream in room for the longest one): the hint for huge pages, and
// the small pages before the first of them mapped in at once.  Each 2 MiB
// written after them costs one fault instead of 512, and at most 2 MiB
// beyond what is written is mapped in.  Does nothing for buffers below
// kLargeBuffer.
void prepare_for_appending(void* buffer, std::size_t size) noexcept;

// Maps a fresh buffer in on another thread while this one works, by writing
// a zero to each of its pages (after the caller's prepare_for_writers, if it
// called it): page by page, as a writer would, so that the process's memory
// map stays free for the other threads.  Only for memory no one else uses meanwhile, and whose
// content does not matter yet.  When no thread can be started, start() says
// so and nothing runs.  The buffer must outlive the mapping, which finish()
// or the destructor waits for: finish() maps what is left on the calling
// thread too (where the host gives memory slowly, two threads take half the
// time), finish(true) stops it within a few MiB.
class BackgroundMapping {
 public:
  BackgroundMapping() noexcept = default;
  ~BackgroundMapping() { finish(true); }
  BackgroundMapping(const BackgroundMapping&) = delete;
  BackgroundMapping& operator=(const BackgroundMapping&) = delete;

  bool start(void* buffer, std::size_t size) noexcept;
  void finish(bool stop = false) noexcept;

 private:
  // Maps the pieces not yet taken, one at a time, until none is left or it
  // is stopped.
  void map_pieces() noexcept;

  volatile std::uint8_t* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::atomic<std::size_t> next_piece_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace velkorenc::core

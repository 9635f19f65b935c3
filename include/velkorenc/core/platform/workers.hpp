// Extra threads for one large call: how many it may use, and running its
// work on them.  No thread outlives the call that started it.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <thread>
#include <type_traits>
#include <utility>

#include "velkorenc/core/platform/pieces.hpp"

namespace velkorenc::core {

// The CPUs the calling thread may run on (sched_getaffinity), at least 1.
unsigned usable_cpus() noexcept;

// Threads for one call: up to `wanted`, the caller included, and no more
// than the CPUs the calling thread may run on less the threads other calls
// of the module hold right now, their callers included (so that parallel
// calls do not fight for cores); always at least the caller.  A call that
// wants one thread holds nothing.  Released on destruction.
class WorkerLease {
 public:
  explicit WorkerLease(unsigned wanted) noexcept;
  ~WorkerLease();
  WorkerLease(const WorkerLease&) = delete;
  WorkerLease& operator=(const WorkerLease&) = delete;

  // Threads to use, the caller included (>= 1).
  unsigned count() const noexcept { return count_; }

 private:
  unsigned count_ = 1;
  unsigned held_ = 0;
};

// Inputs below this many bytes are worked on by the calling thread alone:
// starting and joining a thread costs about as much as a thread does on
// that many bytes.
inline constexpr std::size_t kParallelBytes = std::size_t{4} << 20;

// The threads a call on `bytes` bytes wants: 1 below kParallelBytes, else
// every CPU it may run on.
unsigned threads_wanted(std::size_t bytes) noexcept;

// Starts `body` on `thread`, a thread of the call's own that, like the
// threads run_on_threads starts, blocks asynchronous signals.  False when
// no thread can be had.
bool start_thread(std::thread& thread, std::function<void()> body) noexcept;

namespace detail {
using IndexedCall = void (*)(void* context, unsigned index);
// call(context, i) for i in [0, count), as run_on_threads does.
void run_indexed(unsigned count, IndexedCall call, void* context) noexcept;
}  // namespace detail

// Runs task(i) for i in [0, count): i = 0 on the calling thread, the others
// on threads started for this call, which block asynchronous signals (they
// stay the caller's to take) and are joined before it returns.  A thread
// that cannot be started leaves its task to the calling thread, after its
// own.  `task` must not throw.
template <class Task>
void run_on_threads(unsigned count, Task&& task) {
  using Stored = std::remove_reference_t<Task>;
  detail::run_indexed(
      count, [](void* context, unsigned index) { (*static_cast<Stored*>(context))(index); },
      const_cast<void*>(static_cast<const void*>(&task)));
}

// How share_pieces ended: every piece before `first_failed` was done and
// succeeded; `first_failed` is the number of pieces when none failed.
// `stopped` when the checkpoint said to stop, which leaves the rest unknown.
struct SharedPieces {
  std::size_t first_failed;
  bool stopped;
};

// Runs work(p) for each piece p in [0, pieces) on `count` threads, each
// taking the lowest piece not yet taken, so that a slow thread holds up
// nothing.  work(p) returns false for a piece that failed; pieces after the
// first that failed may then be left undone, never those before it.  The
// calling thread asks `checkpoint` after each of its pieces (pieces should
// be a few milliseconds of work); when it says stop, every thread stops
// after its current piece.
// The second form runs first() on the calling thread before it takes
// pieces (the others take them meanwhile); when it returns false, all stop
// as when the checkpoint says so.
template <class First, class Work>
SharedPieces share_pieces(unsigned count, std::size_t pieces, Checkpoint& checkpoint,
                          First&& first, Work&& work) {
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> first_failed{pieces};
  std::atomic<bool> stop{false};
  run_on_threads(count, [&](unsigned thread) {
    if (thread == 0 && !first()) stop.store(true, std::memory_order_relaxed);
    while (!stop.load(std::memory_order_relaxed)) {
      const std::size_t p = next.fetch_add(1, std::memory_order_relaxed);
      if (p >= first_failed.load(std::memory_order_relaxed)) return;
      if (!work(p)) {
        std::size_t failed = first_failed.load(std::memory_order_relaxed);
        while (p < failed && !first_failed.compare_exchange_weak(failed, p)) {
        }
      }
      if (thread == 0 && !checkpoint.resume()) stop.store(true, std::memory_order_relaxed);
    }
  });
  // Joining the threads made their pieces visible here.
  return {first_failed.load(std::memory_order_relaxed), stop.load(std::memory_order_relaxed)};
}

template <class Work>
SharedPieces share_pieces(unsigned count, std::size_t pieces, Checkpoint& checkpoint,
                          Work&& work) {
  return share_pieces(count, pieces, checkpoint, [] { return true; }, std::forward<Work>(work));
}

}  // namespace velkorenc::core

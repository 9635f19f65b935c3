#include "velkorenc/core/platform/workers.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#endif

namespace velkorenc::core {
namespace {

// Threads held by the leases alive in this process, their callers included.
std::atomic<unsigned> g_held{0};

#if defined(__linux__)
// Blocks asynchronous signals on the calling thread for its lifetime, so
// that the threads it starts inherit the mask: the process's signals then
// go to the threads that run the interpreter.
class SignalsBlocked {
 public:
  SignalsBlocked() noexcept {
    sigset_t all;
    sigfillset(&all);
    // Faults are the thread's own; blocking them would hide a crash.
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, fault);
    blocked_ = pthread_sigmask(SIG_BLOCK, &all, &saved_) == 0;
  }
  ~SignalsBlocked() {
    if (blocked_) pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t saved_;
  bool blocked_;
};
#else
struct SignalsBlocked {};
#endif

}  // namespace

unsigned usable_cpus() noexcept {
#if defined(__linux__)
  // Affinity masks larger than the fixed set are asked for with room to match.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 16); cpus *= 4) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (!set) break;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    const int got = sched_getaffinity(0, size, set);
    const int count = got == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (got == 0) return count > 0 ? static_cast<unsigned>(count) : 1;
    if (errno != EINVAL) break;
  }
#endif
  return std::max(1u, std::thread::hardware_concurrency());
}

WorkerLease::WorkerLease(unsigned wanted) noexcept {
  if (wanted <= 1) return;
  const unsigned cpus = usable_cpus();
  unsigned held = g_held.load(std::memory_order_relaxed);
  unsigned take;
  do {
    const unsigned idle = cpus > held ? cpus - held : 0;
    take = std::max(1u, std::min(wanted, idle));
  } while (!g_held.compare_exchange_weak(held, held + take, std::memory_order_relaxed));
  count_ = take;
  held_ = take;
}

WorkerLease::~WorkerLease() {
  if (held_) g_held.fetch_sub(held_, std::memory_order_relaxed);
}

unsigned threads_wanted(std::size_t bytes) noexcept {
  return bytes < kParallelBytes ? 1 : usable_cpus();
}

bool start_thread(std::thread& thread, std::function<void()> body) noexcept {
  const SignalsBlocked blocked;
  try {
    thread = std::thread(std::move(body));
  } catch (...) {
    return false;
  }
  return true;
}

namespace detail {

void run_indexed(unsigned count, IndexedCall call, void* context) noexcept {
  std::unique_ptr<std::thread[]> threads;
  if (count > 1) threads.reset(new (std::nothrow) std::thread[count - 1]);
  if (threads) {
    const SignalsBlocked blocked;
    for (unsigned i = 1; i < count; ++i) {
      try {
        threads[i - 1] = std::thread(call, context, i);
      } catch (...) {
        // No thread to be had: the caller does this task after its own.
      }
    }
  }
  call(context, 0);
  for (unsigned i = 1; i < count; ++i) {
    if (threads && threads[i - 1].joinable()) {
      threads[i - 1].join();
    } else {
      call(context, i);
    }
  }
}

}  // namespace detail
}  // namespace velkorenc::core

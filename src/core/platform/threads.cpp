#include "velkorenc/core/platform/threads.hpp"

#if defined(__linux__)
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#endif

namespace velkorenc::core {

#if defined(__linux__)
namespace {

// Asking the system costs two system calls, a good part of a short call on
// a virtual machine; a thread's answer holds until the process forks, when
// the thread that forked becomes the child's main thread.
std::atomic<unsigned> forks_seen{0};

void after_fork_in_child() noexcept { forks_seen.fetch_add(1, std::memory_order_relaxed); }

struct MainThreadAnswer {
  bool known = false;
  bool main = false;
  unsigned forks = 0;
};
thread_local MainThreadAnswer answer;

}  // namespace
#endif

bool on_main_thread() noexcept {
#if defined(__linux__)
  static const bool watching_forks = ::pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
  const unsigned forks = forks_seen.load(std::memory_order_relaxed);
  if (watching_forks && answer.known && answer.forks == forks) return answer.main;
  // The main thread's ID is the process ID, also in a forked child.
  const bool main = static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid();
  answer = {true, main, forks};
  return main;
#else
  return true;
#endif
}

}  // namespace velkorenc::core

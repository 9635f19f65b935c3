#include "velkorenc/core/platform/threads.hpp"

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__)
#include <pthread.h>
#if !defined(__APPLE__)
#include <pthread_np.h>
#endif
#endif

namespace velkorenc::core {

bool on_main_thread() noexcept {
#if defined(__linux__)
  // The main thread's ID is the process ID, also in a forked child.
  return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid();
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__)
  return ::pthread_main_np() == 1;
#else
  return true;
#endif
}

}  // namespace velkorenc::core

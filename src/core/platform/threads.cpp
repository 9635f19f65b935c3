#include "velkorenc/core/platform/threads.hpp"

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace velkorenc::core {

bool on_main_thread() noexcept {
#if defined(__linux__)
  // The main thread's ID is the process ID, also in a forked child.
  return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid();
#else
  return true;
#endif
}

}  // namespace velkorenc::core

#include <gtest/gtest.h>

#include <thread>

#if defined(__linux__)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "velkorenc/core/platform/threads.hpp"

namespace velkorenc::core {
namespace {

TEST(MainThread, TellsTheMainThreadFromAnother) {
  EXPECT_TRUE(on_main_thread());
  bool other = true;
  std::thread([&] { other = on_main_thread(); }).join();
  EXPECT_FALSE(other);
}

#if defined(__linux__)
// The interpreter runs signal handlers on the forking thread in a child,
// also when that thread asked (and was told no) before it forked.
TEST(MainThread, AChildsMainThreadIsTheOneThatForked) {
  for (const bool asked_before : {false, true}) {
    int status = -1;
    bool before = true, after = true;
    std::thread([&] {
      if (asked_before) before = on_main_thread();
      const pid_t child = ::fork();
      if (child == 0) ::_exit(on_main_thread() && on_main_thread() ? 0 : 1);
      if (child > 0) ::waitpid(child, &status, 0);
      after = on_main_thread();
    }).join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    if (asked_before) {
      EXPECT_FALSE(before);
    }
    EXPECT_FALSE(after);
    EXPECT_TRUE(on_main_thread());
  }
}
#endif

}  // namespace
}  // namespace velkorenc::core

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#include <signal.h>
#endif

#include "counting_checkpoint.hpp"
#include "velkorenc/core/platform/workers.hpp"

namespace velkorenc::core {
namespace {

TEST(WorkerLease, GivesNoMoreThanWantedNorTheCpusOthersLeaveFree) {
  const unsigned cpus = usable_cpus();
  for (unsigned wanted : {0u, 1u, 2u, cpus, cpus + 1, 1000u}) {
    WorkerLease first(wanted);
    EXPECT_EQ(first.count(), std::max(1u, std::min(wanted, cpus))) << wanted;
    const unsigned left = wanted <= 1 ? cpus : cpus - first.count();
    WorkerLease second(wanted);  // a call at the same time
    EXPECT_EQ(second.count(), std::max(1u, std::min(wanted, left))) << wanted;
  }
  EXPECT_EQ(WorkerLease(cpus).count(), cpus);  // all released
  EXPECT_EQ(threads_wanted(kParallelBytes - 1), 1u);
  EXPECT_EQ(threads_wanted(kParallelBytes), cpus);
#if defined(__linux__)
  unsigned pinned = 0;
  std::thread([&] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    if (sched_setaffinity(0, sizeof one, &one) == 0)
      pinned = usable_cpus() + WorkerLease(8).count();
  }).join();
  EXPECT_EQ(pinned, 2u) << "one CPU, and a lease of one thread on it";
#endif
}

TEST(RunOnThreads, RunsEachTaskOnceTheFirstOnTheCaller) {
  for (unsigned count = 1; count <= 4; ++count) {
    std::vector<std::thread::id> ran_on(count);
    std::vector<int> runs(count, 0);
    std::vector<bool> blocked(count, false);
    run_on_threads(count, [&](unsigned i) {
      ran_on[i] = std::this_thread::get_id();
      ++runs[i];
#if defined(__linux__)
      sigset_t mask;
      pthread_sigmask(SIG_BLOCK, nullptr, &mask);
      blocked[i] = sigismember(&mask, SIGINT) == 1;
#endif
    });
    EXPECT_EQ(runs, std::vector<int>(count, 1));
    EXPECT_EQ(ran_on[0], std::this_thread::get_id());
    EXPECT_FALSE(blocked[0]) << "the caller keeps its signals";
    for (unsigned i = 1; i < count; ++i) {
      EXPECT_TRUE(blocked[i] || ran_on[i] == ran_on[0]) << count << " " << i;
    }
  }
}

// Pieces after the first that fails may be skipped, never those before.
TEST(SharePieces, DoesEveryPieceBeforeTheFirstFailure) {
  constexpr std::size_t kPieces = 100;
  const std::vector<std::vector<std::size_t>> failing = {{}, {0}, {99}, {50, 5}, {3, 4}};
  for (unsigned threads = 1; threads <= 4; ++threads) {
    for (const auto& fails : failing) {
      std::vector<std::atomic<int>> done(kPieces);
      test_support::CountingCheckpoint checkpoint;
      const SharedPieces shared = share_pieces(threads, kPieces, checkpoint, [&](std::size_t p) {
        ++done[p];
        return std::find(fails.begin(), fails.end(), p) == fails.end();
      });
      const std::size_t first =
          fails.empty() ? kPieces : *std::min_element(fails.begin(), fails.end());
      EXPECT_EQ(shared.first_failed, first) << threads;
      EXPECT_FALSE(shared.stopped);
      for (std::size_t p = 0; p < kPieces; ++p) {
        EXPECT_EQ(done[p].load(), p <= first ? 1 : std::min(done[p].load(), 1)) << p;
      }
    }
    // Stopped at the caller's first checkpoint, every thread ends after its
    // piece: the others' pieces wait for the stop.
    struct StopAtOnce final : Checkpoint {
      bool resume() noexcept override { return !(asked = true); }
      std::atomic<bool> asked{false};
    } stop;
    std::atomic<unsigned> done{0};
    const auto caller = std::this_thread::get_id();
    EXPECT_TRUE(share_pieces(threads, kPieces, stop, [&](std::size_t) {
                  while (std::this_thread::get_id() != caller && !stop.asked)
                    std::this_thread::yield();
                  return ++done, true;
                }).stopped);
    EXPECT_LE(done.load(), threads);
  }
}

}  // namespace
}  // namespace velkorenc::core

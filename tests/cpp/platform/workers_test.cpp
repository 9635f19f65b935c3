#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#endif

#include "velkorenc/core/platform/workers.hpp"

#include "counting_checkpoint.hpp"

namespace velkorenc::core {
namespace {

using test_support::CountingCheckpoint;

TEST(WorkerLease, GivesNoMoreThanWantedNorTheCpusOthersLeaveFree) {
  const unsigned cpus = usable_cpus();
  ASSERT_GE(cpus, 1u);
  for (unsigned wanted : {0u, 1u, 2u, 3u, cpus, cpus + 1, 1000u}) {
    const unsigned alone = std::max(1u, std::min(wanted, cpus));
    WorkerLease first(wanted);
    EXPECT_EQ(first.count(), alone) << wanted;
    {
      // A call at the same time gets what the first leaves, or runs alone.
      WorkerLease second(wanted);
      const unsigned left = cpus > first.count() ? cpus - first.count() : 0;
      EXPECT_EQ(second.count(), wanted <= 1 ? 1u : std::max(1u, std::min(wanted, left)))
          << wanted;
    }
    WorkerLease third(wanted);
    EXPECT_EQ(third.count(), wanted <= 1 || cpus <= first.count()
                                 ? 1u
                                 : std::min(wanted, cpus - first.count()))
        << wanted;
  }
  EXPECT_EQ(WorkerLease(cpus).count(), cpus);  // all released
  EXPECT_EQ(threads_wanted(kParallelBytes - 1), 1u);
  EXPECT_EQ(threads_wanted(kParallelBytes), cpus);
}

#if defined(__linux__)
TEST(WorkerLease, CountsOnlyTheCpusTheCallerMayRunOn) {
  unsigned counted = 0;
  unsigned leased = 0;
  std::thread([&] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(static_cast<int>(sched_getcpu()), &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) return;
    counted = usable_cpus();
    leased = WorkerLease(8).count();
  }).join();
  EXPECT_EQ(counted, 1u);
  EXPECT_EQ(leased, 1u);
}
#endif

TEST(RunOnThreads, RunsEachTaskOnceTheFirstOnTheCaller) {
  for (unsigned count = 1; count <= 4; ++count) {
    std::vector<std::thread::id> ran_on(count);
    std::vector<int> runs(count, 0);
    std::vector<bool> signals_blocked(count, false);
    run_on_threads(count, [&](unsigned i) {
      ran_on[i] = std::this_thread::get_id();
      ++runs[i];
#if defined(__linux__)
      sigset_t mask;
      pthread_sigmask(SIG_BLOCK, nullptr, &mask);
      signals_blocked[i] = sigismember(&mask, SIGINT) == 1;
#endif
    });
    EXPECT_EQ(runs, std::vector<int>(count, 1)) << count;
    EXPECT_EQ(ran_on[0], std::this_thread::get_id());
    EXPECT_FALSE(signals_blocked[0]) << "the caller keeps its signals";
    for (unsigned i = 1; i < count; ++i) {
      if (ran_on[i] == std::this_thread::get_id()) continue;  // no thread to be had
      EXPECT_TRUE(signals_blocked[i]) << count << " " << i;
    }
  }
}

// Pieces after the first that fails may be skipped, never those before;
// the outcome is the same on any number of threads.
TEST(SharePieces, DoesEveryPieceBeforeTheFirstFailure) {
  constexpr std::size_t kPieces = 100;
  const std::vector<std::vector<std::size_t>> failing = {{}, {0}, {5}, {99}, {50, 5}, {3, 4}};
  for (unsigned threads = 1; threads <= 4; ++threads) {
    for (const auto& fails : failing) {
      std::vector<std::atomic<int>> done(kPieces);
      CountingCheckpoint checkpoint;
      const SharedPieces shared = share_pieces(threads, kPieces, checkpoint, [&](std::size_t p) {
        ++done[p];
        return std::find(fails.begin(), fails.end(), p) == fails.end();
      });
      const std::size_t first =
          fails.empty() ? kPieces : *std::min_element(fails.begin(), fails.end());
      EXPECT_FALSE(shared.stopped);
      EXPECT_EQ(shared.first_failed, first) << threads;
      for (std::size_t p = 0; p < kPieces; ++p) {
        EXPECT_LE(done[p].load(), 1) << p;
        if (p <= first) {
          EXPECT_EQ(done[p].load(), 1) << threads << " " << p;
        }
      }
    }
    // Stopped at the caller's first checkpoint, every thread ends after
    // the piece it has: the others' pieces wait for the stop to be asked.
    struct StopAtOnce final : Checkpoint {
      bool resume() noexcept override {
        asked = true;
        return false;
      }
      std::atomic<bool> asked{false};
    } stop;
    std::atomic<std::size_t> done{0};
    const auto caller = std::this_thread::get_id();
    const SharedPieces shared = share_pieces(threads, kPieces, stop, [&](std::size_t) {
      while (std::this_thread::get_id() != caller && !stop.asked) std::this_thread::yield();
      ++done;
      return true;
    });
    EXPECT_TRUE(shared.stopped);
    EXPECT_LE(done.load(), threads);
  }
}

}  // namespace
}  // namespace velkorenc::core

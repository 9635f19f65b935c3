// A checkpoint for the tests of work done in pieces.
#pragma once

#include <cstddef>

#include "velkorenc/core/platform/pieces.hpp"

namespace velkorenc::core::test_support {

// Counts the times it is asked, and says stop at the `stop_at`-th.
class CountingCheckpoint final : public Checkpoint {
 public:
  explicit CountingCheckpoint(std::size_t stop_at = 0) : stop_at_(stop_at) {}
  bool resume() noexcept override { return ++calls != stop_at_; }
  std::size_t calls = 0;

 private:
  std::size_t stop_at_;
};

}  // namespace velkorenc::core::test_support

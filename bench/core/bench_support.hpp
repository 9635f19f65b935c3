// What the core's benchmarks share: 32 MiB of random data, the key "QJX",
// a shuffled pair of token tables, and the start of a per-kernel benchmark.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "velkorenc/core/tokens/tokens.hpp"

namespace velkorenc::core::bench {

inline constexpr std::size_t kSize = std::size_t{32} << 20;

inline const std::vector<std::uint8_t>& random_data() {
  static const std::vector<std::uint8_t> data = [] {
    std::vector<std::uint8_t> bytes(kSize);
    std::mt19937_64 gen(1);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(gen());
    return bytes;
  }();
  return data;
}

inline const std::vector<std::uint8_t> kKey = {'Q', 'J', 'X'};

struct Tables {
  EncodeTable enc;
  DecodeTable dec;
};

inline const Tables& tables() {
  static const Tables t = [] {
    std::vector<int> order(256);
    for (int v = 0; v < 256; ++v) order[v] = v;
    std::shuffle(order.begin(), order.end(), std::mt19937(2));
    Tables built;
    for (int v = 0; v < 256; ++v) {
      const auto token = base_token(static_cast<std::uint8_t>(order[v]));
      char letters[kTokenLength];
      std::copy(token.begin(), token.end(), letters);
      built.enc.set(static_cast<std::uint8_t>(v), letters);
      built.dec.add(letters, static_cast<std::uint8_t>(v));
    }
    return built;
  }();
  return t;
}

// Skips a benchmark whose kernel this CPU cannot run and marks the kernel
// chosen at run time; false when skipped.
template <class Kernel>
bool start_kernel(benchmark::State& state, Kernel kernel, Kernel chosen) {
  if (!can_run(kernel)) {
    state.SkipWithError("this CPU lacks the kernel's instructions");
    return false;
  }
  state.SetLabel(kernel == chosen ? "chosen" : "");
  return true;
}

}  // namespace velkorenc::core::bench

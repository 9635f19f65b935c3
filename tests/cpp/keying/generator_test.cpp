#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#include "velkorenc/core/keying/generator.hpp"

namespace velkorenc::core {
namespace {

// MT19937 as its authors wrote it (init_genrand, init_by_array, and a whole
// state regenerated at once), with CPython's getrandbits and _randbelow.
class ReferenceMt {
 public:
  explicit ReferenceMt(std::uint32_t seed) {
    mt_[0] = 19650218u;
    for (int i = 1; i < kN; ++i) mt_[i] = 1812433253u * (mt_[i - 1] ^ (mt_[i - 1] >> 30)) + i;
    int i = 1;
    for (int k = kN; k; --k) {
      mt_[i] = (mt_[i] ^ ((mt_[i - 1] ^ (mt_[i - 1] >> 30)) * 1664525u)) + seed;
      if (++i >= kN) {
        mt_[0] = mt_[kN - 1];
        i = 1;
      }
    }
    for (int k = kN - 1; k; --k) {
      mt_[i] = (mt_[i] ^ ((mt_[i - 1] ^ (mt_[i - 1] >> 30)) * 1566083941u)) - i;
      if (++i >= kN) {
        mt_[0] = mt_[kN - 1];
        i = 1;
      }
    }
    mt_[0] = 0x80000000u;
  }

  std::uint32_t next() {
    if (index_ >= kN) {
      for (int k = 0; k < kN; ++k) {
        const std::uint32_t y = (mt_[k] & 0x80000000u) | (mt_[(k + 1) % kN] & 0x7FFFFFFFu);
        mt_[k] = mt_[(k + 397) % kN] ^ (y >> 1) ^ ((y & 1) ? 0x9908B0DFu : 0u);
      }
      index_ = 0;
    }
    std::uint32_t y = mt_[index_++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    return y ^ (y >> 18);
  }

  std::uint32_t below(std::uint32_t n) {
    const int k = std::bit_width(n);
    std::uint32_t r = next() >> (32 - k);
    while (r >= n) r = next() >> (32 - k);
    return r;
  }

 private:
  static constexpr int kN = 624;
  std::array<std::uint32_t, kN> mt_;
  int index_ = kN;
};

const std::vector<std::uint32_t>& seeds() {
  static const std::vector<std::uint32_t> all = [] {
    std::vector<std::uint32_t> s = {0u, 1u, 2u, 31u, 2147483647u, 2147483648u, 4294967295u};
    std::uint32_t x = 12345;
    for (int i = 0; i < 40; ++i) s.push_back(x = x * 1103515245u + 12345u);
    return s;
  }();
  return all;
}

// Every kernel this CPU runs regenerates the reference's words.
TEST(Generator, OutputsAreTheReferenceOnesAcrossGenerations) {
  for (GeneratorKernel kernel : kGeneratorKernels) {
    if (!can_run(kernel)) continue;
    for (std::uint32_t seed : seeds()) {
      Mt19937 fast(seed, kernel);
      ReferenceMt reference(seed);
      // Past the second regeneration, and mixing single draws with runs.
      for (int i = 0; i < 1500; ++i) {
        std::uint32_t got;
        if (i % 7 == 3) {
          std::size_t count;
          got = fast.pending(count)[0];
          ASSERT_GT(count, 0u);
          fast.take(1);
        } else {
          got = fast.next();
        }
        ASSERT_EQ(got, reference.next())
            << kernel_name(kernel) << " seed " << seed << " output " << i;
      }
    }
  }
  EXPECT_TRUE(can_run(chosen_generator_kernel()));
}

TEST(Generator, MatchesTheInterpreter) {
  // random.Random(seed).getrandbits(32), three times, in CPython 3.12 and 3.13.
  const std::array<std::array<std::uint32_t, 4>, 3> expected = {{
      {0u, 3626764237u, 1654615998u, 3255389356u},
      {1u, 577090037u, 2444712010u, 3639700191u},
      {2147483647u, 1364760256u, 4023463762u, 3510513048u},
  }};
  for (const auto& row : expected) {
    Mt19937 rng(row[0]);
    for (int i = 1; i < 4; ++i) EXPECT_EQ(rng.bits(32), row[i]) << row[0];
  }
  // The shuffled alphabet's first entries for the same seeds.
  const std::array<std::array<int, 8>, 3> orders = {{{1, 88, 132, 233, 162, 39, 185, 237},
                                                     {233, 254, 66, 183, 15, 211, 234, 222},
                                                     {87, 0, 96, 34, 11, 211, 67, 59}}};
  for (std::size_t s = 0; s < orders.size(); ++s) {
    const AlphabetOrder order = order_of(alphabet_positions(expected[s][0]));
    EXPECT_TRUE(std::equal(orders[s].begin(), orders[s].end(), order.begin())) << expected[s][0];
  }
}

TEST(Generator, DrawsBelowEveryBoundAndShufflesLikeTheReference) {
  const std::uint32_t bounds[] = {1u, 2u, 3u, 4u, 5u, 255u, 256u, 257u, 65537u,
                                  2147483647u, 2147483648u, 4294967295u};
  for (std::uint32_t seed : seeds()) {
    Mt19937 fast(seed);
    ReferenceMt reference(seed);
    for (int round = 0; round < 30; ++round) {
      for (std::uint32_t n : bounds) ASSERT_EQ(fast.below(n), reference.below(n)) << n;
    }
    AlphabetOrder expected;
    for (int v = 0; v < 256; ++v) expected[v] = static_cast<std::uint8_t>(v);
    ReferenceMt shuffler(seed);
    for (std::uint32_t i = 255; i >= 1; --i) std::swap(expected[i], expected[shuffler.below(i + 1)]);
    const AlphabetPositions position = alphabet_positions(seed);
    for (int v = 0; v < 256; ++v) ASSERT_EQ(position[expected[v]], v) << seed;
  }
}

}  // namespace
}  // namespace velkorenc::core

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "core/zlib/huffman.hpp"

namespace velkorenc::core::huffman {
namespace {

// A block of `size` bytes whose values are spread as noise with `skewed` of
// them `boost` times as likely, and `matches` matches here and there.
BlockTrees block_counts(std::uint32_t seed, int skewed, double boost, int matches, std::size_t& size) {
  std::mt19937 random(seed);
  std::vector<double> weights(kLiterals, 1.0);
  for (int v = 0; v < skewed; ++v) weights[static_cast<std::size_t>(random() % kLiterals)] = boost;
  std::discrete_distribution<int> value(weights.begin(), weights.end());
  BlockTrees trees;
  size = 0;
  for (int i = 0; i < 16383 - matches; ++i, ++size) trees.count_literal(static_cast<std::uint8_t>(value(random)));
  for (int i = 0; i < matches; ++i) {
    const unsigned length = kMinMatch + random() % 6;
    trees.count_match(1 + random() % 4096, length);
    size += length;
  }
  return trees;
}

// The choice made from the counts alone is the choice made with the trees,
// on blocks around where storing stops paying: noise made a little more
// predictable step by step, with and without a few matches.
TEST(Huffman, BlocksSurelyStoredAreThoseTheTreesWouldStore) {
  int noise = 0, noise_shortcuts = 0, stored = 0, coded = 0;
  std::uint32_t seed = 0;
  for (int skewed : {1, 4, 16, 64}) {
    for (double boost = 1.0; boost < 4.0; boost += 0.05) {
      for (int matches : {0, 3, 40}) {
        std::size_t size;
        const BlockTrees counted = block_counts(++seed, skewed, boost, matches, size);
        const bool surely = CodedBlock::surely_stored(counted, size);
        BlockTrees with_shortcut = counted, with_trees = counted;
        const bool chosen = CodedBlock(with_shortcut, size, true).stored();
        const bool full = CodedBlock(with_trees, size, true, true).stored();
        ASSERT_EQ(chosen, full) << skewed << " values boosted " << boost << ", " << matches << " matches";
        if (surely) {
          ASSERT_TRUE(full) << skewed << " values boosted " << boost << ", " << matches << " matches";
        }
        if (boost == 1.0 && matches == 0) {
          ++noise;
          noise_shortcuts += surely;
        }
        stored += full;
        coded += !full;
      }
    }
  }
  // The cases reach both sides, and noise needs no trees.
  EXPECT_GT(coded, 100);
  EXPECT_GT(stored, 100);
  EXPECT_EQ(noise_shortcuts, noise);
  // A block that may not be stored is never said to be.
  std::size_t size;
  BlockTrees unstorable = block_counts(7, 0, 1.0, 0, size);
  EXPECT_FALSE(CodedBlock(unstorable, size, false).stored());
}

}  // namespace
}  // namespace velkorenc::core::huffman

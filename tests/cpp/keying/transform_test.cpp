#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "velkorenc/core/keying/keying.hpp"

namespace velkorenc::core {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(gen());
  return out;
}

// The transform written out byte by byte, straight from its definition.
std::uint8_t reference_forward(std::uint8_t b, const Bytes& key, std::uint64_t i) {
  const unsigned s = i % 8;
  unsigned x = b ^ key[i % key.size()];
  x = ((x << s) | (x >> (8 - s))) & 0xFF;
  return static_cast<std::uint8_t>((x + (19 * i + 7) % 256) % 256);
}

Bytes forward(const Bytes& data, const Bytes& key, std::uint64_t start = 0) {
  Bytes out(data.size());
  EXPECT_TRUE(transform_forward(data, key, start, out.data()));
  return out;
}

Bytes inverse(const Bytes& data, const Bytes& key, std::uint64_t start = 0) {
  Bytes out(data.size());
  EXPECT_TRUE(transform_inverse(data, key, start, out.data()));
  return out;
}

const std::vector<Bytes>& keys() {
  static const std::vector<Bytes> all = {
      bytes_of("Q"),       bytes_of("QJX"),           bytes_of("seven77"),
      bytes_of("eightchr"), bytes_of("nine char"),    bytes_of(std::string(1, '\0')),
      bytes_of("\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87"),  random_bytes(15, 3),
      random_bytes(16, 4),  random_bytes(17, 5),      random_bytes(64, 1),
      random_bytes(301, 2)};
  return all;
}

TEST(Transform, MatchesDefinitionForEveryLengthAndKey) {
  for (const Bytes& key : keys()) {
    for (std::size_t n : {0u, 1u, 2u, 7u, 8u, 9u, 15u, 16u, 17u, 255u, 256u, 257u, 1000u, 4109u}) {
      const Bytes data = random_bytes(n, static_cast<std::uint32_t>(n + key.size()));
      const Bytes out = forward(data, key);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(out[i], reference_forward(data[i], key, i))
            << "n=" << n << " key=" << key.size() << " i=" << i;
      }
    }
  }
}

// Each kernel this CPU runs gives the reference kernel's bytes, in both
// directions, for keys around the widths of the wide loops and runs that
// start anywhere.
TEST(Transform, KernelsAgreeWithTheBaseline) {
  std::vector<Bytes> all_keys = keys();
  for (std::size_t kl : {31u, 32u, 33u, 63u, 64u, 65u}) all_keys.push_back(random_bytes(kl, 10));
  const Bytes data = random_bytes(777, 11);
  for (TransformKernel kernel : kTransformKernels) {
    if (!can_run(kernel)) continue;
    for (const Bytes& key : all_keys) {
      for (std::uint64_t start : {0u, 3u, 8u, 29u, 1000003u}) {
        for (bool direction : {true, false}) {
          Bytes want(data.size()), got(data.size());
          ASSERT_TRUE(transform_with(TransformKernel::kBaseline, direction, data, key, start,
                                     want.data()));
          ASSERT_TRUE(transform_with(kernel, direction, data, key, start, got.data()));
          ASSERT_EQ(got, want) << kernel_name(kernel) << " key " << key.size() << " start "
                               << start << (direction ? " forward" : " inverse");
        }
      }
    }
  }
  EXPECT_TRUE(can_run(chosen_transform_kernel()));
}

TEST(Transform, InverseUndoesForwardBothWays) {
  for (const Bytes& key : keys()) {
    for (std::size_t n = 0; n < 300; n += 7) {
      const Bytes data = random_bytes(n, static_cast<std::uint32_t>(3 * n + 1));
      EXPECT_EQ(inverse(forward(data, key), key), data);
      EXPECT_EQ(forward(inverse(data, key), key), data);
    }
  }
}

TEST(Transform, RunsStartingMidFrameMatchTheWholeFrame) {
  const Bytes data = random_bytes(1234, 9);
  for (const Bytes& key : keys()) {
    const Bytes whole = forward(data, key);
    for (std::size_t split : {1u, 3u, 8u, 13u, 256u, 700u}) {
      const Bytes head(data.begin(), data.begin() + split);
      const Bytes tail(data.begin() + split, data.end());
      Bytes joined = forward(head, key, 0);
      const Bytes rest = forward(tail, key, split);
      joined.insert(joined.end(), rest.begin(), rest.end());
      EXPECT_EQ(joined, whole) << "split at " << split;
      EXPECT_EQ(inverse(rest, key, split), tail);
    }
  }
}

TEST(Transform, WorksInPlace) {
  const Bytes key = bytes_of("in place");
  const Bytes data = random_bytes(999, 4);
  Bytes buffer = data;
  ASSERT_TRUE(transform_forward(buffer, key, 0, buffer.data()));
  EXPECT_EQ(buffer, forward(data, key));
  ASSERT_TRUE(transform_inverse(buffer, key, 0, buffer.data()));
  EXPECT_EQ(buffer, data);
}

TEST(Transform, OffsetSequenceStartsAndRepeatsAsDefined) {
  const int first[] = {7, 26, 45, 64, 83, 102, 121, 140, 159, 178, 197, 216, 235, 254, 17, 36};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(transform_offset(i), first[i]);
  std::vector<bool> seen(256, false);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(transform_offset(i), transform_offset(i + 256));
    seen[transform_offset(i)] = true;
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256);
}

TEST(Transform, PositionsZeroAndEightHaveNoRotation) {
  const Bytes key = bytes_of("K");
  for (int b = 0; b < 256; ++b) {
    Bytes data(9, 0);
    data[0] = data[8] = static_cast<std::uint8_t>(b);
    const Bytes out = forward(data, key);
    EXPECT_EQ(out[0], static_cast<std::uint8_t>((b ^ 'K') + 7));
    EXPECT_EQ(out[8], static_cast<std::uint8_t>((b ^ 'K') + transform_offset(8)));
  }
}

TEST(Transform, ChangingOneByteChangesOnlyThatPosition) {
  const Bytes key = bytes_of("locality");
  const Bytes data = random_bytes(600, 5);
  const Bytes base = forward(data, key);
  for (std::size_t p : {0u, 1u, 7u, 8u, 255u, 599u}) {
    Bytes changed = data;
    changed[p] ^= 0x5A;
    const Bytes out = forward(changed, key);
    for (std::size_t i = 0; i < data.size(); ++i) {
      EXPECT_EQ(out[i] != base[i], i == p) << "p=" << p << " i=" << i;
    }
  }
}

TEST(Transform, EqualBytesOnePeriodApartTransformAlike) {
  const Bytes key = bytes_of("abc");
  const std::size_t period = 256 * key.size();
  Bytes data(period + 10, 0x42);
  const Bytes out = forward(data, key);
  for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(out[i], out[i + period]);
}

TEST(Transform, KeyLongerThanDataUsesItsFirstBytes) {
  const Bytes data = random_bytes(5, 6);
  EXPECT_EQ(forward(data, bytes_of("abcde-and-more")), forward(data, bytes_of("abcde")));
}

TEST(Transform, EmptyKeyIsRefusedOnlyWhenThereIsData) {
  const Bytes empty;
  Bytes out(4, 0xEE);
  EXPECT_TRUE(transform_forward(Bytes{}, empty, 0, out.data()));
  EXPECT_TRUE(transform_inverse(Bytes{}, empty, 0, out.data()));
  EXPECT_FALSE(transform_forward(Bytes{1, 2, 3, 4}, empty, 0, out.data()));
  EXPECT_FALSE(transform_inverse(Bytes{1}, empty, 0, out.data()));
  EXPECT_EQ(out, Bytes(4, 0xEE)) << "a refused transform writes nothing";
}

TEST(Seed, FoldsUtf8BytesModulo2To31) {
  EXPECT_EQ(fold_seed(Bytes{}), 0u);
  EXPECT_EQ(fold_seed(Bytes{0, 0, 0}), 0u);
  EXPECT_EQ(fold_seed(bytes_of("QJX")), ((81u * 31 + 74) * 31 + 88));
  // A long key stays within 31 bits and equals the unbounded computation.
  const Bytes key = random_bytes(10000, 7);
  unsigned long long expected = 0;
  for (std::uint8_t c : key) expected = (expected * 31 + c) % (1ULL << 31);
  EXPECT_EQ(fold_seed(key), expected);
}

}  // namespace
}  // namespace velkorenc::core

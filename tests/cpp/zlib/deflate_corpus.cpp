// The long differential run of the own level-6 deflate against zlib, outside
// CI: `deflate_corpus COUNT [FIRST_SEED]` compares COUNT inputs of every
// family, at sizes drawn around the edges that matter (32 KiB multiples,
// 16383-symbol blocks) and up to 1 MiB, fed in random pieces; prints the
// counts by family and exits 1 at the first difference.
#include <cstdio>
#include <cstdlib>
#include <random>

#include "zlib/deflate_families.hpp"

using namespace velkorenc::core;
using testing::Bytes;

namespace {

std::size_t draw_size(std::mt19937& gen) {
  switch (gen() % 6) {
    case 0: return gen() % 2000;
    case 1: return (1 + gen() % 8) * 32768 + gen() % 601 - 300;  // window edges
    case 2: return (1 + gen() % 6) * 16383 + gen() % 21 - 10;    // block cuts of noise
    case 3: return gen() % 300000;
    case 4: return gen() % (1u << 20);
    default: return 65536 + gen() % 600 - 300;
  }
}

std::vector<std::size_t> draw_cuts(std::mt19937& gen, std::size_t size) {
  if (gen() % 2) return {std::size_t{1} << 40};
  const std::size_t scale = 1 + gen() % (size + 1);
  return {1 + gen() % scale, 1 + gen() % scale, 1 + gen() % 100};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: deflate_corpus COUNT [FIRST_SEED]\n");
    return 2;
  }
  const unsigned long count = std::strtoul(argv[1], nullptr, 10);
  const unsigned long first = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0;
  if (!own_deflate_available()) {
    std::fprintf(stderr, "the own deflate is not available with this zlib\n");
    return 1;
  }
  unsigned long by_family[std::size(testing::kFamilies)] = {};
  unsigned long long bytes = 0;
  for (unsigned long i = 0; i < count; ++i) {
    const auto seed = static_cast<std::uint32_t>(first + i);
    std::mt19937 gen(seed);
    const auto family_index = gen() % std::size(testing::kFamilies);
    const testing::Family family = testing::kFamilies[family_index];
    const std::size_t size = draw_size(gen);
    const Bytes data = testing::family_input(family, size, seed);
    const std::vector<std::size_t> cuts = draw_cuts(gen, size);
    if (testing::own_deflate(data, cuts) != testing::library_deflate(data)) {
      std::printf("DIFFERS: seed %u, %s, %zu bytes, pieces of %zu\n", seed, testing::family_name(family),
                  size, cuts[0]);
      return 1;
    }
    ++by_family[family_index];
    bytes += size;
  }
  for (std::size_t f = 0; f < std::size(testing::kFamilies); ++f) {
    std::printf("%-12s %lu inputs\n", testing::family_name(testing::kFamilies[f]), by_family[f]);
  }
  std::printf("all %lu inputs (seeds %lu..%lu, %llu bytes) gave zlib's stream\n", count, first,
              first + count - 1, bytes);
  return 0;
}

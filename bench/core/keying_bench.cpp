// The keying work of the core: the keyed transform both ways, a key's
// shuffled alphabet, and the generator's seeding and regeneration.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "velkorenc/core/keying/generator.hpp"
#include "velkorenc/core/keying/keying.hpp"

#include "bench_support.hpp"

namespace velkorenc::core::bench {
namespace {

// The keyed transform one way, forward or inverse, over the random data.
void BM_Transform(benchmark::State& state,
                  bool (*transform)(ByteSpan, ByteSpan, std::uint64_t, std::uint8_t*) noexcept) {
  const auto& data = random_data();
  std::vector<std::uint8_t> out(data.size());
  for (auto _ : state) {
    transform(data, kKey, 0, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
}

// A key's shuffled alphabet from its seed: the generator's seeding, the
// draws and the swaps, as every call of the codec makes it.
void BM_AlphabetPositions(benchmark::State& state) {
  std::uint32_t seed = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(alphabet_positions(seed));
    seed = (seed * 31 + 7) & 0x7FFFFFFF;
  }
}

// Seeding with each kernel, and the first block of outputs: the serial
// chain that bounds a small call's table.
void BM_GeneratorSeeding(benchmark::State& state, GeneratorKernel kernel) {
  if (!start_kernel(state, kernel, chosen_generator_kernel())) return;
  std::uint32_t seed = 0;
  for (auto _ : state) {
    Mt19937 rng(seed, kernel);
    benchmark::DoNotOptimize(rng.next());
    seed = (seed * 31 + 7) & 0x7FFFFFFF;
  }
}

// Regenerating the state with each kernel, a whole generation per
// iteration; items are words of output.
void BM_Regenerate(benchmark::State& state, GeneratorKernel kernel) {
  if (!start_kernel(state, kernel, chosen_generator_kernel())) return;
  Mt19937 rng(1, kernel);
  for (auto _ : state) {
    std::size_t drawn = 0;
    while (drawn < Mt19937::kStateSize) {
      std::size_t count;
      benchmark::DoNotOptimize(rng.pending(count));
      rng.take(count);
      drawn += count;
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(Mt19937::kStateSize));
}


BENCHMARK_CAPTURE(BM_Transform, forward, transform_forward)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Transform, inverse, transform_inverse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AlphabetPositions)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GeneratorSeeding, baseline, GeneratorKernel::kBaseline)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GeneratorSeeding, avx2, GeneratorKernel::kAvx2)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Regenerate, baseline, GeneratorKernel::kBaseline)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Regenerate, avx2, GeneratorKernel::kAvx2)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velkorenc::core::bench

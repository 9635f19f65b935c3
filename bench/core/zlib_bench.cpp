// CRC-32 with each kernel, and a message-sized zlib stream made and read
// back.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "velkorenc/core/zlib/zlib.hpp"

#include "bench_support.hpp"

namespace velkorenc::core::bench {
namespace {

// CRC-32 with each kernel, over the random data.
void BM_Crc32(benchmark::State& state, CrcKernel kernel) {
  if (!start_kernel(state, kernel, chosen_crc_kernel())) return;
  const auto& data = random_data();
  for (auto _ : state) benchmark::DoNotOptimize(crc32_with(kernel, 0, data));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
}

// A message-sized zlib stream, made and read back: the fixed cost of each
// stream (its state set up and its tables cleared) dominates.
const std::vector<std::uint8_t>& message() {
  static const std::vector<std::uint8_t> bytes = [] {
    static constexpr char kStart[] =
        R"({"id": 7, "from": "sensor-42", "reading": 21.375, "unit": "C", "note": ")";
    std::vector<std::uint8_t> b(100, 'x');
    std::copy(kStart, kStart + sizeof kStart - 1, b.begin());
    b[98] = '"';
    b[99] = '}';
    return b;
  }();
  return bytes;
}

void BM_DeflateMessage(benchmark::State& state) {
  std::uint8_t room[256];
  for (auto _ : state) {
    Deflater deflater;
    FixedSink sink(room);
    if (!deflater.feed(message(), true, sink)) state.SkipWithError("deflate failed");
    benchmark::DoNotOptimize(sink.filled());
  }
}

void BM_InflateMessage(benchmark::State& state) {
  std::uint8_t stream[256];
  std::size_t length;
  {
    Deflater deflater;
    FixedSink sink(stream);
    deflater.feed(message(), true, sink);
    length = sink.filled();
  }
  std::uint8_t room[256];
  for (auto _ : state) {
    Inflater inflater;
    FixedSink sink(room);
    if (!inflater.feed(ByteSpan(stream, length), true, sink)) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(sink.filled());
  }
}


BENCHMARK_CAPTURE(BM_Crc32, zlib, CrcKernel::kZlib)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Crc32, clmul, CrcKernel::kClmul)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeflateMessage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InflateMessage)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velkorenc::core::bench

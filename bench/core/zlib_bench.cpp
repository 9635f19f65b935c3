// CRC-32 with each kernel, a message-sized zlib stream made and read back,
// and level-6 streams of 32 MiB made by the own deflate and by zlib, side by
// side.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "velkorenc/core/zlib/deflate.hpp"
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

// Adler-32 with each kernel, over the random data.
void BM_Adler32(benchmark::State& state, AdlerKernel kernel) {
  if (!start_kernel(state, kernel, chosen_adler_kernel())) return;
  const auto& data = random_data();
  for (auto _ : state) benchmark::DoNotOptimize(adler32_with(kernel, 1, data));
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

// The first 32 MiB of the interpreter's standard-library .py sources, in
// sorted path order (empty when the build did not name the library).
const std::vector<std::uint8_t>& library_sources() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> out;
#ifdef VELKORENC_BENCH_TEXT_ROOT
    namespace fs = std::filesystem;
    std::vector<fs::path> paths;
    std::error_code error;
    for (fs::recursive_directory_iterator it(VELKORENC_BENCH_TEXT_ROOT, error), end; !error && it != end;
         it.increment(error)) {
      if (it->is_regular_file(error) && it->path().extension() == ".py") paths.push_back(it->path());
    }
    std::sort(paths.begin(), paths.end());
    for (const fs::path& path : paths) {
      std::ifstream file(path, std::ios::binary);
      out.insert(out.end(), std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
      if (out.size() >= kSize) break;
    }
    out.resize(std::min(out.size(), kSize));
#endif
    return out;
  }();
  return bytes;
}

// The same 28 bytes over and over.
const std::vector<std::uint8_t>& repetitive() {
  static const std::vector<std::uint8_t> bytes = [] {
    static constexpr char kBlock[] = "velkorenc repetitive block! ";
    std::vector<std::uint8_t> b(kSize);
    for (std::size_t i = 0; i < kSize; ++i) b[i] = static_cast<std::uint8_t>(kBlock[i % (sizeof kBlock - 1)]);
    return b;
  }();
  return bytes;
}

enum class Corpus { kRandom, kSources, kRepetitive };
enum class Engine { kOwn, kZlib };

// A level-6 stream of 32 MiB, whole, counted rather than kept; the own
// deflate on `threads` threads.
void BM_Level6(benchmark::State& state, Corpus corpus, Engine engine, unsigned threads) {
  const std::vector<std::uint8_t>& data =
      corpus == Corpus::kRandom ? random_data() : corpus == Corpus::kSources ? library_sources() : repetitive();
  if (data.empty()) {
    state.SkipWithError("the standard library's sources were not found");
    return;
  }
  if (engine == Engine::kOwn && !own_deflate_available()) {
    state.SkipWithError("the own deflate is off with this zlib");
    return;
  }
  for (auto _ : state) {
    CountingSink sink;
    if (engine == Engine::kOwn) {
      level6::DeflateStream stream(threads);
      if (!stream.feed(data, true, sink)) state.SkipWithError("deflate failed");
    } else {
      z_stream z{};
      deflateInit2(&z, 6, Z_DEFLATED, MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
      z.next_in = const_cast<Bytef*>(data.data());
      z.avail_in = static_cast<uInt>(data.size());
      int code;
      do {
        const auto room = sink.space();
        z.next_out = room.data();
        z.avail_out = static_cast<uInt>(room.size());
        code = deflate(&z, Z_FINISH);
        sink.commit(room.size() - z.avail_out);
      } while (code == Z_OK);
      deflateEnd(&z);
    }
    benchmark::DoNotOptimize(sink.count());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
}

BENCHMARK_CAPTURE(BM_Adler32, zlib, AdlerKernel::kZlib)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Adler32, avx2, AdlerKernel::kAvx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Crc32, zlib, CrcKernel::kZlib)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Crc32, clmul, CrcKernel::kClmul)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeflateMessage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InflateMessage)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Level6, own_random, Corpus::kRandom, Engine::kOwn, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Level6, own2_random, Corpus::kRandom, Engine::kOwn, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Level6, zlib_random, Corpus::kRandom, Engine::kZlib, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Level6, own_sources, Corpus::kSources, Engine::kOwn, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Level6, own2_sources, Corpus::kSources, Engine::kOwn, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Level6, zlib_sources, Corpus::kSources, Engine::kZlib, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Level6, own_repetitive, Corpus::kRepetitive, Engine::kOwn, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Level6, own2_repetitive, Corpus::kRepetitive, Engine::kOwn, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Level6, zlib_repetitive, Corpus::kRepetitive, Engine::kZlib, 1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace velkorenc::core::bench

// Throughput of the byte-level core, without the interpreter.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "velkorenc/core/keying/generator.hpp"
#include "velkorenc/core/keying/keying.hpp"
#include "velkorenc/core/tokens/tokens.hpp"
#include "velkorenc/core/zlib/zlib.hpp"

namespace velkorenc::core {
namespace {

constexpr std::size_t kSize = std::size_t{32} << 20;

const std::vector<std::uint8_t>& random_data() {
  static const std::vector<std::uint8_t> data = [] {
    std::vector<std::uint8_t> bytes(kSize);
    std::mt19937_64 gen(1);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(gen());
    return bytes;
  }();
  return data;
}

const std::vector<std::uint8_t> kKey = {'Q', 'J', 'X'};

struct Tables {
  EncodeTable enc;
  DecodeTable dec;
};

const Tables& tables() {
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

void BM_TransformForward(benchmark::State& state) {
  const auto& data = random_data();
  std::vector<std::uint8_t> out(data.size());
  for (auto _ : state) {
    transform_forward(data, kKey, 0, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
}

void BM_TransformInverse(benchmark::State& state) {
  const auto& data = random_data();
  std::vector<std::uint8_t> out(data.size());
  for (auto _ : state) {
    transform_inverse(data, kKey, 0, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
}

// Transform and token writing of a whole frame; bytes are frame bytes.
void BM_WriteFrameText(benchmark::State& state) {
  const auto& data = random_data();
  const std::uint8_t ck[4] = {1, 2, 3, 4};
  std::string text(joined_length(data.size() + 4), '\0');
  for (auto _ : state) {
    write_frame_text(tables().enc, data, ByteSpan(ck, 4), kKey, '~', text.data());
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
}

// The text of the random data, written once for every reading case.
const std::string& random_text() {
  static const std::string text = [] {
    const auto& data = random_data();
    std::string written(joined_length(data.size()), '\0');
    write_tokens(tables().enc, data, '~', false, written.data());
    return written;
  }();
  return text;
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

// Token reading with each reader; bytes are characters of text read.
void BM_ReadTokens(benchmark::State& state, NarrowReader reader) {
  if (!start_kernel(state, reader, chosen_reader())) return;
  const std::string& text = random_text();
  std::vector<std::uint8_t> out(max_tokens(text.size()));
  const auto* units = reinterpret_cast<const std::uint8_t*>(text.data());
  for (auto _ : state) {
    const ReadResult r =
        read_tokens_with(reader, tables().dec, std::span(units, text.size()), '~', out.data());
    if (!r.ok || r.count != random_data().size()) state.SkipWithError("text did not read back");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// CRC-32 with each kernel, over the random data.
void BM_Crc32(benchmark::State& state, CrcKernel kernel) {
  if (!start_kernel(state, kernel, chosen_crc_kernel())) return;
  const auto& data = random_data();
  for (auto _ : state) benchmark::DoNotOptimize(crc32_with(kernel, 0, data));
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

BENCHMARK(BM_TransformForward)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransformInverse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteFrameText)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadTokens, scalar, NarrowReader::kScalar)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadTokens, avx2, NarrowReader::kAvx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadTokens, avx2_pext, NarrowReader::kAvx2Pext)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadTokens, avx512, NarrowReader::kAvx512)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Crc32, zlib, CrcKernel::kZlib)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Crc32, clmul, CrcKernel::kClmul)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AlphabetPositions)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GeneratorSeeding, baseline, GeneratorKernel::kBaseline)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GeneratorSeeding, avx2, GeneratorKernel::kAvx2)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Regenerate, baseline, GeneratorKernel::kBaseline)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Regenerate, avx2, GeneratorKernel::kAvx2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DeflateMessage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InflateMessage)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velkorenc::core

BENCHMARK_MAIN();

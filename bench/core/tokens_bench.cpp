// Writing a frame's text, writing tokens with each writer, and reading them back with
// each reader.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "velkorenc/core/keying/keying.hpp"
#include "velkorenc/core/tokens/tokens.hpp"

#include "bench_support.hpp"

namespace velkorenc::core::bench {
namespace {

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

// Token writing with each writer, 16 Ki tokens at a time into a text that
// stays in the cache, so that the writer and not the memory is measured;
// bytes are tokens.
void BM_WriteTokens(benchmark::State& state, TokenWriter writer) {
  if (!start_kernel(state, writer, chosen_writer())) return;
  constexpr std::size_t kTokens = 16 << 10;
  const auto& data = random_data();
  std::string text(joined_length(kTokens) + 1, '\0');
  for (auto _ : state) {
    for (std::size_t at = 0; at < data.size(); at += kTokens) {
      const ByteSpan piece(data.data() + at, std::min(kTokens, data.size() - at));
      write_tokens_with(writer, tables().enc, piece, '~', at != 0, text.data());
    }
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

BENCHMARK(BM_WriteFrameText)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriteTokens, scalar, TokenWriter::kScalar)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriteTokens, avx512, TokenWriter::kAvx512)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadTokens, scalar, NarrowReader::kScalar)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadTokens, avx2, NarrowReader::kAvx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadTokens, avx2_pext, NarrowReader::kAvx2Pext)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadTokens, avx512, NarrowReader::kAvx512)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velkorenc::core::bench

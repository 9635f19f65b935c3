#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "velkorenc/core/zlib/small_deflate.hpp"
#include "velkorenc/core/zlib/zlib.hpp"
#include "counting_checkpoint.hpp"

namespace velkorenc::core {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes sample(std::size_t n, unsigned alphabet, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(gen() % alphabet);
  return out;
}

Bytes library_compress(const Bytes& data) {
  uLongf length = compressBound(static_cast<uLong>(data.size()));
  Bytes out(length);
  EXPECT_EQ(compress2(out.data(), &length, data.data(), static_cast<uLong>(data.size()), 6), Z_OK);
  out.resize(length);
  return out;
}

// A sink that grows in steps of `step` bytes, so that output is taken in
// many small pieces.
class GrowingSink final : public OutputSink {
 public:
  explicit GrowingSink(std::size_t step) : step_(step) {}
  std::span<std::uint8_t> space() noexcept override {
    bytes.resize(filled_ + step_);
    return {bytes.data() + filled_, step_};
  }
  void commit(std::size_t filled) noexcept override {
    filled_ += filled;
    bytes.resize(filled_);
  }
  Bytes bytes;

 private:
  std::size_t step_;
  std::size_t filled_ = 0;
};

template <class Stream>
Bytes run_in_pieces(Stream& stream, const Bytes& input, std::size_t piece, std::size_t step) {
  GrowingSink sink(step);
  std::size_t at = 0;
  do {
    const std::size_t size = std::min(piece, input.size() - at);
    const bool last = at + size == input.size();
    EXPECT_TRUE(stream.feed(ByteSpan(input.data() + at, size), last, sink));
    at += size;
  } while (at < input.size());
  return sink.bytes;
}

TEST(Zlib, DeflateMatchesTheLibraryForAnyCutOfInputAndOutput) {
  const Bytes inputs[] = {{}, {7}, sample(100, 4, 1), sample(70000, 256, 2),
                          sample(300000, 3, 3), Bytes(200000, 'a')};
  for (const Bytes& input : inputs) {
    const Bytes expected = library_compress(input);
    EXPECT_LE(expected.size(), Deflater::bound(input.size()));
    for (std::size_t piece : {std::size_t{1} << 30, std::size_t{4096}, std::size_t{777}}) {
      for (std::size_t step : {std::size_t{1} << 20, std::size_t{3}}) {
        if (input.size() > 100000 && (piece < 4096 || step < 100)) continue;  // keep it quick
        Deflater deflater;
        EXPECT_EQ(run_in_pieces(deflater, input, piece, step), expected)
            << input.size() << " bytes in pieces of " << piece << ", out in " << step;
      }
    }
  }
}

Bytes compress_at_memory_level(const Bytes& data, int memory_level) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, MAX_WBITS, memory_level, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&stream, static_cast<uLong>(data.size())));
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Bytes of very uneven frequencies: `p` percent of draws end a run that
// picks the value, and a third get noise added.
Bytes skewed(std::uint32_t seed, std::size_t n, std::uint32_t p) {
  std::uint32_t x = seed;
  const auto next = [&x] { return (x = x * 1664525u + 1013904223u) >> 8; };
  Bytes out;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned v = 0;
    while (next() % 100 >= p) ++v;
    v *= 37;
    if (next() % 3 == 0) v += next() % 256;
    out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

// A whole short input may be compressed without the library or with its
// smaller hash tables, and is then still the library's stream.  The crafted
// input puts 140 positions under the small table's head of "abc" (and only
// there), so that a search with the small tables gives up before it reaches
// the early "abc...".
TEST(Zlib, ShortCutsOnlyWhereTheyGiveTheSameStream) {
  std::string crafted = "#abcdefghijklmnop";
  for (int i = 0; i < 140; ++i) crafted += "ibc.";
  crafted += "abcdefghijklmnop";
  const auto cycles = [](int count) {  // each low four bits `count` times from the third byte
    std::string s = "<>";
    for (int i = 0; i < count; ++i) s += "@ABCDEFGHIJKLMNO";
    return text(s);
  };
  const Bytes message = text(
      "{\"id\": 17, \"from\": \"sensor-42\", \"reading\": 21.375, \"unit\": \"C\", "
      "\"note\": \"xxxxxxxxxxxxxxxxxxxxxxxxxxxxx\"}");
  constexpr int kAny = -1, kStored = 0, kFixed = 1, kDynamic = 2;
  struct Case {
    const char* name;
    Bytes data;
    bool in_full;
    int block;  // the type of the stream's one block
  };
  const Case cases[] = {
      {"empty", {}, true, kFixed},
      {"message", message, true, kFixed},
      {"noise", sample(35, 256, 9), true, kStored},
      {"longest matches", cycles(33), true, kFixed},
      {"sixteen values", sample(120, 16, 3), true, kDynamic},
      {"bit length tree past 7 bits", skewed(7, 300, 5), true, kStored},
      {"a search cut short", cycles(34), false, kAny},
      {"crafted", text(crafted), false, kAny},
  };
  const auto check_short_cuts = [](const Bytes& data, const std::string& name) {
    const Bytes expected = library_compress(data);
    std::array<std::uint8_t, kSmallDeflateRoom> native;
    EXPECT_EQ(Bytes(native.begin(), native.begin() + deflate_small(data, native)), expected) << name;
    EXPECT_EQ(compress_at_memory_level(data, 4), expected) << name;
  };
  for (const Case& c : cases) {
    EXPECT_EQ(searched_in_full(c.data), c.in_full) << c.name;
    Deflater deflater;
    GrowingSink sink(1 << 12);
    ASSERT_TRUE(deflater.feed(c.data, true, sink)) << c.name;
    EXPECT_EQ(sink.bytes, library_compress(c.data)) << c.name;
    if (c.block != kAny) {
      EXPECT_EQ((sink.bytes.at(2) >> 1) & 3, c.block) << c.name;
    }
    if (c.in_full) check_short_cuts(c.data, c.name);
  }
  EXPECT_NE(compress_at_memory_level(text(crafted), 4), library_compress(text(crafted)));
  // This machine's zlib is one whose deflate is understood.
  EXPECT_TRUE(deflate_short_cuts().small_tables);
  EXPECT_TRUE(deflate_short_cuts().without_library);
  int taken = 0;
  for (std::uint32_t seed = 0; seed < 1000; ++seed) {
    const Bytes data = seed % 2 ? sample(seed * 7 % 531, 2u << (seed % 8), seed)
                                : skewed(seed, seed * 3 % 531, 5 + seed % 40);
    if (!searched_in_full(data)) continue;
    ++taken;
    check_short_cuts(data, std::to_string(seed));
  }
  EXPECT_GT(taken, 300);
}

// Bytes whose low four bits take every value in turn, so that the groups
// searched_in_full counts stay even, with one bit of noise above them: 32
// values, few enough that the stream codes them rather than storing them.
Bytes fresh(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>((i & 15) | (gen() & 0x10));
  return out;
}

// Matches that random data seldom has: a match of 15, 16 or 17 bytes with a
// longer one starting a byte later (a match of 16 or more is taken without
// looking further), and a copy at each distance where the distance code
// changes, the last one within reach of a short input included.
TEST(Zlib, ShortCutOnLazyMatchesAndDistanceCodeEdges) {
  std::vector<std::pair<std::string, Bytes>> inputs;
  for (std::size_t m : {15, 16, 17}) {
    // "c0 .. c(m-1) x", then "y c1 .. c(m+5)", then "c0 .. c(m+5)": at c0 the
    // first copy gives m bytes, at c1 the second gives m + 5.  (Nothing
    // starts at position 0, which zlib never matches.)
    const Bytes f = fresh(m + 13, static_cast<std::uint32_t>(m));
    const auto piece = [&](std::size_t from, std::size_t to) { return Bytes(f.data() + from, f.data() + to); };
    Bytes input = piece(m + 12, m + 13);
    for (const Bytes& part : {piece(0, m), piece(m + 6, m + 8), piece(1, m + 6),
                              piece(m + 8, m + 11), piece(0, m + 6), piece(m + 11, m + 12)}) {
      input.insert(input.end(), part.begin(), part.end());
    }
    inputs.emplace_back("lazy after " + std::to_string(m), input);
  }
  std::vector<std::size_t> distances = {255, 256, 257, 258, 259};
  // The first distance of each code within reach, and the last of the code before.
  for (std::size_t first : {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513}) {
    if (first > 1) distances.push_back(first - 1);
    distances.push_back(first);
  }
  for (std::size_t d : distances) {
    // A byte, d fresh bytes, then their first eight again.
    const Bytes f = fresh(d + 1, static_cast<std::uint32_t>(d));
    Bytes input(d + 9, f[d]);
    for (std::size_t i = 1; i < input.size(); ++i) input[i] = f[(i - 1) % d];
    inputs.emplace_back("distance " + std::to_string(d), input);
  }
  for (const auto& [name, input] : inputs) {
    ASSERT_TRUE(searched_in_full(input)) << name;
    const Bytes expected = library_compress(input);
    EXPECT_NE((expected.at(2) >> 1) & 3, 0) << name << ": stored, its matches unused";
    std::array<std::uint8_t, kSmallDeflateRoom> native;
    EXPECT_EQ(Bytes(native.begin(), native.begin() + deflate_small(input, native)), expected)
        << name;
  }
}

TEST(Zlib, InflateRestoresTheDataInAnyCut) {
  const Bytes data = sample(150000, 5, 4);
  const Bytes stream = library_compress(data);
  for (std::size_t piece : {stream.size(), std::size_t{1000}, std::size_t{1}}) {
    Inflater inflater;
    Bytes with_trailer = stream;
    with_trailer.insert(with_trailer.end(), {1, 2, 3});  // ignored after the end
    EXPECT_EQ(run_in_pieces(inflater, with_trailer, piece, 4096), data);
    EXPECT_TRUE(inflater.ended());
    EXPECT_FALSE(inflater.failure());
  }
}

// Each damaged stream fails with the code and message that decompress
// reports for it.
TEST(Zlib, InflateFailsAsDecompressDoes) {
  const Bytes good = library_compress(sample(5000, 7, 5));
  Bytes bad_header = good;
  bad_header[1] ^= 1;
  Bytes bad_check = good;
  bad_check.back() ^= 1;
  Bytes with_dictionary = {0x78, 0xBB, 0, 0, 0, 1};  // FDICT set, header check right
  struct Case {
    const char* name;
    Bytes input;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {"empty", {}, Z_BUF_ERROR, nullptr},
      {"truncated", Bytes(good.begin(), good.end() - 5), Z_BUF_ERROR, nullptr},
      {"bad header", bad_header, Z_DATA_ERROR, "incorrect header check"},
      {"bad check", bad_check, Z_DATA_ERROR, "incorrect data check"},
      {"dictionary", with_dictionary, Z_NEED_DICT, nullptr},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {std::size_t{1} << 20, std::size_t{2}}) {
      Inflater inflater;
      GrowingSink sink(100);
      std::size_t at = 0;
      bool ok = true;
      do {
        const std::size_t size = std::min(piece, c.input.size() - at);
        ok = inflater.feed(ByteSpan(c.input.data() + at, size), at + size == c.input.size(), sink);
        at += size;
      } while (ok && at < c.input.size());
      EXPECT_FALSE(ok) << c.name;
      EXPECT_EQ(inflater.failure().kind, ZlibFailure::Kind::zlib) << c.name;
      EXPECT_EQ(inflater.failure().code, c.code) << c.name;
      EXPECT_STREQ(inflater.failure().message, c.message) << c.name;
    }
  }
}

TEST(Zlib, FixedSinkThatFillsUpIsAFailureNotAnOverrun) {
  for (const Bytes& input : {sample(10000, 256, 6), sample(200, 256, 6)}) {  // library, short cut
    Bytes room(50);
    FixedSink sink({room.data(), room.size()});
    Deflater deflater;
    EXPECT_FALSE(deflater.feed(input, true, sink)) << input.size();
    EXPECT_EQ(deflater.failure().kind, ZlibFailure::Kind::no_output_space) << input.size();
    EXPECT_EQ(sink.filled(), room.size()) << input.size();
  }
}

TEST(Zlib, Crc32OverPiecesIsTheWholeCrc) {
  const Bytes data = sample(100000, 256, 7);
  const auto whole = static_cast<std::uint32_t>(::crc32(0, data.data(), static_cast<uInt>(data.size())));
  std::uint32_t crc = 0;
  for (std::size_t at = 0; at < data.size(); at += 999) {
    crc = crc32(crc, ByteSpan(data).subspan(at, std::min<std::size_t>(999, data.size() - at)));
  }
  EXPECT_EQ(crc, whole);
  EXPECT_EQ(crc32(0, {}), 0u);
}

// Every kernel this CPU runs gives zlib's Adler-32 at every length and
// alignment, from any start value, also where the sums come nearest to
// overflowing: long runs of 0xFF from the largest start.
TEST(Zlib, Adler32KernelsAgreeWithTheLibrary) {
  const Bytes data = sample(20000, 256, 10);
  const Bytes high(3 * 5552 + 100, 0xFF);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (std::size_t n : {5551, 5552, 5553, 5536 + 31, 4000, 4900}) lengths.push_back(n);
  for (AdlerKernel kernel : kAdlerKernels) {
    if (!can_run(kernel)) continue;
    for (const Bytes* bytes : {&data, &high}) {
      for (std::size_t offset = 0; offset < 32; offset += 7) {
        for (std::size_t n : lengths) {
          for (std::uint32_t start : {1u, 0xFFF0FFF0u, 0x12345678u % 65521u}) {
            const ByteSpan piece(bytes->data() + offset, n);
            const auto want = static_cast<std::uint32_t>(::adler32_z(start, piece.data(), piece.size()));
            ASSERT_EQ(adler32_with(kernel, start, piece), want)
                << kernel_name(kernel) << " offset " << offset << " length " << n << " start " << start;
          }
        }
      }
      const auto whole = static_cast<std::uint32_t>(::adler32_z(1, bytes->data(), bytes->size()));
      EXPECT_EQ(adler32_with(kernel, 1, *bytes), whole) << kernel_name(kernel);
    }
  }
  EXPECT_TRUE(can_run(chosen_adler_kernel()));
}

// A CRC made on several threads, in runs combined in order, is the CRC of
// the whole continued from the start value; a checkpoint that says stop
// stops it.
TEST(Zlib, Crc32OnThreadsIsTheWholesCrc) {
  const Bytes data = sample((std::size_t{5} << 20) + 333, 256, 21);
  for (std::size_t size : {std::size_t{0}, std::size_t{7}, std::size_t{1} << 20, data.size()}) {
    const ByteSpan part(data.data(), size);
    const std::uint32_t want = crc32(crc32(0, {data.data(), 3}), part);
    for (unsigned threads = 1; threads <= 4; ++threads) {
      NoCheckpoint always;
      std::uint32_t got = 0;
      ASSERT_TRUE(crc32_on_threads(crc32(0, {data.data(), 3}), part, threads, always, got));
      EXPECT_EQ(got, want) << size << " bytes, " << threads << " threads";
    }
  }
  test_support::CountingCheckpoint stop(1);
  std::uint32_t unused = 0;
  EXPECT_FALSE(crc32_on_threads(0, data, 2, stop, unused));
}

// Every kernel this CPU runs gives zlib's CRC at every length and alignment,
// from any start value.
TEST(Zlib, Crc32KernelsAgreeWithTheLibrary) {
  const Bytes data = sample(5000, 256, 9);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 600; ++n) lengths.push_back(n);
  lengths.push_back(4096 + 17);
  lengths.push_back(data.size() - 16);
  for (CrcKernel kernel : kCrcKernels) {
    if (!can_run(kernel)) continue;
    for (std::size_t offset = 0; offset < 16; ++offset) {
      for (std::size_t n : lengths) {
        for (std::uint32_t start : {0u, 0xFFFFFFFFu, 0x12345678u}) {
          const ByteSpan piece(data.data() + offset, n);
          const auto want = static_cast<std::uint32_t>(
              ::crc32_z(start, piece.data(), piece.size()));
          ASSERT_EQ(crc32_with(kernel, start, piece), want)
              << kernel_name(kernel) << " offset " << offset << " length " << n;
        }
      }
    }
  }
  EXPECT_TRUE(can_run(chosen_crc_kernel()));
}

TEST(Zlib, SamplesTellDataThatWillBeStored) {
  const Bytes noise = sample(300000, 256, 10);
  Bytes one_part_words = noise;
  std::fill(one_part_words.end() - 40000, one_part_words.end(), 'a');
  struct Case {
    const char* name;
    Bytes data;
    bool stored;
  };
  const Case cases[] = {{"noise", noise, true},
                        {"noise ending in a run", one_part_words, false},
                        {"few letters", sample(300000, 4, 11), false},
                        {"too short to sample", sample(90000, 256, 12), false}};
  for (const Case& c : cases) {
    EXPECT_EQ(samples_do_not_compress(c.data), c.stored) << c.name;
    if (c.stored) {
      EXPECT_GE(library_compress(c.data).size(), c.data.size()) << c.name;
    }
  }
  CountingSink counted;
  Deflater deflater;
  ASSERT_TRUE(deflater.feed(noise, true, counted));
  EXPECT_EQ(counted.count(), library_compress(noise).size());
}

TEST(Zlib, StreamsOfOneThreadShareItsBlockInTurn) {
  // A second stream alive at the same time takes ordinary memory; both work.
  const Bytes input = sample(20000, 9, 8);
  const Bytes expected = library_compress(input);
  Deflater first;
  Deflater second;
  GrowingSink a(1 << 16);
  GrowingSink b(1 << 16);
  EXPECT_TRUE(first.feed(input, true, a));
  EXPECT_TRUE(second.feed(input, true, b));
  EXPECT_EQ(a.bytes, expected);
  EXPECT_EQ(b.bytes, expected);
}

}  // namespace
}  // namespace velkorenc::core

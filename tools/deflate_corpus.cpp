// The differential corpus of the level-6 deflate: many inputs from families
// that reach every rule of zlib's level-6 parse and block making, each
// compressed by a candidate deflate with every thread count asked for and
// compared byte for byte with the system zlib's compress2(..., 6), which is
// what the interpreter's zlib.compress(d, 6) gives.  It runs outside CI;
// its counts go into the notes that close the work it checks.
//
//   deflate_corpus [--candidate NAME] [--seed S] [--start I] [--count N]
//                  [--families A,B] [--threads 1,2,3,4] [--jobs N]
//                  [--large-every N] [--large-mib M] [--out DIR]
//                  [--python-sources DIR] [--headers DIR] [--input FILE]
//                  [--list]
//
// Input i of a run depends only on the seed, the large inputs' options, i
// and its family (the i-th of the chosen families, in turn), so one input
// is made again with those and --families F --start I --count 1 (the line
// "again:" under a mismatch says so).  It prints, per family, the inputs and
// bytes compared, the inputs whose stream differed with some thread count
// (mismatches) and the time taken; the first mismatch is
// described and its input written to a file; the exit status is 1 when
// anything differed.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "velkorenc/core/zlib/deflate.hpp"
#include "velkorenc/core/zlib/zlib.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;
using Clock = std::chrono::steady_clock;

// -- random numbers ------------------------------------------------------------

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

// xoshiro256**: fast enough that making the inputs costs little beside
// compressing them.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) {
    for (auto& word : s_) word = splitmix(seed);
  }
  std::uint64_t next() {
    const std::uint64_t result = std::rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0], s_[3] ^= s_[1], s_[1] ^= s_[2], s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = std::rotl(s_[3], 45);
    return result;
  }
  // Uniform in [0, n), n > 0.
  std::uint64_t below(std::uint64_t n) {
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(next()) * n) >> 64);
  }
  std::uint64_t between(std::uint64_t low, std::uint64_t high) {
    return low + below(high - low + 1);
  }
  bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1p-53 < p; }
  // Spread evenly over the orders of magnitude of [low, high].
  std::uint64_t log_between(std::uint64_t low, std::uint64_t high) {
    const double u = static_cast<double>(next() >> 11) * 0x1p-53;
    const auto value = static_cast<std::uint64_t>(
        std::exp(std::log(static_cast<double>(low)) + u * (std::log(static_cast<double>(high) + 1) -
                                                           std::log(static_cast<double>(low)))));
    return std::clamp(value, low, high);
  }
  void fill(std::uint8_t* out, std::size_t size) {
    for (; size >= 8; out += 8, size -= 8) {
      const std::uint64_t word = next();
      std::memcpy(out, &word, 8);
    }
    for (std::uint64_t word = next(); size > 0; --size, word >>= 8)
      *out++ = static_cast<std::uint8_t>(word);
  }

 private:
  std::uint64_t s_[4];
};

// -- real text -----------------------------------------------------------------

// The files below `root` whose names end in `extension`, concatenated in
// sorted path order, up to `limit` bytes.
Bytes concatenated_files(const fs::path& root, std::string_view extension, std::size_t limit) {
  std::vector<fs::path> paths;
  std::error_code error;
  for (fs::recursive_directory_iterator
           it(root, fs::directory_options::skip_permission_denied, error),
       end;
       !error && it != end; it.increment(error)) {
    if (it->is_regular_file(error) && it->path().native().ends_with(extension))
      paths.push_back(it->path());
  }
  std::sort(paths.begin(), paths.end());
  Bytes out;
  for (const auto& path : paths) {
    if (out.size() >= limit) break;
    std::ifstream in(path, std::ios::binary);
    out.insert(out.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (out.size() > limit) out.resize(limit);
  return out;
}

struct Sources {
  fs::path python_root;
  fs::path headers_root;
  Bytes python;                    // the interpreter's standard-library .py files
  Bytes headers;                   // C headers
  std::vector<std::string> words;  // the identifiers of the Python sources, for prose-like text

  void load(bool need_python, bool need_headers) {
    constexpr std::size_t kLimit = std::size_t{64} << 20;
    if (need_python && python.empty()) {
      python = concatenated_files(python_root, ".py", kLimit);
      if (python.empty())
        fail("no .py files under " + python_root.string() + " (--python-sources DIR)");
      collect_words();
    }
    if (need_headers && headers.empty()) {
      headers = concatenated_files(headers_root, ".h", kLimit);
      if (headers.empty()) fail("no .h files under " + headers_root.string() + " (--headers DIR)");
    }
  }

  [[noreturn]] static void fail(const std::string& message) {
    std::fprintf(stderr, "deflate_corpus: %s\n", message.c_str());
    std::exit(2);
  }

 private:
  void collect_words() {
    std::string word;
    for (std::size_t i = 0; i < python.size() && words.size() < 200000; ++i) {
      const char c = static_cast<char>(python[i]);
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') {
        word += c;
      } else if (!word.empty()) {
        if (word.size() > 1) words.push_back(word);
        word.clear();
      }
    }
  }
};

// -- the families --------------------------------------------------------------

constexpr std::size_t kWindow = 32768;
constexpr std::size_t kBlockSymbols = 16383;

// A slice of `text` of `size` bytes at a random offset, wrapping round.
void slice_of(Rng& rng, const Bytes& text, std::size_t size, Bytes& out) {
  std::size_t at = rng.below(text.size());
  while (out.size() < size) {
    const std::size_t take = std::min(size - out.size(), text.size() - at);
    out.insert(out.end(), text.begin() + at, text.begin() + at + take);
    at = 0;
  }
}

void make_random(Rng& rng, std::size_t size, std::uint64_t, const Sources&, Bytes& out) {
  out.resize(size);
  rng.fill(out.data(), size);
}

// Bytes from a small alphabet, some symbols much likelier than others: many
// short matches, where the lazy choice between neighbours decides.
void make_alphabet(Rng& rng, std::size_t size, std::uint64_t, const Sources&, Bytes& out) {
  std::uint8_t symbols[64];
  rng.fill(symbols, sizeof symbols);
  const unsigned count = static_cast<unsigned>(rng.between(2, 64));
  const bool skewed = rng.chance(0.5);
  out.resize(size);
  for (auto& byte : out) {
    const std::uint64_t pick =
        skewed ? std::min(rng.below(count), rng.below(count)) : rng.below(count);
    byte = symbols[pick];
  }
}

void make_python(Rng& rng, std::size_t size, std::uint64_t, const Sources& sources, Bytes& out) {
  slice_of(rng, sources.python, size, out);
}

void make_headers(Rng& rng, std::size_t size, std::uint64_t, const Sources& sources, Bytes& out) {
  slice_of(rng, sources.headers, size, out);
}

// Words drawn with a heavy head, as in prose, separated by spaces,
// punctuation and line ends.
void make_words(Rng& rng, std::size_t size, std::uint64_t, const Sources& sources, Bytes& out) {
  const auto& words = sources.words;
  const std::size_t vocabulary = rng.between(std::min<std::size_t>(50, words.size()), words.size());
  while (out.size() < size) {
    const std::size_t pick = rng.log_between(1, vocabulary) - 1;
    const std::string& word = words[pick];
    out.insert(out.end(), word.begin(), word.end());
    const std::uint64_t gap = rng.below(20);
    out.push_back(gap == 0 ? '\n' : gap == 1 ? '.' : gap == 2 ? ',' : ' ');
  }
  out.resize(size);
}

// A unit of every period from 1 to 300 in turn, repeated, sometimes after a
// random prefix and with a byte changed here and there: matches of 258 out
// of phase with the input's end and with the window's slides.
void make_periodic(Rng& rng, std::size_t size, std::uint64_t turn, const Sources&, Bytes& out) {
  const std::size_t period = 1 + turn % 300;
  Bytes unit(period);
  rng.fill(unit.data(), period);
  if (rng.chance(0.3)) {
    out.resize(rng.below(std::min<std::size_t>(size, 2000) + 1));
    rng.fill(out.data(), out.size());
  }
  while (out.size() < size) out.push_back(unit[out.size() % period]);
  out.resize(size);
  if (rng.chance(0.5)) {
    const std::uint64_t every = rng.log_between(16, 1 << 20);
    for (std::size_t at = rng.below(every); at < size; at += 1 + rng.below(2 * every))
      out[at] ^= 1 + rng.below(255);
  }
}

// Runs of one byte, mostly short, some thousands of bytes long.
void make_runs(Rng& rng, std::size_t size, std::uint64_t, const Sources&, Bytes& out) {
  std::uint8_t values[8];
  rng.fill(values, sizeof values);
  const unsigned kinds = static_cast<unsigned>(rng.between(1, 8));
  const std::uint64_t longest = rng.chance(0.2) ? 100000 : rng.chance(0.5) ? 300 : 12;
  while (out.size() < size) {
    const std::size_t length = rng.log_between(1, longest);
    out.insert(out.end(), std::min(length, size - out.size()), values[rng.below(kinds)]);
  }
}

// Random bytes with copies from every distance from 1 to 33,000 in turn
// (past the farthest distance a match may have, 32,506; past 4,096, where a
// 3-byte match is dropped), of every length to beyond 258, some copies with
// a byte changed, among copies from other distances.
std::size_t turn_distance(std::uint64_t turn) { return 1 + turn % 33000; }

void make_distances(Rng& rng, std::size_t size, std::uint64_t turn, const Sources&, Bytes& out) {
  const std::size_t distance = turn_distance(turn);
  out.resize(size);
  rng.fill(out.data(), size);
  std::size_t at = std::min<std::size_t>(distance, size);
  while (at < size) {
    at += rng.below(rng.chance(0.5) ? 4 : 64);
    const std::size_t from_distance =
        rng.chance(0.7) ? distance : 1 + rng.below(std::min(at, kWindow + 300) + 1);
    const std::size_t length = rng.chance(0.3) ? rng.between(3, 6) : rng.log_between(3, 600);
    if (from_distance > at) continue;
    for (std::size_t i = 0; i < length && at < size; ++i, ++at) out[at] = out[at - from_distance];
    if (rng.chance(0.2) && at < size) out[at] ^= 1;  // a near miss one byte longer
  }
}

// Strings that all fall on a few hash chains: zlib's level-6 hash of the
// three bytes at p is ((b0 << 10) ^ (b1 << 5) ^ b2) & 0x7fff, so three-byte
// groups that differ only in the bits it drops share a chain.  The chains
// grow far past the 128 links a search follows (32 after a match of 8 or
// more, which copies of 8 to 15 bytes provoke), and most candidates fail
// at one of the byte checks before a full compare.
struct CollisionTable {
  std::vector<std::uint32_t> triples_by_hash[1 << 15];  // b0 | b1 << 8 | b2 << 16
  CollisionTable() {
    for (std::uint32_t t = 0; t < (1u << 24); ++t) {
      const std::uint32_t b0 = t & 0xff, b1 = (t >> 8) & 0xff, b2 = t >> 16;
      triples_by_hash[((b0 << 10) ^ (b1 << 5) ^ b2) & 0x7fff].push_back(t);
    }
  }
};

const CollisionTable& collision_table() {
  static const CollisionTable table;
  return table;
}

void make_collisions(Rng& rng, std::size_t size, std::uint64_t, const Sources&, Bytes& out) {
  const auto& table = collision_table();
  std::uint32_t hashes[4];
  const unsigned hash_count = static_cast<unsigned>(rng.between(1, 4));
  for (auto& hash : hashes) hash = static_cast<std::uint32_t>(rng.below(1 << 15));
  // How many triples of each chain's 512 are used: few give long true
  // matches, many give candidates that fail at the first bytes.
  const std::size_t variety = rng.log_between(2, 512);
  const double copy_chance = rng.chance(0.5) ? 0.05 : 0.0;
  const double noise_chance = rng.chance(0.5) ? 0.02 : 0.0;
  out.reserve(size + 16);
  while (out.size() < size) {
    if (out.size() >= 16 && rng.chance(copy_chance)) {
      const std::size_t length = rng.between(8, 15);
      const std::size_t from =
          out.size() - rng.between(length, std::min<std::size_t>(out.size(), 4000));
      for (std::size_t i = 0; i < length; ++i) out.push_back(out[from + i]);
      continue;
    }
    if (rng.chance(noise_chance)) out.push_back(static_cast<std::uint8_t>(rng.next()));
    const auto& bucket = table.triples_by_hash[hashes[rng.below(hash_count)]];
    const std::uint32_t triple = bucket[rng.below(std::min(variety, bucket.size()))];
    out.push_back(static_cast<std::uint8_t>(triple));
    out.push_back(static_cast<std::uint8_t>(triple >> 8));
    out.push_back(static_cast<std::uint8_t>(triple >> 16));
  }
  out.resize(size);
}

struct Family {
  const char* name;
  const char* what;
  void (*make)(Rng&, std::size_t size, std::uint64_t turn, const Sources&, Bytes& out);
  bool needs_python = false;
  bool needs_headers = false;
};

void make_mixed(Rng& rng, std::size_t size, std::uint64_t turn, const Sources& sources, Bytes& out);

const Family kFamilies[] = {
    {"random", "uniform random bytes (stored blocks)", make_random},
    {"alphabet", "random bytes of a small alphabet, some symbols likelier", make_alphabet},
    {"python", "slices of the interpreter's standard-library .py sources", make_python, true},
    {"headers", "slices of the system's C headers", make_headers, false, true},
    {"words", "prose-like words from the Python sources' identifiers", make_words, true},
    {"periodic", "a random unit of each period 1..300 in turn, repeated, some bytes changed",
     make_periodic},
    {"runs", "runs of one byte, short to 100,000", make_runs},
    {"distances", "random bytes with copies from each distance 1..33,000 in turn", make_distances},
    {"collisions", "three-byte groups on a few hash chains, with copies of 8-15 bytes",
     make_collisions},
    {"mixed", "pieces of the other families one after another (block kinds change)", make_mixed,
     true, true},
};
constexpr std::size_t kFamilyCount = std::size(kFamilies);

void make_mixed(Rng& rng, std::size_t size, std::uint64_t turn, const Sources& sources,
                Bytes& out) {
  Bytes piece;
  while (out.size() < size) {
    const Family& family = kFamilies[rng.below(kFamilyCount - 1)];
    piece.clear();
    family.make(rng, std::min<std::size_t>(size - out.size(), rng.log_between(1, 1 << 16)),
                turn + out.size(), sources, piece);
    out.insert(out.end(), piece.begin(), piece.end());
  }
}

// Sizes (a mean of about 11 KiB, so that a million inputs take minutes):
// most small, some around the multiples of 32 KiB and 64 KiB (the
// window's slides) and of 16,383 (the symbols of a block, one per byte when
// nothing matches), and one in `large_every` up to `large_max`.
std::size_t choose_size(Rng& rng, std::uint64_t large_every, std::size_t large_max) {
  const std::uint64_t lottery = rng.next();  // drawn always, so that the rest is the same
  if (large_every != 0 && lottery % large_every == 0) return rng.log_between(1 << 20, large_max);
  const std::uint64_t kind = rng.below(1000);
  if (kind < 705) return rng.log_between(1, 4 << 10);
  if (kind < 955) return rng.log_between(4 << 10, 64 << 10);
  if (kind < 985) {
    const std::size_t unit = rng.chance(0.4)   ? kBlockSymbols
                             : rng.chance(0.5) ? kWindow
                                               : 2 * kWindow;
    const std::size_t near = unit * rng.between(1, 4);
    const std::size_t spread = rng.chance(0.5) ? 4 : 300;
    return near - spread + rng.below(2 * spread + 1);
  }
  return rng.log_between(64 << 10, 300 << 10);
}

// -- the candidates ------------------------------------------------------------

// The system zlib's level-6 stream with these tuning values (level 6's own:
// good 8, lazy 16, nice 128, chain 128) and memory level.
Bytes zlib_stream(ByteSpan input, int good, int lazy, int nice, int chain, int memory_level = 8) {
  z_stream stream{};
  if (deflateInit2(&stream, 6, Z_DEFLATED, 15, memory_level, Z_DEFAULT_STRATEGY) != Z_OK)
    std::abort();
  if (deflateTune(&stream, good, lazy, nice, chain) != Z_OK) std::abort();
  Bytes out(deflateBound(&stream, input.size()));
  stream.next_in = const_cast<Bytef*>(input.data());
  stream.next_out = out.data();
  // Pieces of at most 1 GiB each, as compress2 does.
  std::size_t left = input.size();
  int status = Z_OK;
  do {
    const auto take = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
    stream.avail_in = take;
    left -= take;
    stream.avail_out =
        static_cast<uInt>(std::min<std::size_t>(out.size() - stream.total_out, 1u << 30));
    status = deflate(&stream, left == 0 ? Z_FINISH : Z_NO_FLUSH);
  } while (status == Z_OK);
  if (status != Z_STREAM_END) std::abort();
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// What every candidate is compared with.
Bytes reference_stream(ByteSpan input) {
  uLongf length = compressBound(input.size());
  Bytes out(length);
  if (compress2(out.data(), &length, input.data(), input.size(), 6) != Z_OK) std::abort();
  out.resize(length);
  return out;
}

class GrowingSink final : public velkorenc::core::OutputSink {
 public:
  std::span<std::uint8_t> space() noexcept override {
    if (filled_ == bytes_.size()) bytes_.resize(std::max<std::size_t>(4096, 2 * bytes_.size()));
    return std::span(bytes_).subspan(filled_);
  }
  void commit(std::size_t filled) noexcept override { filled_ += filled; }
  Bytes take() && {
    bytes_.resize(filled_);
    return std::move(bytes_);
  }

 private:
  Bytes bytes_;
  std::size_t filled_ = 0;
};

// The module's deflater given the input whole as the module gives it: the
// input borrowed, the stored bytes left out of the stream and filled in.
Bytes deflater_stream_whole(ByteSpan input) {
  velkorenc::core::Deflater deflater;
  deflater.borrow(input);
  Bytes out(velkorenc::core::Deflater::bound(input.size()));
  velkorenc::core::StoredLaterSink sink(out);
  if (!deflater.feed(input, true, sink)) std::abort();
  sink.fill(input);
  out.resize(sink.filled());
  return out;
}

// The module's deflater, given the input in pieces whose sizes follow from
// the input's length.
Bytes deflater_stream_in_pieces(ByteSpan input) {
  velkorenc::core::Deflater deflater;
  GrowingSink sink;
  Rng rng(input.size());
  std::size_t at = 0;
  do {
    const std::size_t take = std::min<std::size_t>(input.size() - at, rng.log_between(1, 1 << 18));
    const bool last = at + take == input.size();
    if (!deflater.feed(input.subspan(at, take), last, sink)) std::abort();
    at += take;
    if (last) break;
  } while (true);
  return std::move(sink).take();
}

// The own deflate's stream itself, on `threads` threads in the shortest
// segments (so that inputs from 256 KiB on are parsed in segments), given
// the input in pieces of 1 B to 256 KiB, whether or not the process would
// use it; copied, or read where it is; with `changing`, on 1 to `threads`
// threads from piece to piece.
Bytes segmented_stream(ByteSpan input, unsigned threads, bool borrowed, bool changing = false) {
  namespace level6 = velkorenc::core::level6;
  level6::DeflateStream stream(threads, level6::kLibraryPiece, level6::kShortestSegment);
  if (borrowed) stream.borrow(input);
  GrowingSink sink;
  Rng rng(input.size() + 1);
  std::size_t at = 0;
  for (;;) {
    if (changing) stream.use_threads(static_cast<unsigned>(rng.log_between(1, threads)));
    const std::size_t take = std::min<std::size_t>(input.size() - at, rng.log_between(1, 1 << 18));
    const bool last = at + take == input.size();
    if (!stream.feed(input.subspan(at, take), last, sink)) std::abort();
    at += take;
    if (last) break;
  }
  return std::move(sink).take();
}

struct Candidate {
  const char* name;
  const char* what;
  // The stream of `input` with `threads` threads (1 = serial).
  Bytes (*compress)(ByteSpan input, unsigned threads);
  bool uses_threads;  // false: run with one thread count only
};

const Candidate kCandidates[] = {
    {"deflater", "the module's Deflater, given the input whole as the module gives it",
     [](ByteSpan input, unsigned) { return deflater_stream_whole(input); }, false},
    {"deflater-pieces", "the module's Deflater, given the input in pieces of 1 B to 256 KiB",
     [](ByteSpan input, unsigned) { return deflater_stream_in_pieces(input); }, false},
    {"segments", "the own deflate on each thread count, in segments of 128 KiB, input in pieces",
     [](ByteSpan input, unsigned threads) { return segmented_stream(input, threads, false); }, true},
    {"segments-borrowed", "the same, reading the input where it is",
     [](ByteSpan input, unsigned threads) { return segmented_stream(input, threads, true); }, true},
    {"segments-changing", "the same, on 1 to that many threads from piece to piece",
     [](ByteSpan input, unsigned threads) { return segmented_stream(input, threads, true, true); },
     true},
    {"zlib", "the system zlib itself: checks the harness (no mismatch)",
     [](ByteSpan input, unsigned) { return zlib_stream(input, 8, 16, 128, 128); }, true},
    {"broken-chain", "zlib following 127 links (31 after a good match), not 128 (32): mismatches",
     [](ByteSpan input, unsigned) { return zlib_stream(input, 8, 16, 128, 127); }, true},
    {"broken-good", "zlib following 128 links, not 32, after a match of 8: mismatches",
     [](ByteSpan input, unsigned) { return zlib_stream(input, 9, 16, 128, 128); }, true},
    {"broken-lazy", "zlib bettering matches of 16 too, lazily: mismatches",
     [](ByteSpan input, unsigned) { return zlib_stream(input, 8, 17, 128, 128); }, true},
    {"broken-threads", "zlib, but with 3 or more threads a 16-bit hash: mismatches there",
     [](ByteSpan input, unsigned threads) {
       return zlib_stream(input, 8, 16, 128, 128, threads >= 3 ? 9 : 8);
     },
     true},
};

// -- the run -------------------------------------------------------------------

struct Options {
  const Candidate* candidate = &kCandidates[0];
  std::uint64_t seed = 1;
  std::uint64_t start = 0;
  std::uint64_t count = 10000;
  std::vector<const Family*> families;
  std::vector<unsigned> threads{1, 2, 3, 4};
  unsigned jobs = 2;
  std::uint64_t large_every = 50000;
  std::size_t large_max = std::size_t{64} << 20;
  fs::path out_dir = ".";
  std::optional<fs::path> input_file;
  Sources sources;
};

struct Tally {
  std::uint64_t inputs = 0, bytes = 0, mismatches = 0;
  double seconds = 0;
};

struct Mismatch {
  std::uint64_t index;
  const Family* family;
  unsigned threads;
  std::size_t size, reference_size, candidate_size, first_difference;
  fs::path saved;
};

class Run {
 public:
  explicit Run(Options& options) : options_(options), tallies_(options.families.size()) {}

  void go() {
    std::vector<std::thread> workers;
    for (unsigned j = 1; j < options_.jobs; ++j) workers.emplace_back([this] { work(); });
    work();
    for (auto& worker : workers) worker.join();
  }

  bool report(double seconds) const {
    std::printf("%-11s %10s %10s %11s %9s\n", "family", "inputs", "MiB", "mismatches", "seconds");
    Tally total;
    for (std::size_t f = 0; f < tallies_.size(); ++f) {
      const Tally& t = tallies_[f];
      std::printf("%-11s %10llu %10.1f %11llu %9.1f\n", options_.families[f]->name,
                  static_cast<unsigned long long>(t.inputs), t.bytes / 1048576.0,
                  static_cast<unsigned long long>(t.mismatches), t.seconds);
      total.inputs += t.inputs, total.bytes += t.bytes, total.mismatches += t.mismatches;
      total.seconds += t.seconds;
    }
    std::printf("%-11s %10llu %10.1f %11llu %9.1f  (%.1f s wall, %u jobs)\n", "total",
                static_cast<unsigned long long>(total.inputs), total.bytes / 1048576.0,
                static_cast<unsigned long long>(total.mismatches), total.seconds, seconds,
                options_.jobs);
    if (first_) {
      const Mismatch& m = *first_;
      std::printf(
          "first mismatch: input %llu (%s), %zu bytes, %u thread(s): streams of %zu (zlib) and %zu "
          "bytes differ first at byte %zu; input saved to %s\n",
          static_cast<unsigned long long>(m.index), m.family->name, m.size, m.threads,
          m.reference_size, m.candidate_size, m.first_difference, m.saved.c_str());
      std::printf(
          "again: deflate_corpus --candidate %s --seed %llu --large-every %llu --large-mib %zu "
          "--families %s --start %llu --count 1\n",
          options_.candidate->name, static_cast<unsigned long long>(options_.seed),
          static_cast<unsigned long long>(options_.large_every), options_.large_max >> 20,
          m.family->name, static_cast<unsigned long long>(m.index));
    }
    return total.mismatches == 0;
  }

 private:
  void work() {
    Bytes input;
    for (;;) {
      const std::uint64_t offset = next_.fetch_add(1);
      if (offset >= options_.count) return;
      const std::uint64_t index = options_.start + offset;
      const std::size_t f = index % options_.families.size();
      const Family& family = *options_.families[f];
      const auto began = Clock::now();
      std::uint64_t seed_state = options_.seed * 0x100000001b3u ^ index;
      Rng rng(splitmix(seed_state));
      const std::size_t size = choose_size(rng, options_.large_every, options_.large_max);
      input.clear();
      family.make(rng, size, index / kFamilyCount, options_.sources, input);
      const std::uint64_t mismatches = compare(index, family, input);
      const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
      std::lock_guard lock(mutex_);
      Tally& t = tallies_[f];
      ++t.inputs, t.bytes += input.size(), t.mismatches += mismatches, t.seconds += seconds;
      done_ += 1, mismatched_ += mismatches;
      show_progress();
    }
  }

  // 1 when the stream of some thread count differs from zlib's (the
  // lowest such count is described if this is the first input that
  // differs), else 0.
  std::uint64_t compare(std::uint64_t index, const Family& family, ByteSpan input) {
    const Bytes reference = reference_stream(input);
    for (const unsigned threads : options_.threads) {
      const Bytes candidate = options_.candidate->compress(input, threads);
      if (candidate != reference) {
        note_first(Mismatch{index,
                            &family,
                            threads,
                            input.size(),
                            reference.size(),
                            candidate.size(),
                            first_difference(reference, candidate),
                            {}},
                   input);
        return 1;
      }
      if (!options_.candidate->uses_threads) break;
    }
    return 0;
  }

  // A line on stderr each minute, so that a long run shows that it runs.
  void show_progress() {
    const auto now = Clock::now();
    if (now - last_progress_ < std::chrono::minutes(1)) return;
    last_progress_ = now;
    std::fprintf(stderr, "deflate_corpus: %llu of %llu inputs, %llu mismatched\n",
                 static_cast<unsigned long long>(done_),
                 static_cast<unsigned long long>(options_.count),
                 static_cast<unsigned long long>(mismatched_));
  }

  static std::size_t first_difference(const Bytes& a, const Bytes& b) {
    return static_cast<std::size_t>(
        std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first -
        a.begin());
  }

  void note_first(Mismatch mismatch, ByteSpan input) {
    std::lock_guard lock(mutex_);
    if (first_ && first_->index <= mismatch.index) return;
    mismatch.saved = options_.out_dir / ("deflate-corpus-" + std::string(mismatch.family->name) +
                                         "-" + std::to_string(options_.seed) + "-" +
                                         std::to_string(mismatch.index) + ".bin");
    std::ofstream(mismatch.saved, std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()),
               static_cast<std::streamsize>(input.size()));
    first_ = mismatch;
  }

  Options& options_;
  std::atomic<std::uint64_t> next_{0};
  std::mutex mutex_;
  std::vector<Tally> tallies_;
  std::optional<Mismatch> first_;
  std::uint64_t done_ = 0, mismatched_ = 0;
  Clock::time_point last_progress_ = Clock::now();
};

// One input from a file (a saved mismatch), with every thread count.
int compare_file(const Options& options) {
  std::ifstream in(*options.input_file, std::ios::binary);
  if (!in) Sources::fail("cannot read " + options.input_file->string());
  const Bytes input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const Bytes reference = reference_stream(input);
  int status = 0;
  for (const unsigned threads : options.threads) {
    const Bytes candidate = options.candidate->compress(input, threads);
    const bool same = candidate == reference;
    std::printf("%s, %zu bytes, %u thread(s): %s (%zu and %zu bytes)\n",
                options.input_file->c_str(), input.size(), threads, same ? "same" : "DIFFERENT",
                reference.size(), candidate.size());
    if (!same) status = 1;
    if (!options.candidate->uses_threads) break;
  }
  return status;
}

// -- options -------------------------------------------------------------------

std::uint64_t number(std::string_view text, const char* option) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    Sources::fail(std::string(option) + " takes a number, not '" + std::string(text) + "'");
  }
  return value;
}

std::vector<std::string_view> split(std::string_view list) {
  std::vector<std::string_view> items;
  for (std::size_t at = 0; at <= list.size();) {
    const std::size_t comma = std::min(list.find(',', at), list.size());
    items.push_back(list.substr(at, comma - at));
    at = comma + 1;
  }
  return items;
}

void list_choices() {
  std::printf("families:\n");
  for (const Family& family : kFamilies) std::printf("  %-11s %s\n", family.name, family.what);
  std::printf("candidates:\n");
  for (const Candidate& candidate : kCandidates)
    std::printf("  %-17s %s\n", candidate.name, candidate.what);
}

Options parse(int argc, char** argv) {
  Options options;
  options.sources.python_root = VELKORENC_CORPUS_PYTHON_SOURCES;
  options.sources.headers_root = "/usr/include";
  for (const Family& family : kFamilies) options.families.push_back(&family);
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--list") {
      list_choices();
      std::exit(0);
    }
    if (i + 1 >= argc) Sources::fail("unknown option or missing value: " + std::string(option));
    const std::string_view value = argv[++i];
    if (option == "--candidate") {
      const auto* found = std::find_if(std::begin(kCandidates), std::end(kCandidates),
                                       [&](const Candidate& c) { return value == c.name; });
      if (found == std::end(kCandidates))
        Sources::fail("no candidate " + std::string(value) + " (--list)");
      options.candidate = found;
    } else if (option == "--seed") {
      options.seed = number(value, "--seed");
    } else if (option == "--start") {
      options.start = number(value, "--start");
    } else if (option == "--count") {
      options.count = number(value, "--count");
    } else if (option == "--families") {
      options.families.clear();
      for (const auto name : split(value)) {
        const auto* found = std::find_if(std::begin(kFamilies), std::end(kFamilies),
                                         [&](const Family& f) { return name == f.name; });
        if (found == std::end(kFamilies))
          Sources::fail("no family " + std::string(name) + " (--list)");
        options.families.push_back(found);
      }
    } else if (option == "--threads") {
      options.threads.clear();
      for (const auto item : split(value)) {
        const auto threads = number(item, "--threads");
        if (threads < 1 || threads > 64) Sources::fail("--threads: counts from 1 to 64");
        options.threads.push_back(static_cast<unsigned>(threads));
      }
    } else if (option == "--jobs") {
      options.jobs =
          static_cast<unsigned>(std::clamp<std::uint64_t>(number(value, "--jobs"), 1, 64));
    } else if (option == "--large-every") {
      options.large_every = number(value, "--large-every");
    } else if (option == "--large-mib") {
      options.large_max = std::max<std::size_t>(number(value, "--large-mib"), 1) << 20;
    } else if (option == "--out") {
      options.out_dir = value;
    } else if (option == "--python-sources") {
      options.sources.python_root = value;
    } else if (option == "--headers") {
      options.sources.headers_root = value;
    } else if (option == "--input") {
      options.input_file = fs::path(value);
    } else {
      Sources::fail("unknown option " + std::string(option) +
                    " (see the top of deflate_corpus.cpp)");
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parse(argc, argv);
  if (options.input_file) return compare_file(options);
  bool python = false, headers = false;
  for (const Family* family : options.families) {
    python |= family->needs_python;
    headers |= family->needs_headers;
    if (family->make == make_collisions) collision_table();
  }
  options.sources.load(python, headers);
  std::printf("deflate_corpus: candidate %s, seed %llu, inputs %llu..%llu, thread counts",
              options.candidate->name, static_cast<unsigned long long>(options.seed),
              static_cast<unsigned long long>(options.start),
              static_cast<unsigned long long>(options.start + options.count - 1));
  for (const unsigned threads : options.threads) std::printf(" %u", threads);
  std::printf("%s, zlib %s\n",
              options.candidate->uses_threads ? "" : " (this candidate takes no count: 1 only)",
              zlibVersion());
  std::fflush(stdout);
  Run run(options);
  const auto began = Clock::now();
  run.go();
  return run.report(std::chrono::duration<double>(Clock::now() - began).count()) ? 0 : 1;
}

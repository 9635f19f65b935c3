#include "velkorenc/core/zlib/zlib.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "velkorenc/core/platform/cpu.hpp"
#include "velkorenc/core/platform/workers.hpp"
#include "velkorenc/core/zlib/adler32_kernels.hpp"
#include "velkorenc/core/zlib/crc32_kernels.hpp"
#include "velkorenc/core/zlib/deflate.hpp"
#include "velkorenc/core/zlib/small_deflate.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace velkorenc::core {
namespace {

// Enough for a level-6 deflate state with its window and tables (about
// 262 KiB) and for an inflate state with its window (about 40 KiB).
constexpr std::size_t kBlockSize = std::size_t{320} << 10;
constexpr std::size_t kAlignment = 64;

// The block that a thread keeps for its streams, allocated on first use.
struct ThreadBlock {
  ~ThreadBlock() { std::free(memory); }
  std::uint8_t* memory = nullptr;
  bool taken = false;
};

thread_local ThreadBlock thread_block;

// zlib counts sizes in uInt: longer runs go in pieces of at most this.
constexpr std::size_t kMaxPiece = UINT_MAX;

uInt piece(std::size_t size) noexcept {
  return static_cast<uInt>(std::min(size, kMaxPiece));
}

// What pump returns when the sink has no room left.
constexpr int kNoRoom = INT_MIN;

// Runs `step` (deflate or inflate with a flush mode) over all of `input`, in
// pieces zlib can count, into the room the sink offers; the last piece is
// flushed with Z_FINISH when `last`.  Stops at the first code other than
// Z_OK and Z_BUF_ERROR (the end of the stream or a failure) and returns it;
// else, once the input is taken and the room not filled, the last code.
template <class Step>
int pump(z_stream& stream, ByteSpan input, bool last, OutputSink& out, Step step) noexcept {
  // The library only reads its input through next_in.
  stream.next_in = const_cast<Bytef*>(input.data());
  std::size_t left = input.size();
  int code;
  do {
    stream.avail_in = piece(left);
    left -= stream.avail_in;
    const int flush = last && left == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      const std::span<std::uint8_t> room = out.space();
      if (room.empty()) return kNoRoom;
      stream.next_out = room.data();
      stream.avail_out = piece(room.size());
      const uInt offered = stream.avail_out;
      code = step(&stream, flush);
      out.commit(offered - stream.avail_out);
      if (code != Z_OK && code != Z_BUF_ERROR) return code;
    } while (stream.avail_out == 0);
  } while (left != 0);
  return code;
}

}  // namespace

const char* zlib_library_version() noexcept { return zlibVersion(); }

bool OutputSink::put_input(std::uint64_t, ByteSpan bytes) noexcept { return copy_to(*this, bytes); }

bool StoredLaterSink::put_input(std::uint64_t position, ByteSpan bytes) noexcept {
  if (bytes.size() > buffer_.size() - filled_) return false;
  try {
    left_out_.push_back({filled_, position, bytes.size()});
  } catch (const std::bad_alloc&) {
    return copy_to(*this, bytes);
  }
  filled_ += bytes.size();
  return true;
}

void StoredLaterSink::fill(ByteSpan input) const noexcept {
  for (const LeftOut& gap : left_out_) {
    std::memcpy(buffer_.data() + gap.at, input.data() + gap.position, gap.length);
  }
}

bool copy_to(OutputSink& out, ByteSpan bytes) noexcept {
  while (!bytes.empty()) {
    const std::span<std::uint8_t> room = out.space();
    if (room.empty()) return false;
    const std::size_t piece = std::min(room.size(), bytes.size());
    std::memcpy(room.data(), bytes.data(), piece);
    out.commit(piece);
    bytes = bytes.subspan(piece);
  }
  return true;
}

const char* kernel_name(CrcKernel kernel) noexcept {
  switch (kernel) {
    case CrcKernel::kZlib: return "zlib";
    case CrcKernel::kClmul: return "clmul";
  }
  return "unknown";
}

bool can_run(CrcKernel kernel) noexcept {
  return kernel == CrcKernel::kZlib || cpu_features().clmul;
}

// The one place where the kernel is chosen, once per process.
CrcKernel chosen_crc_kernel() noexcept {
  static const CrcKernel kernel = fastest_runnable(kCrcKernels);
  return kernel;
}

namespace {

// The reflected CRC-32 table, for the bytes after the folded lanes.
constexpr std::array<std::uint32_t, 256> crc_byte_table() noexcept {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t v = 0; v < 256; ++v) {
    std::uint32_t r = v;
    for (int bit = 0; bit < 8; ++bit) r = (r >> 1) ^ ((0u - (r & 1u)) & 0xEDB88320u);
    table[v] = r;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kCrcByteTable = crc_byte_table();

}  // namespace

std::uint32_t crc32_with(CrcKernel kernel, std::uint32_t crc, ByteSpan data) noexcept {
  if (kernel != CrcKernel::kClmul || !can_run(kernel)) {
    // crc32 of no bytes needs no pointer.
    if (data.empty()) return crc;
    return static_cast<std::uint32_t>(::crc32_z(crc, data.data(), data.size()));
  }
  // zlib's CRC is the register inverted before and after.  Short pieces,
  // as small messages make, stay out of the library's call and set-up.
  std::uint32_t reg = ~crc;
  const std::size_t folded = data.size() & ~std::size_t{15};
  if (folded != 0) reg = detail::crc32_register_clmul(reg, data.data(), folded);
  for (const std::uint8_t byte : data.subspan(folded)) {
    reg = kCrcByteTable[(reg ^ byte) & 0xFFu] ^ (reg >> 8);
  }
  return ~reg;
}

std::uint32_t crc32(std::uint32_t crc, ByteSpan data) noexcept {
  return crc32_with(chosen_crc_kernel(), crc, data);
}

bool crc32_on_threads(std::uint32_t crc, ByteSpan data, unsigned threads, Checkpoint& checkpoint,
                      std::uint32_t& out) noexcept {
  // Runs of at least a piece, at most kMostRuns of them: a few a thread, so
  // that one slowed down holds up little.
  constexpr std::size_t kMostRuns = 64;
  const std::size_t wanted = std::max<std::size_t>(1, data.size() / kFramePiece);
  const std::size_t runs = threads > 1 ? std::min(kMostRuns, wanted) : 1;
  if (runs == 1) {
    const bool done = in_pieces(data.size(), kFramePiece, checkpoint, [&](std::size_t at, std::size_t length) {
      crc = crc32(crc, data.subspan(at, length));
    });
    out = crc;
    return done;
  }
  const std::size_t run_length = (data.size() + runs - 1) / runs;
  const auto run = [&](std::size_t r) {
    return data.subspan(r * run_length, std::min(run_length, data.size() - r * run_length));
  };
  std::array<std::uint32_t, kMostRuns> crcs{};
  const SharedPieces shared = share_pieces(threads, runs, checkpoint, [&](std::size_t r) {
    crcs[r] = crc32(0, run(r));
    return true;
  });
  if (shared.stopped) return false;
  for (std::size_t r = 0; r < runs; ++r) crc = crc32_combine(crc, crcs[r], run(r).size());
  out = crc;
  return true;
}

const char* kernel_name(AdlerKernel kernel) noexcept {
  switch (kernel) {
    case AdlerKernel::kZlib: return "zlib";
    case AdlerKernel::kAvx2: return "avx2";
  }
  return "unknown";
}

bool can_run(AdlerKernel kernel) noexcept {
  return kernel == AdlerKernel::kZlib || cpu_features().avx2;
}

// The one place where the kernel is chosen, once per process.
AdlerKernel chosen_adler_kernel() noexcept {
  static const AdlerKernel kernel = fastest_runnable(kAdlerKernels);
  return kernel;
}

std::uint32_t adler32_with(AdlerKernel kernel, std::uint32_t adler, ByteSpan data) noexcept {
  std::size_t blocks = 0;
  if (kernel == AdlerKernel::kAvx2 && can_run(kernel)) {
    blocks = data.size() & ~std::size_t{31};
    if (blocks != 0) adler = detail::adler32_avx2(adler, data.data(), blocks);
  }
  // adler32 of no bytes needs no pointer.
  if (blocks == data.size()) return adler;
  return static_cast<std::uint32_t>(::adler32_z(adler, data.data() + blocks, data.size() - blocks));
}

std::uint32_t adler32(std::uint32_t adler, ByteSpan data) noexcept {
  return adler32_with(chosen_adler_kernel(), adler, data);
}

std::uint32_t crc32_combine(std::uint32_t first, std::uint32_t second,
                            std::uint64_t second_length) noexcept {
  return static_cast<std::uint32_t>(
      ::crc32_combine(first, second, static_cast<z_off_t>(second_length)));
}

StreamMemory::StreamMemory() noexcept {
  ThreadBlock& mine = thread_block;
  if (mine.taken) return;
  if (!mine.memory) mine.memory = static_cast<std::uint8_t*>(std::aligned_alloc(kAlignment, kBlockSize));
  if (!mine.memory) return;
  mine.taken = true;
  block_ = mine.memory;
}

StreamMemory::~StreamMemory() {
  if (block_) thread_block.taken = false;
}

void StreamMemory::attach(z_stream& stream) noexcept {
  stream.zalloc = &StreamMemory::allocate;
  stream.zfree = &StreamMemory::release;
  stream.opaque = this;
}

void* StreamMemory::allocate(void* opaque, unsigned items, unsigned size) noexcept {
  auto* self = static_cast<StreamMemory*>(opaque);
  const std::size_t bytes = std::size_t{items} * size;
  const std::size_t rounded = (bytes + kAlignment - 1) & ~(kAlignment - 1);
  if (self->block_ && rounded <= kBlockSize - self->used_) {
    void* address = self->block_ + self->used_;
    self->used_ += rounded;
    return address;
  }
  return std::malloc(bytes ? bytes : 1);
}

void StreamMemory::release(void* opaque, void* address) noexcept {
  auto* self = static_cast<StreamMemory*>(opaque);
  const auto* p = static_cast<std::uint8_t*>(address);
  // Memory of the block comes back all at once, when the stream is done.
  if (self->block_ && p >= self->block_ && p < self->block_ + kBlockSize) return;
  std::free(address);
}

namespace {

// zlib.compress's memory level, and a smaller one whose tables are 16 times
// smaller (zlib clears the hash table of every new stream).
constexpr int kDefaultMemoryLevel = 8;
constexpr int kSmallMemoryLevel = 4;
// Level 6 walks at most 128 earlier positions of a hash chain, or a quarter
// of that after a match of 8 bytes or more.
constexpr std::size_t kFewestChainSteps = 128 / 4;
static_assert(kSmallDeflateLimit == 16 * (kFewestChainSteps + 1) + 2,
              "the longest input that searched_in_full can accept");
// A block is cut after this many symbols less one, and every byte makes at
// most one symbol.
static_assert(kSmallDeflateLimit + 2 <= std::size_t{1} << (kSmallMemoryLevel + 6),
              "no input searched in full is cut into blocks at the small level");

}  // namespace

// The reasoning holds for zlib itself, from 1.2.11 to 1.3.1, when the
// library that runs is the one built against: a fork may hash otherwise.
bool deflate_is_understood() noexcept {
  static const bool understood = [] {
    if (ZLIB_VERNUM < 0x12b0 || ZLIB_VERNUM > 0x131f) return false;
    if (std::strcmp(zlibVersion(), ZLIB_VERSION) != 0) return false;
    return std::strspn(ZLIB_VERSION, "0123456789.") == std::strlen(ZLIB_VERSION);
  }();
  return understood;
}

namespace {

// The library's own stream of `input` at `memory_level`, into `out`; its
// length, or 0 when it could not be made.
std::size_t library_stream(ByteSpan input, int memory_level, std::span<std::uint8_t> out) noexcept {
  z_stream stream{};
  if (deflateInit2(&stream, 6, Z_DEFLATED, MAX_WBITS, memory_level, Z_DEFAULT_STRATEGY) != Z_OK) {
    return 0;
  }
  stream.next_in = const_cast<Bytef*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  const bool ended = deflate(&stream, Z_FINISH) == Z_STREAM_END;
  deflateEnd(&stream);
  return ended ? stream.total_out : 0;
}

// Inputs that take every kind of block (fixed and dynamic codes here, and
// stored for the noise below) and matches up to the longest, each searched
// in full.
struct Probe {
  const char* text;
  int repeats;
};
constexpr Probe kProbes[] = {
    {"{\"id\": 17, \"from\": \"sensor-42\", \"reading\": 21.375, \"note\": \"xxxxxxxxxxxx\"}", 1},
    {"@ABCDEFGHIJKLMNO", 33},
    {"abracadabra, abracadabra; a cadabra", 2},
    {"8b0e7153bf7c3706d85c524e440066559a6656c90bd5482a90a29b9fa5ff5180bc0dbc0e15637ebb8e3b91d26ab4a829",
     1},
    {"Q", 1},
    {"", 1},
};

// Takes each short cut off when it does not give the library's stream.
struct ShortCutProbe : DeflateShortCuts {
  void try_on(ByteSpan data) noexcept {
    std::array<std::uint8_t, kSmallDeflateRoom> expected, small, native;
    const std::size_t length = library_stream(data, kDefaultMemoryLevel, expected);
    const auto same = [&](std::span<const std::uint8_t> stream) {
      return length != 0 && std::equal(stream.begin(), stream.end(), expected.begin(),
                                       expected.begin() + static_cast<std::ptrdiff_t>(length));
    };
    small_tables = small_tables && same({small.data(), library_stream(data, kSmallMemoryLevel, small)});
    without_library = without_library && same({native.data(), deflate_small(data, native)});
  }
};

}  // namespace

const DeflateShortCuts& deflate_short_cuts() noexcept {
  static const DeflateShortCuts cuts = [] {
    ShortCutProbe found;
    found.small_tables = found.without_library = deflate_is_understood();
    std::array<std::uint8_t, kSmallDeflateLimit> input;
    for (const Probe& probe : kProbes) {
      const std::size_t piece = std::strlen(probe.text);
      std::size_t size = 0;
      for (int i = 0; i < probe.repeats; ++i, size += piece) {
        std::memcpy(input.data() + size, probe.text, piece);
      }
      found.try_on({input.data(), size});
    }
    constexpr std::size_t kNoise = 64;
    std::uint32_t x = 1;
    for (std::size_t i = 0; i < kNoise; ++i) {
      input[i] = static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    }
    found.try_on({input.data(), kNoise});
    return DeflateShortCuts(found);
  }();
  return cuts;
}

// At level 6 the memory level decides two things only: how many heads the
// hash table of three-byte strings has (2^15 or 2^11), and after how many
// symbols a block is cut, which an input this short never reaches.  The
// table only groups positions: the search for a match walks the earlier
// positions of a group, newest first, passing over those whose bytes differ
// (with 8 bits of hash or more, two strings of one head that share their
// first two bytes share the third), for at least 32 steps.  A search that
// is never cut short meets the same matches in the same order under either
// table, and in deflate_small, which walks only the positions of the same
// three bytes.  Both hashes keep the low four bits of a string's
// third byte as their own low four bits, so no group has more positions than
// there are third bytes with those bits; when none has more than 33, no
// search is cut.
namespace {

// Probe inputs for the own deflate, each of a family whose rules it must
// follow: text-like words over several blocks and window slides, data
// repeating with a period and sparse changes (matches across the slide
// points), inputs ending just past 64 KiB inside long matches and near a
// slide, and noise (stored blocks).  The words are also parsed in segments
// on several threads.
std::vector<std::uint8_t> own_deflate_probe(int kind) {
  std::uint32_t x = 12345u + static_cast<std::uint32_t>(kind);
  const auto next = [&x] { return (x = x * 1664525u + 1013904223u) >> 8; };
  std::vector<std::uint8_t> data;
  switch (kind) {
    case 0: {  // words
      static constexpr const char* kWords[] = {"the ", "deflate ", "of ", "zlib, ", "window ", "slides\n",
                                               "block ", "tree ", "match ", "lazy "};
      while (data.size() < 300000) {
        const char* word = kWords[next() % 10];
        data.insert(data.end(), word, word + std::strlen(word));
        if (next() % 7 == 0) data.push_back(static_cast<std::uint8_t>(next()));
      }
      break;
    }
    case 1:  // a period of 1000 with sparse changes
      for (std::size_t i = 0; i < 200000; ++i) {
        data.push_back(static_cast<std::uint8_t>(next() % 97 == 0 ? next() : (i % 1000) * 7 % 251));
      }
      break;
    case 2:  // ends inside a long match, just past 64 KiB
      for (std::size_t i = 0; i < 65536 + 100; ++i) data.push_back(static_cast<std::uint8_t>(i % 777 * 13));
      break;
    case 3:  // ends where the window slides near its end
      for (std::size_t i = 0; i < 65400; ++i) data.push_back(static_cast<std::uint8_t>(i % 300 + (i / 5000)));
      break;
    case 4:  // noise
      for (std::size_t i = 0; i < 100000; ++i) data.push_back(static_cast<std::uint8_t>(next()));
      break;
    default:  // short
      for (const char* s = "abracadabra, abracadabra; a cadabra! "; *s; ++s) data.push_back(static_cast<std::uint8_t>(*s));
      break;
  }
  return data;
}

bool own_deflate_agrees(int kind) noexcept {
  try {
    const std::vector<std::uint8_t> data = own_deflate_probe(kind);
    std::vector<std::uint8_t> expected(Deflater::bound(data.size())), made(expected.size());
    const std::size_t length = library_stream(data, kDefaultMemoryLevel, expected);
    const auto same = [&](unsigned threads) {
      level6::DeflateStream own(threads, level6::kLibraryPiece, level6::kShortestSegment);
      FixedSink sink(made);
      const std::size_t half = data.size() / 2;
      const bool fed = own.feed(ByteSpan(data).first(half), false, sink) &&
                       own.feed(ByteSpan(data).subspan(half), true, sink);
      return fed && length != 0 && sink.filled() == length &&
             std::equal(made.begin(), made.begin() + static_cast<std::ptrdiff_t>(length), expected.begin());
    };
    return same(1) && (kind != 0 || same(3));
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

bool own_deflate_available() noexcept {
  static const bool available = [] {
    // 1.2.12 on: the versions whose deflate was compared with this one.
    if (ZLIB_VERNUM < 0x12c0 || !deflate_is_understood()) return false;
    bool agree = true;
    for (int kind = 0; kind <= 5 && agree; ++kind) agree = own_deflate_agrees(kind);
    // The probes' tables are not kept: a call whose stream will be stored
    // lends the deflate its own memory, and its peak stays that of its text.
    level6::RecentTableOwner::release_kept();
#if defined(__GLIBC__)
    malloc_trim(0);  // nor the probes' other memory, freed but still mapped
#endif
    return agree;
  }();
  return available;
}

bool searched_in_full(ByteSpan input) noexcept {
  if (input.size() > kSmallDeflateLimit || !deflate_is_understood()) return false;
  if (input.size() < 3) return true;
  const std::uint8_t* third = input.data() + 2;
  const std::size_t positions = input.size() - 2;
  // Four counts of each value, taken in turn, so that a run of one value
  // does not wait on its own count.
  std::array<std::array<std::uint16_t, 16>, 4> counts{};
  std::size_t at = 0;
  for (; at + 4 <= positions; at += 4) {
    for (std::size_t lane = 0; lane < 4; ++lane) ++counts[lane][third[at + lane] & 15u];
  }
  for (; at < positions; ++at) ++counts[0][third[at] & 15u];
  for (std::size_t value = 0; value < 16; ++value) {
    const std::size_t group = std::size_t{counts[0][value]} + counts[1][value] +
                              counts[2][value] + counts[3][value];
    if (group > kFewestChainSteps + 1) return false;
  }
  return true;
}

Deflater::Deflater(unsigned threads) noexcept : threads_(threads) { memory_.attach(stream_); }

Deflater::~Deflater() {
  if (started_) deflateEnd(&stream_);
}

std::size_t Deflater::bound(std::size_t size) noexcept {
  // zlib's own bound for its default window and memory level, and room to
  // spare.
  return size + (size >> 12) + (size >> 14) + (size >> 25) + 13 + 64;
}

void Deflater::use_threads(unsigned threads) noexcept {
  if (own_) own_->use_threads(threads);
}

std::size_t Deflater::lendable() const noexcept {
  return own_deflate_available() ? level6::DeflateStream::lendable(threads_) : 0;
}

bool Deflater::feed(ByteSpan input, bool last, OutputSink& out) noexcept {
  if (failure_) return false;
  if (finished_) {
    failure_ = {ZlibFailure::Kind::zlib, Z_STREAM_ERROR, nullptr};
    return false;
  }
  if (!started_ && !own_) {
    // A short input given whole may take a short cut.
    const bool whole_and_short = last && searched_in_full(input);
    if (whole_and_short && deflate_short_cuts().without_library) return feed_small(input, out);
    if (own_deflate_available()) {
      own_.reset(new (std::nothrow) level6::DeflateStream(threads_));
      if (!own_) {
        failure_ = {ZlibFailure::Kind::out_of_memory, Z_MEM_ERROR, nullptr};
        return false;
      }
      own_->lend(lent_);
      own_->borrow(borrowed_);
    } else {
      const int memory_level =
          whole_and_short && deflate_short_cuts().small_tables ? kSmallMemoryLevel : kDefaultMemoryLevel;
      const int code =
          deflateInit2(&stream_, 6, Z_DEFLATED, MAX_WBITS, memory_level, Z_DEFAULT_STRATEGY);
      if (code != Z_OK) {
        failure_ = {code == Z_MEM_ERROR ? ZlibFailure::Kind::out_of_memory : ZlibFailure::Kind::zlib,
                    code, stream_.msg};
        return false;
      }
      started_ = true;
    }
  }
  if (own_) {
    if (own_->feed(input, last, out)) return true;
    failure_ = own_->failure();
    return false;
  }
  const int code = pump(stream_, input, last, out, deflate);
  if (code == kNoRoom) {
    failure_ = {ZlibFailure::Kind::no_output_space, Z_BUF_ERROR, nullptr};
    return false;
  }
  if (code == Z_STREAM_ERROR) {
    failure_ = {ZlibFailure::Kind::zlib, code, stream_.msg};
    return false;
  }
  return true;
}

bool Deflater::feed_small(ByteSpan input, OutputSink& out) noexcept {
  finished_ = true;
  std::array<std::uint8_t, kSmallDeflateRoom> stream;
  const std::size_t length = deflate_small(input, stream);
  if (!copy_to(out, {stream.data(), length})) {
    failure_ = {ZlibFailure::Kind::no_output_space, Z_BUF_ERROR, nullptr};
    return false;
  }
  return true;
}

Inflater::Inflater() noexcept { memory_.attach(stream_); }

Inflater::~Inflater() {
  if (started_) inflateEnd(&stream_);
}

void Inflater::fail(ZlibFailure::Kind kind, int code) noexcept {
  failure_ = {kind, code, stream_.msg};
}

bool Inflater::feed(ByteSpan input, bool last, OutputSink& out) noexcept {
  if (failure_) return false;
  if (ended_) return true;
  if (!started_) {
    const int code = inflateInit2(&stream_, MAX_WBITS);
    if (code != Z_OK) {
      fail(code == Z_MEM_ERROR ? ZlibFailure::Kind::out_of_memory : ZlibFailure::Kind::zlib, code);
      return false;
    }
    started_ = true;
  }
  const int code = pump(stream_, input, last, out, inflate);
  switch (code) {
    case kNoRoom:
      failure_ = {ZlibFailure::Kind::no_output_space, Z_BUF_ERROR, nullptr};
      return false;
    case Z_OK:
    case Z_BUF_ERROR:
    case Z_STREAM_END:
      break;
    case Z_MEM_ERROR:
      fail(ZlibFailure::Kind::out_of_memory, code);
      return false;
    default:
      fail(ZlibFailure::Kind::zlib, code);
      return false;
  }
  if (code == Z_STREAM_END) {
    ended_ = true;
  } else if (last) {
    // The input ran out before the end of the stream.
    fail(ZlibFailure::Kind::zlib, code);
    return false;
  }
  return true;
}

bool samples_do_not_compress(ByteSpan data) noexcept {
  constexpr std::size_t kSample = std::size_t{32} << 10;
  if (data.size() < 3 * kSample) return false;
  const std::size_t starts[] = {0, data.size() / 2 - kSample / 2, data.size() - kSample};
  for (std::size_t start : starts) {
    Deflater deflater;
    CountingSink sink;
    if (!deflater.feed(data.subspan(start, kSample), true, sink) || sink.count() < kSample) {
      return false;
    }
  }
  return true;
}

}  // namespace velkorenc::core

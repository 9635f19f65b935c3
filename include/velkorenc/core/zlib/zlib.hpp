// The zlib library, called directly: the level-6 zlib stream, inflation and
// CRC-32, byte for byte as the interpreter's zlib module gives them.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "velkorenc/core/keying/keying.hpp"
#include "velkorenc/core/platform/pieces.hpp"

namespace velkorenc::core {

namespace level6 {
class DeflateStream;
}

// The version of the zlib library that this process runs.
const char* zlib_library_version() noexcept;

// CRC-32 of `data`, continued from `crc` (0 to start), for inputs of any size,
// by chosen_crc_kernel().
std::uint32_t crc32(std::uint32_t crc, ByteSpan data) noexcept;

// The CRC-32 of two runs of bytes one after the other, from `first`, the
// CRC-32 of the first run, and `second`, that of the second run, which is
// `second_length` bytes long.
std::uint32_t crc32_combine(std::uint32_t first, std::uint32_t second,
                            std::uint64_t second_length) noexcept;

// crc32(crc, data), on up to `threads` threads, the caller included, each
// taking runs of the data whose values are combined in order; asks
// `checkpoint` after each of the caller's runs, and stops, false, when it
// says so.
bool crc32_on_threads(std::uint32_t crc, ByteSpan data, unsigned threads, Checkpoint& checkpoint,
                      std::uint32_t& out) noexcept;

// The ways of computing it, all giving zlib's value: zlib's own crc32_z, the
// reference, and carry-less multiplication (PCLMULQDQ), about three times
// as fast, for all but the last few bytes of longer inputs.
enum class CrcKernel : std::uint8_t { kZlib, kClmul };
inline constexpr CrcKernel kCrcKernels[] = {CrcKernel::kZlib, CrcKernel::kClmul};
const char* kernel_name(CrcKernel kernel) noexcept;
bool can_run(CrcKernel kernel) noexcept;
CrcKernel chosen_crc_kernel() noexcept;
// crc32 with `kernel`; one that this CPU cannot run leaves the work to kZlib.
std::uint32_t crc32_with(CrcKernel kernel, std::uint32_t crc, ByteSpan data) noexcept;

// Adler-32 of `data`, continued from `adler` (1 to start), as zlib's
// adler32_z gives it, by chosen_adler_kernel().
std::uint32_t adler32(std::uint32_t adler, ByteSpan data) noexcept;

// The ways of computing it: zlib's own adler32_z, the reference, and AVX2,
// several times as fast, for the whole 32-byte blocks of an input.
enum class AdlerKernel : std::uint8_t { kZlib, kAvx2 };
inline constexpr AdlerKernel kAdlerKernels[] = {AdlerKernel::kZlib, AdlerKernel::kAvx2};
const char* kernel_name(AdlerKernel kernel) noexcept;
bool can_run(AdlerKernel kernel) noexcept;
AdlerKernel chosen_adler_kernel() noexcept;
// adler32 with `kernel`; one that this CPU cannot run leaves the work to kZlib.
std::uint32_t adler32_with(AdlerKernel kernel, std::uint32_t adler, ByteSpan data) noexcept;

// Somewhere for a stream to put its output: each call of space() gives room
// for at least one more byte, or an empty span when there is no more memory;
// commit(n) says that the first n bytes of the last room given were filled.
class OutputSink {
 public:
  virtual std::span<std::uint8_t> space() noexcept = 0;
  virtual void commit(std::size_t filled) noexcept = 0;
  // The next `bytes` of the stream, which are the stream's input from
  // `position` on, unchanged (a stored block's): copied by default.  A sink
  // that can read the input again may keep only where they are.
  virtual bool put_input(std::uint64_t position, ByteSpan bytes) noexcept;

 protected:
  ~OutputSink() = default;
};

// Copies all of `bytes` into the room `out` offers; false when it has no
// more room.
bool copy_to(OutputSink& out, ByteSpan bytes) noexcept;

// How a stream ended when it did not succeed.  `code` is zlib's return code
// and `message` zlib's own text for it (null when zlib gave none).
struct ZlibFailure {
  enum class Kind { none, out_of_memory, no_output_space, zlib } kind = Kind::none;
  int code = Z_OK;
  const char* message = nullptr;

  explicit operator bool() const noexcept { return kind != Kind::none; }
};

// Working memory of zlib streams: a block that each thread keeps for its
// streams, so that a stream's state does not go back to the allocator, and
// from there to the kernel, after every call.  One stream at a time uses a
// thread's block; any other takes its memory from malloc.
class StreamMemory {
 public:
  StreamMemory() noexcept;
  ~StreamMemory();
  StreamMemory(const StreamMemory&) = delete;
  StreamMemory& operator=(const StreamMemory&) = delete;

  void attach(z_stream& stream) noexcept;

 private:
  static void* allocate(void* opaque, unsigned items, unsigned size) noexcept;
  static void release(void* opaque, void* address) noexcept;

  std::uint8_t* block_ = nullptr;  // the thread's block while this holds it
  std::size_t used_ = 0;
};

// Whether the library is zlib itself at a version whose deflate is
// understood (1.2.11 to 1.3.1), and the one this code was built against.
bool deflate_is_understood() noexcept;

// Whether no search for a match in zlib's level-6 stream of `input`, given
// whole, can be cut short, with the default hash table or a smaller one.
// Then the smaller table (memory level 4) gives the same stream, and so does
// deflate_small.  False whenever that cannot be shown for this input and
// library.
bool searched_in_full(ByteSpan input) noexcept;

// Which short cuts this process takes for inputs searched in full: each is
// on when the library is one whose deflate is understood and the short cut
// gives its own streams for a few probes.
struct DeflateShortCuts {
  bool small_tables = false;     // memory level 4
  bool without_library = false;  // deflate_small
};
const DeflateShortCuts& deflate_short_cuts() noexcept;

// The zlib stream at level 6 with the library's default window and strategy:
// the bytes of zlib.compress(data, 6), whichever way the input is cut into
// pieces.  A short input given whole, when searched_in_full, is made without
// the library or else with its smaller tables (see deflate_short_cuts).
// Any other input is made by the module's own deflate where
// own_deflate_available() (see deflate.hpp), else by the library.
// What each thread of the module's own deflate can use of lent memory.
inline constexpr std::size_t kDeflateTableBytes = std::size_t{1} << 20;

class Deflater {
 public:
  // `threads`: how many threads a large stream may be made on, the caller
  // included; the stream is the same for every count.
  explicit Deflater(unsigned threads = 1) noexcept;
  // The same, once known, before the first feed.
  void set_threads(unsigned threads) noexcept { threads_ = threads; }
  // Memory the module's own deflate may use for its tables and its input
  // until the Deflater is destroyed (memory the caller will write only after
  // that), given before the first feed.
  void lend(std::span<std::uint8_t> room) noexcept { lent_ = room; }
  // The most memory worth lending it, while the data does not compress.
  std::size_t lendable() const noexcept;
  // The whole input, unchanged in memory until the Deflater is destroyed,
  // given before the first feed: the module's own deflate parses the pieces
  // fed from it where they are.
  void borrow(ByteSpan whole) noexcept { borrowed_ = whole; }
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Between feeds of the module's own deflate: up to `threads` threads from
  // the next feed on, no more than it was given before the first (for a
  // caller that needs a core for other work; the stream is the same).
  void use_threads(unsigned threads) noexcept;
  // Compresses all of `input`; with `last`, also ends the stream.  False when
  // it failed (see failure()); nothing more can be done with it then.
  bool feed(ByteSpan input, bool last, OutputSink& out) noexcept;

  const ZlibFailure& failure() const noexcept { return failure_; }

  // The most bytes that the whole stream of `size` bytes of input can take.
  static std::size_t bound(std::size_t size) noexcept;

 private:
  bool feed_small(ByteSpan input, OutputSink& out) noexcept;

  StreamMemory memory_;
  std::unique_ptr<level6::DeflateStream> own_;
  unsigned threads_;
  std::span<std::uint8_t> lent_;
  ByteSpan borrowed_;
  z_stream stream_{};
  bool started_ = false;
  bool finished_ = false;
  ZlibFailure failure_;
};

// Inflates one zlib stream as the interpreter's zlib.decompress does: input
// after the end of the stream is ignored, and a stream that fails or stops
// short ends with the code and message that zlib.decompress reports.
class Inflater {
 public:
  Inflater() noexcept;
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Inflates all of `input` (or up to the end of the stream); `last` says
  // that no input follows.  False once the stream has failed.
  bool feed(ByteSpan input, bool last, OutputSink& out) noexcept;

  // After the last input: true when the stream was complete.
  bool ended() const noexcept { return ended_; }
  const ZlibFailure& failure() const noexcept { return failure_; }

 private:
  void fail(ZlibFailure::Kind kind, int code) noexcept;

  StreamMemory memory_;
  z_stream stream_{};
  bool started_ = false;
  bool ended_ = false;
  ZlibFailure failure_;
};

// A sink over one buffer of fixed size that never grows.
class FixedSink final : public OutputSink {
 public:
  explicit FixedSink(std::span<std::uint8_t> buffer) noexcept : buffer_(buffer) {}
  std::span<std::uint8_t> space() noexcept override { return buffer_.subspan(filled_); }
  void commit(std::size_t filled) noexcept override { filled_ += filled; }
  std::size_t filled() const noexcept { return filled_; }

 private:
  std::span<std::uint8_t> buffer_;
  std::size_t filled_ = 0;
};

// A FixedSink that leaves out the bytes of stored blocks, keeping where
// in the input they are: a stream made only to learn its length (data that
// will be stored) costs no copy of the input.  fill() writes them in, for a
// stream that is kept.
class StoredLaterSink final : public OutputSink {
 public:
  explicit StoredLaterSink(std::span<std::uint8_t> buffer) noexcept : buffer_(buffer) {}
  std::span<std::uint8_t> space() noexcept override { return buffer_.subspan(filled_); }
  void commit(std::size_t filled) noexcept override { filled_ += filled; }
  bool put_input(std::uint64_t position, ByteSpan bytes) noexcept override;
  std::size_t filled() const noexcept { return filled_; }
  // Writes the bytes left out from `input`, the whole input the stream was
  // made of.
  void fill(ByteSpan input) const noexcept;

 private:
  struct LeftOut {
    std::size_t at;          // in the buffer
    std::uint64_t position;  // in the input
    std::size_t length;
  };
  std::span<std::uint8_t> buffer_;
  std::size_t filled_ = 0;
  std::vector<LeftOut> left_out_;
};

// A sink that keeps nothing: it counts the bytes, written over and over
// into one small room.
class CountingSink final : public OutputSink {
 public:
  std::span<std::uint8_t> space() noexcept override { return room_; }
  void commit(std::size_t filled) noexcept override { count_ += filled; }
  bool put_input(std::uint64_t, ByteSpan bytes) noexcept override {
    count_ += bytes.size();
    return true;
  }
  std::size_t count() const noexcept { return count_; }

 private:
  std::uint8_t room_[4096];
  std::size_t count_ = 0;
};

// A quick look at whether `data` will be stored rather than compressed:
// true when level-6 streams of samples from its start, middle and end are
// each no shorter than the sample.  Only a guess about the whole.
bool samples_do_not_compress(ByteSpan data) noexcept;
}  // namespace velkorenc::core

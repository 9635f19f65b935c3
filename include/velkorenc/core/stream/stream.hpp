// Conversions between files in chunks, with memory bounded independently of
// the file size: the same text, the same bytes and the same first failure as
// the byte codec on the whole content.  Each step does one chunk of work, so
// that the caller can look at signals between steps.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "velkorenc/core/files/files.hpp"
#include "velkorenc/core/keying/keying.hpp"
#include "velkorenc/core/platform/workers.hpp"
#include "velkorenc/core/tokens/tokens.hpp"
#include "velkorenc/core/zlib/zlib.hpp"

namespace velkorenc::core {

// Input read and payload written per step.
inline constexpr std::size_t kStreamChunk = std::size_t{1} << 20;
// Text read per step: whole tokens for about a chunk of payload.
inline constexpr std::size_t kTextChunk = 4 * kStreamChunk;

// A block of memory from malloc, freed with it.
struct FreeDeleter {
  void operator()(std::uint8_t* p) const noexcept;
};
using Block = std::unique_ptr<std::uint8_t[], FreeDeleter>;
Block allocate_block(std::size_t size) noexcept;  // null when out of memory

// Why a stream stopped.  `code` is the errno for the file kinds; `changed`
// means that the input was written while it was read.
struct StreamFailure {
  enum class Kind { none, memory, input, output, spool, changed } kind = Kind::none;
  int code = 0;

  explicit operator bool() const noexcept { return kind != Kind::none; }
};

enum class Step { more, done, failed };

// Buffered writing to a descriptor.  After its first failure, which it keeps,
// it drops whatever it is given; with no descriptor it drops everything.
class FdWriter final : public OutputSink {
 public:
  FdWriter() noexcept = default;
  // False: out of memory.  `write_behind` is for a new regular file written
  // once from its current offset and then put in place: each piece is sent
  // to the disk as it is written and, a window behind, waited for and
  // dropped from the page cache.  Written ahead of the disk, a file of
  // gigabytes fills the cache with dirty pages that the kernel throttles
  // the writer on, each new page of cache a fault on fresh memory; behind,
  // the disk works while the text is made and the cache's pages are reused.
  bool start(int fd, std::size_t capacity, bool write_behind = false) noexcept;

  void put(ByteSpan bytes) noexcept;
  // Room for at least `size` bytes at the end of the buffer.
  std::uint8_t* reserve(std::size_t size) noexcept;
  void advance(std::size_t size) noexcept { filled_ += size; }
  // Writes out what the buffer holds.
  bool flush() noexcept;
  int failure() const noexcept { return failure_; }
  // Asked when a signal interrupts a write (a pipe's reader that does not
  // read, say): EINTR becomes the failure when it says to stop.
  void set_checkpoint(Checkpoint* on_interrupt) noexcept { on_interrupt_ = on_interrupt; }

  std::span<std::uint8_t> space() noexcept override;
  void commit(std::size_t filled) noexcept override { filled_ += filled; }

 private:
  void write_behind(std::uint64_t begin, std::uint64_t end) noexcept;

  Block buffer_;
  std::size_t capacity_ = 0;
  std::size_t filled_ = 0;
  int fd_ = -1;
  int failure_ = 0;
  Checkpoint* on_interrupt_ = nullptr;
  bool behind_ = false;        // writing behind, as start() was asked
  std::uint64_t offset_ = 0;   // the file offset of the buffer's first byte
  std::uint64_t settled_ = 0;  // the file before it is on disk, not cached
};

// What the text of a key looks like: the native form of the namespace's
// HEADER, DELIMITER, the key's table and bytes, and the flag values.
struct TextPlan {
  ByteSpan header;  // HEADER as UTF-8
  char delimiter = '~';
  ByteSpan key;     // the key's UTF-8 bytes, not empty
  EncodeTable table;
  std::uint8_t compressed_flag = 1;
  std::uint8_t stored_flag = 0;
};

// Whether the two plans give a stored frame the same text.
bool same_stored_text(const TextPlan& a, const TextPlan& b) noexcept;

// The text of the stored frame of a regular file's first `size` bytes,
// written to a new, empty file while something else (the deflate that
// decides whether the frame is stored) still reads the input: most large
// inputs do not compress, and writing their text, nine times their size and
// bound by the disk, then overlaps the deflate, bound by the CPUs.  One
// thread reads the input and makes the text; two others write it, so that
// the disk always has a write in hand, bypassing the page cache where the
// file system allows (O_DIRECT): writing then costs the CPUs almost nothing.
class StoredTextAhead {
 public:
  StoredTextAhead() noexcept = default;
  ~StoredTextAhead() { stop(); }
  StoredTextAhead(const StoredTextAhead&) = delete;
  StoredTextAhead& operator=(const StoredTextAhead&) = delete;

  // Starts the threads.  `plan` and both descriptors stay valid until
  // stop() or the end of finish().  False, with nothing started, when a
  // thread or memory cannot be had.
  bool start(const TextPlan& plan, int input_fd, std::uint64_t size, int output_fd) noexcept;
  bool started() const noexcept { return running_; }

  // Stops the threads and empties the output, leaving its offset at 0 and
  // its writes as they were before start().  Nothing once finish() ended.
  void stop() noexcept;

  enum class Outcome { waiting, done, output_failed, mismatched };
  // Waits up to `wait_ms` for the payload's text: `waiting` while it is
  // still being made.  Then, when the payload it read is `input_crc`'s (the
  // bytes that decided the frame), writes the checksum and the text's end:
  // `done` once all of it is written, `output_failed` when a write failed
  // (output_failure() tells why).  `mismatched` when the input it read was
  // not that one, or not all there; the output is then as stop() leaves it.
  Outcome finish(std::uint32_t input_crc, int wait_ms) noexcept;
  int output_failure() const noexcept { return output_failure_; }

  // Input bytes read per piece, the text buffers (slots) in flight, and the
  // threads that write them.
  static constexpr std::size_t kPiece = std::size_t{512} << 10;
  static constexpr std::size_t kSlots = 4;
  static constexpr unsigned kWriters = 2;

 private:
  // A slot made: where its text goes, its length, and whether it ends the
  // text.
  struct Made {
    std::uint64_t offset;
    std::size_t length;
    bool last;
  };

  void make_text() noexcept;
  void write_text() noexcept;
  std::uint8_t* slot(std::uint64_t k) const noexcept;
  // The maker fills slot k once slot k - kSlots is written.
  bool wait_for_free_slot(std::uint64_t k) noexcept;
  bool make_room(std::size_t need) noexcept;
  void publish(std::size_t length, bool last) noexcept;
  bool write_slot(std::uint64_t k, const Made& made) noexcept;
  void set_direct(bool on) noexcept;
  void join() noexcept;

  const TextPlan* plan_ = nullptr;
  int input_ = -1;
  int output_ = -1;
  std::uint64_t size_ = 0;
  Block memory_;  // the slots, aligned, then the piece and its transform
  std::uint8_t* slots_ = nullptr;
  std::uint8_t* piece_ = nullptr;
  std::uint8_t* transformed_ = nullptr;
  std::atomic<bool> direct_{false};  // writes bypass the page cache

  std::thread maker_;
  std::thread writers_[kWriters];
  std::mutex mutex_;
  std::condition_variable changed_;
  // Under mutex_: the slots made, taken by a writer and written, what each
  // made slot holds, and for each slot the count of slots written up to it.
  std::uint64_t made_ = 0;
  std::uint64_t taken_ = 0;
  std::uint64_t written_ = 0;
  Made slots_made_[kSlots] = {};
  std::uint64_t written_through_[kSlots] = {};
  bool last_taken_ = false;
  bool payload_done_ = false;
  int output_failure_ = 0;
  std::atomic<bool> stop_{false};

  // The maker's, read after payload_done_: the payload's CRC-32 and length,
  // the slot being filled, its bytes, and the text handed on before it.
  std::uint32_t payload_crc_ = 0;
  std::uint64_t payload_read_ = 0;
  std::uint64_t current_ = 0;
  std::size_t filled_ = 0;
  std::uint64_t handed_ = 0;
  bool input_failed_ = false;
  bool running_ = false;  // started, and neither stopped nor finished
};

// encode_bytes(whole input) written to a file, in two passes over the
// regular file open at `input_fd`: the first deflates the input into a spool
// (memory, then an unnamed file) to learn whether the stream is strictly
// shorter; the second writes the text of the frame, from the spool or from
// the input read again.  A pass that finds the input written since the first
// began fails with `changed`; the second pass finds it before it writes the
// checksum, so that a text it cut short is refused by every decode.
class FileEncoder {
 public:
  // `spool_dir` is where the spool goes when it outgrows memory.
  FileEncoder(int input_fd, int spool_dir) noexcept : input_(input_fd), spool_dir_(spool_dir) {}
  ~FileEncoder();
  FileEncoder(const FileEncoder&) = delete;
  FileEncoder& operator=(const FileEncoder&) = delete;

  // Pass 1, one chunk at a time.
  Step compress_step() noexcept;
  // After pass 1: whether the frame holds the zlib stream.
  bool compressed() const noexcept { return spool_size_ < input_size_; }

  // Whether an input of `size` bytes is worth writing ahead, below.
  static bool worth_writing_ahead(std::uint64_t size) noexcept;
  // Before pass 1: the text of the stored frame, made with `plan`, may be
  // written to `output_fd`, a new and empty file, while pass 1 runs, once
  // the input's stream shows that it does not compress.  Both stay valid
  // until the encoder is destroyed or drop_ahead() returns.
  void write_ahead(const TextPlan& plan, int output_fd) noexcept {
    ahead_plan_ = &plan;
    ahead_fd_ = output_fd;
  }
  // After pass 1 of a stored frame: whether its text is being written ahead,
  // and finishing it as StoredTextAhead::finish does, against the input
  // that pass 1 read.
  bool writing_ahead() const noexcept { return ahead_.started(); }
  StoredTextAhead::Outcome finish_ahead(int wait_ms) noexcept {
    return ahead_.finish(input_crc_, wait_ms);
  }
  // Stops writing ahead and empties the output, for pass 2 to write it.
  void drop_ahead() noexcept { ahead_.stop(); }
  int ahead_failure() const noexcept { return ahead_.output_failure(); }

  // Pass 2: the header, then one chunk of payload a step, then the checksum.
  // `write_behind` as FdWriter::start takes it.
  bool start_text(const TextPlan& plan, int output_fd, bool write_behind = false) noexcept;
  Step write_step(Checkpoint* on_interrupt = nullptr) noexcept;

  const StreamFailure& failure() const noexcept { return failure_; }
  const ZlibFailure& zlib_failure() const noexcept { return deflater_.failure(); }

 private:
  class Spool;
  Step fail(StreamFailure::Kind kind, int code) noexcept;
  void decide_ahead() noexcept;
  Step write_piece() noexcept;
  void write_frame_bytes(ByteSpan bytes) noexcept;

  int input_;
  int spool_dir_;
  Block chunk_;
  std::unique_ptr<WorkerLease> lease_;  // the threads pass 1 deflates on
  Deflater deflater_;
  struct SpoolDeleter {
    void operator()(Spool* spool) const noexcept;
  };
  std::unique_ptr<Spool, SpoolDeleter> spool_;
  FileVersion version_;          // the input's when pass 1 began
  std::uint32_t input_crc_ = 0;  // of the input as pass 1 read it
  std::uint32_t reread_crc_ = 0;  // of the input as pass 2 read it again
  std::uint64_t input_size_ = 0;
  std::uint64_t spool_size_ = 0;
  bool whole_in_chunk_ = false;  // the input was one chunk, still held

  const TextPlan* plan_ = nullptr;
  FdWriter writer_;
  Block transformed_;
  std::uint64_t position_ = 0;   // frame position of the next byte
  std::uint64_t read_from_ = 0;  // payload offset of the next chunk
  std::uint32_t crc_ = 0;
  StreamFailure failure_;

  const TextPlan* ahead_plan_ = nullptr;
  int ahead_fd_ = -1;
  bool ahead_given_up_ = false;
  StoredTextAhead ahead_;  // last: stopped before the rest goes
};

// Checks UTF-8 as the interpreter's strict decoder does, across pieces.
class Utf8Checker {
 public:
  // False at the first ill-formed sequence (and ever after).
  bool feed(ByteSpan bytes) noexcept;
  // At the end of the input: false when a sequence was left incomplete.
  bool finish() noexcept;
  // The offset in the whole input of the first byte of the bad sequence.
  std::uint64_t error_offset() const noexcept { return error_; }
  bool failed() const noexcept { return failed_; }

 private:
  std::uint64_t offset_ = 0;  // bytes fed so far
  std::uint8_t pending_[4] = {};
  std::size_t pending_size_ = 0;
  std::uint64_t error_ = 0;
  bool failed_ = false;
};

// What the reader of a key's texts needs: the native form of HEADER and
// DELIMITER, the key's table and bytes, and the value of _COMPRESSED.
struct ReadPlan {
  ByteSpan header;  // HEADER as UTF-8, without line breaks
  char delimiter = '~';
  ByteSpan key;     // not empty
  DecodeTable table;
  int compressed_flag = 1;  // -1 when no byte value equals it
};

// decode_bytes(whole text) written to a file.  The text, the regular file
// open at `input_fd`, is read in chunks and checked for UTF-8 to its end;
// the first failure of the decoding is kept and reported after that check,
// in the decoder's order.  A text written while it is read fails the pass
// with `changed`.
class FileDecoder {
 public:
  enum class Outcome {
    ok, not_utf8, bad_header, no_data, bad_token, too_short, bad_checksum, bad_stream,
  };

  explicit FileDecoder(int input_fd) noexcept : input_(input_fd) {}
  FileDecoder(const FileDecoder&) = delete;
  FileDecoder& operator=(const FileDecoder&) = delete;

  // `output_fd` may be -1: the data is checked and dropped.  `write_behind`
  // as FdWriter::start takes it.
  bool start(const ReadPlan& plan, int output_fd, bool write_behind = false) noexcept;
  Step step() noexcept;

  // Once step() said done.
  Outcome outcome() const noexcept { return outcome_; }
  std::uint64_t utf8_error_offset() const noexcept { return utf8_.error_offset(); }
  std::uint64_t text_size() const noexcept { return offset_; }
  // The bad piece, as byte offsets in the file.
  std::uint64_t bad_begin() const noexcept { return bad_begin_; }
  std::uint64_t bad_end() const noexcept { return bad_end_; }
  std::uint32_t expected_crc() const noexcept { return crc_; }
  std::uint32_t got_crc() const noexcept;
  const ZlibFailure& zlib_failure() const noexcept { return inflater_.failure(); }
  int output_failure() const noexcept { return writer_.failure(); }
  const StreamFailure& failure() const noexcept { return failure_; }
  // Whether the text is still as it was when the pass began (for what is
  // read again to report a failure).
  bool unchanged() const noexcept;

 private:
  void check_header(ByteSpan& bytes) noexcept;
  void read_pieces(ByteSpan bytes, bool last) noexcept;
  void take_frame_bytes(std::uint8_t* bytes, std::size_t size) noexcept;
  void take_fp(ByteSpan bytes) noexcept;
  void fail_decoding(Outcome outcome) noexcept;
  void finish() noexcept;
  Step end_of_pass(bool size_as_begun) noexcept;

  int input_;
  const ReadPlan* plan_ = nullptr;
  Block chunk_;
  Block frame_;
  FdWriter writer_;
  Inflater inflater_;
  Utf8Checker utf8_;
  FileVersion version_;
  Outcome outcome_ = Outcome::ok;
  bool decoding_ = true;        // no decoding failure met yet
  bool header_checked_ = false;
  bool flag_seen_ = false;
  bool inflating_ = false;
  std::uint64_t offset_ = 0;    // bytes of text read so far
  std::size_t chunk_size_ = 0;  // bytes in the chunk being read
  std::size_t header_seen_ = 0;
  // The unfinished last piece: kept while short enough to be a token, else
  // only its start, while looking for its end.
  std::uint8_t carry_[kTokenLength + 1] = {};
  std::size_t carry_size_ = 0;
  std::uint64_t carry_begin_ = 0;
  bool long_piece_ = false;
  std::uint64_t bad_begin_ = 0;
  std::uint64_t bad_end_ = 0;
  std::uint64_t frame_size_ = 0;  // frame bytes read from tokens
  std::uint8_t held_[4] = {};     // the last four frame bytes: the checksum
  std::size_t held_size_ = 0;
  std::uint32_t crc_ = 0;
  StreamFailure failure_;

  const TextPlan* ahead_plan_ = nullptr;
  int ahead_fd_ = -1;
  bool ahead_given_up_ = false;
  StoredTextAhead ahead_;  // last: stopped before the rest goes
};

}  // namespace velkorenc::core

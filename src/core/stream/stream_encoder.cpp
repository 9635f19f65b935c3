#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "velkorenc/core/files/files.hpp"
#include "velkorenc/core/stream/stream.hpp"
#include "velkorenc/core/zlib/zlib.hpp"

namespace velkorenc::core {
namespace {

// The stream stays in memory up to this size, then moves to a file.
constexpr std::size_t kSpoolMemory = 4 * kStreamChunk;
// The most runs of stored bytes the spool finds again in the input (24
// bytes each, for blocks of about 16 KiB).
constexpr std::size_t kMostInputRuns = std::size_t{1} << 18;
// The text of one chunk of frame bytes.
constexpr std::size_t kTextBuffer = kStreamChunk * (kTokenLength + 1) + 64;
// Inputs from this size on may have their stored text written ahead.
constexpr std::uint64_t kWriteAheadBytes = std::uint64_t{16} << 20;
// The stored blocks' bytes that show an input does not compress, and the
// part of the stream that other blocks may then be, at most: a sixteenth to
// begin, a quarter to go on.
constexpr std::uint64_t kAheadEvidence = std::uint64_t{4} << 20;

}  // namespace

// Where pass 1 puts the zlib stream: memory, then an unnamed file.  The
// stored blocks' bytes, the input's own, stay where they are in the input
// and are read from it again only for a frame that keeps the stream: data
// that will be stored costs the spool its blocks' headers alone.
class FileEncoder::Spool final : public OutputSink {
 public:
  Spool(int dir, int input) noexcept : dir_(dir), input_(input) {}
  ~Spool() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool start() noexcept {
    memory_ = allocate_block(kSpoolMemory);
    return static_cast<bool>(memory_);
  }

  std::span<std::uint8_t> space() noexcept override {
    if (failure_ != 0) return {};
    if (filled_ == kSpoolMemory && !spill()) return {};
    return {memory_.get() + filled_, kSpoolMemory - filled_};
  }
  void commit(std::size_t filled) noexcept override {
    filled_ += filled;
    kept_ += filled;
    size_ += filled;
  }
  bool put_input(std::uint64_t position, ByteSpan bytes) noexcept override {
    if (failure_ != 0) return false;
    stored_ += bytes.size();
    // Past a few GiB of stored blocks, their bytes are kept like the rest:
    // the spool's memory stays bounded whatever the input's size.
    if (inputs_.size() == kMostInputRuns) return OutputSink::put_input(position, bytes);
    try {
      inputs_.push_back({size_, position, bytes.size()});
    } catch (const std::bad_alloc&) {
      failure_ = ENOMEM;
      return false;
    }
    inputs_crc_ = crc32(inputs_crc_, bytes);
    size_ += bytes.size();
    return true;
  }

  // After the last byte: everything kept is in memory or everything in the
  // file.
  bool finish() noexcept { return fd_ < 0 || filled_ == 0 || spill(); }

  // Up to buffer.size() bytes of the stream from `offset`, in order from
  // its start: the count, or -errno.
  std::ptrdiff_t read(std::uint64_t offset, std::span<std::uint8_t> buffer) noexcept {
    std::size_t done = 0;
    while (done < buffer.size() && offset < size_) {
      // The input's bytes before `offset` are behind; the next run of them
      // is at or after it.
      while (next_input_ < inputs_.size() &&
             inputs_[next_input_].at + inputs_[next_input_].length <= offset) {
        input_before_ += inputs_[next_input_++].length;
      }
      const bool in_input = next_input_ < inputs_.size() && inputs_[next_input_].at <= offset;
      const std::uint64_t run_end = next_input_ == inputs_.size() ? size_
                                    : in_input ? inputs_[next_input_].at + inputs_[next_input_].length
                                               : inputs_[next_input_].at;
      const std::span<std::uint8_t> room = buffer.subspan(
          done, static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size() - done, run_end - offset)));
      std::ptrdiff_t got;
      if (in_input) {
        const InputRun& run = inputs_[next_input_];
        got = pread_full(input_, room, run.position + (offset - run.at));
        if (got > 0) reread_crc_ = crc32(reread_crc_, room.first(static_cast<std::size_t>(got)));
      } else {
        got = read_kept(offset - input_before_, room);
      }
      if (got < 0) return got;
      done += static_cast<std::size_t>(got);
      offset += static_cast<std::uint64_t>(got);
      // An input that shrank ends the stream early, which the end finds.
      if (static_cast<std::size_t>(got) < room.size()) break;
    }
    return static_cast<std::ptrdiff_t>(done);
  }

  // After the whole stream was read: the input's bytes in it were those
  // that pass 1 put there.
  bool inputs_unchanged() const noexcept { return reread_crc_ == inputs_crc_; }
  bool rereads_input() const noexcept { return !inputs_.empty(); }

  std::uint64_t size() const noexcept { return size_; }
  // The bytes of the stream in stored blocks, their headers left out.
  std::uint64_t stored() const noexcept { return stored_; }
  int failure() const noexcept { return failure_; }

 private:
  // Bytes of the stream from the input: `length` of them at stream offset
  // `at`, from input `position`.
  struct InputRun {
    std::uint64_t at;
    std::uint64_t position;
    std::uint64_t length;
  };

  std::ptrdiff_t read_kept(std::uint64_t offset, std::span<std::uint8_t> buffer) const noexcept {
    if (fd_ >= 0) return pread_full(fd_, buffer, offset);
    const std::size_t left = offset < kept_ ? static_cast<std::size_t>(kept_ - offset) : 0;
    const std::size_t n = left < buffer.size() ? left : buffer.size();
    std::memcpy(buffer.data(), memory_.get() + offset, n);
    return static_cast<std::ptrdiff_t>(n);
  }

  bool spill() noexcept {
    if (fd_ < 0) {
      fd_ = open_scratch(dir_);
      if (fd_ < 0) {
        failure_ = -fd_;
        return false;
      }
    }
    failure_ = write_all(fd_, {memory_.get(), filled_});
    filled_ = 0;
    return failure_ == 0;
  }

  int dir_;
  int input_;
  int fd_ = -1;
  Block memory_;
  std::size_t filled_ = 0;  // in memory, not yet in the file
  std::uint64_t kept_ = 0;  // bytes of the stream held by the spool
  std::uint64_t size_ = 0;  // bytes of the stream
  std::uint64_t stored_ = 0;
  std::vector<InputRun> inputs_;
  std::uint32_t inputs_crc_ = 0;
  // Reading: the first run of the input not wholly behind, and the input's
  // bytes of the stream before it.
  std::size_t next_input_ = 0;
  std::uint64_t input_before_ = 0;
  std::uint32_t reread_crc_ = 0;
  int failure_ = 0;
};

FileEncoder::~FileEncoder() = default;

void FileEncoder::SpoolDeleter::operator()(Spool* spool) const noexcept { delete spool; }

Step FileEncoder::fail(StreamFailure::Kind kind, int code) noexcept {
  failure_ = {kind, code};
  return Step::failed;
}

Step FileEncoder::compress_step() noexcept {
  if (failure_ || deflater_.failure()) return Step::failed;
  if (!chunk_) {
    chunk_ = allocate_block(kStreamChunk);
    spool_.reset(new (std::nothrow) Spool(spool_dir_, input_));
    if (!chunk_ || !spool_ || !spool_->start()) return fail(StreamFailure::Kind::memory, 0);
    if (!file_version(input_, version_)) return fail(StreamFailure::Kind::input, errno);
    lease_.reset(new (std::nothrow) WorkerLease(threads_wanted(static_cast<std::size_t>(
        std::min<std::uint64_t>(version_.size, std::numeric_limits<std::size_t>::max())))));
    deflater_.set_threads(lease_ ? lease_->count() : 1);
  }
  const std::ptrdiff_t got = pread_full(input_, {chunk_.get(), kStreamChunk}, input_size_);
  if (got < 0) return fail(StreamFailure::Kind::input, static_cast<int>(-got));
  const ByteSpan piece(chunk_.get(), static_cast<std::size_t>(got));
  const bool first = input_size_ == 0;
  input_size_ += piece.size();
  input_crc_ = crc32(input_crc_, piece);
  const bool input_ended = piece.size() < kStreamChunk;
  whole_in_chunk_ = first && input_ended;
  if (!deflater_.feed(piece, input_ended, *spool_)) {
    if (spool_->failure() != 0) return fail(StreamFailure::Kind::spool, spool_->failure());
    return Step::failed;  // see zlib_failure()
  }
  if (!input_ended) {
    decide_ahead();
    return Step::more;
  }
  if (!spool_->finish()) return fail(StreamFailure::Kind::spool, spool_->failure());
  spool_size_ = spool_->size();
  if (compressed()) ahead_.stop();
  FileVersion now;
  if (!file_version(input_, now) || now != version_ || input_size_ != version_.size) {
    return fail(StreamFailure::Kind::changed, 0);
  }
  return Step::done;
}

bool same_stored_text(const TextPlan& a, const TextPlan& b) noexcept {
  return std::ranges::equal(a.header, b.header) && a.delimiter == b.delimiter &&
         std::ranges::equal(a.key, b.key) && a.table == b.table && a.stored_flag == b.stored_flag;
}

bool FileEncoder::worth_writing_ahead(std::uint64_t size) noexcept {
  return size >= kWriteAheadBytes;
}

// Writing ahead begins once the stream holds enough stored blocks and little
// else, and stops when other blocks grow: a text written for nothing costs
// the disk, not the result, which pass 1 alone decides.  While it runs, the
// text's maker has one of the leased cores to itself: writing the text, nine
// times the input, is what the call waits for, and a parse thread that
// shares its core holds up the others at the segments' meetings.
void FileEncoder::decide_ahead() noexcept {
  if (!ahead_plan_ || ahead_given_up_ || !worth_writing_ahead(version_.size)) return;
  const std::uint64_t stored = spool_->stored();
  const std::uint64_t other = spool_->size() - stored;
  const unsigned threads = lease_ ? lease_->count() : 1;
  if (!ahead_.started()) {
    if (stored < kAheadEvidence || other > stored / 16) return;
    if (ahead_.start(*ahead_plan_, input_, version_.size, ahead_fd_)) {
      deflater_.use_threads(threads - 1);
    } else {
      ahead_given_up_ = true;
    }
  } else if (other > stored / 4) {
    ahead_.stop();
    ahead_given_up_ = true;
    deflater_.use_threads(threads);
  }
}

void FileEncoder::write_frame_bytes(ByteSpan bytes) noexcept {
  transform_forward(bytes, plan_->key, position_, transformed_.get());
  std::uint8_t* out = writer_.reserve(bytes.size() * (kTokenLength + 1));
  char* end = write_tokens(plan_->table, {transformed_.get(), bytes.size()}, plan_->delimiter,
                           position_ != 0, reinterpret_cast<char*>(out));
  writer_.advance(static_cast<std::size_t>(reinterpret_cast<std::uint8_t*>(end) - out));
  position_ += bytes.size();
}

bool FileEncoder::start_text(const TextPlan& plan, int output_fd, bool write_behind) noexcept {
  plan_ = &plan;
  transformed_ = allocate_block(kStreamChunk);
  if (!transformed_ || !writer_.start(output_fd, kTextBuffer, write_behind)) {
    fail(StreamFailure::Kind::memory, 0);
    return false;
  }
  // The stored frame does not need the stream.
  if (!compressed()) spool_.reset();
  writer_.put(plan.header);
  const std::uint8_t flag = compressed() ? plan.compressed_flag : plan.stored_flag;
  crc_ = crc32(0, {&flag, 1});
  write_frame_bytes({&flag, 1});
  return true;
}

Step FileEncoder::write_step(Checkpoint* on_interrupt) noexcept {
  if (failure_) return Step::failed;
  writer_.set_checkpoint(on_interrupt);
  const Step step = write_piece();
  writer_.set_checkpoint(nullptr);
  return step;
}

Step FileEncoder::write_piece() noexcept {
  std::ptrdiff_t got;
  const bool rereading = !compressed() && !whole_in_chunk_;
  if (compressed()) {
    got = spool_->read(read_from_, {chunk_.get(), kStreamChunk});
    if (got < 0) return fail(StreamFailure::Kind::spool, static_cast<int>(-got));
  } else if (whole_in_chunk_) {
    // The whole input is still in the chunk buffer.
    got = read_from_ == 0 ? static_cast<std::ptrdiff_t>(input_size_) : 0;
  } else {
    // No further than pass 1 read: more is a change, found at the end.
    const std::uint64_t left = input_size_ - read_from_;
    const std::size_t wanted = left < kStreamChunk ? static_cast<std::size_t>(left) : kStreamChunk;
    got = pread_full(input_, {chunk_.get(), wanted}, read_from_);
    if (got < 0) return fail(StreamFailure::Kind::input, static_cast<int>(-got));
  }
  if (got > 0) {
    const ByteSpan piece(chunk_.get(), static_cast<std::size_t>(got));
    crc_ = crc32(crc_, piece);
    if (rereading) reread_crc_ = crc32(reread_crc_, piece);
    write_frame_bytes(piece);
    read_from_ += static_cast<std::uint64_t>(got);
    if (writer_.failure() != 0) return fail(StreamFailure::Kind::output, writer_.failure());
    return Step::more;
  }
  // The payload read again must be the one pass 1 read, whole: the data, or
  // the stored blocks' bytes in the stream.
  FileVersion now;
  const bool reread_inputs = compressed() && spool_->rereads_input();
  if ((rereading && (read_from_ != input_size_ || reread_crc_ != input_crc_)) ||
      (reread_inputs && !spool_->inputs_unchanged()) ||
      ((rereading || reread_inputs) && (!file_version(input_, now) || now != version_))) {
    return fail(StreamFailure::Kind::changed, 0);
  }
  const std::uint8_t ck[4] = {static_cast<std::uint8_t>(crc_ >> 24),
                              static_cast<std::uint8_t>(crc_ >> 16),
                              static_cast<std::uint8_t>(crc_ >> 8),
                              static_cast<std::uint8_t>(crc_)};
  write_frame_bytes(ck);
  if (!writer_.flush()) return fail(StreamFailure::Kind::output, writer_.failure());
  return Step::done;
}

}  // namespace velkorenc::core

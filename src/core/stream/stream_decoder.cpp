#include <algorithm>
#include <cerrno>
#include <cstring>

#include "velkorenc/core/files/files.hpp"
#include "velkorenc/core/stream/stream.hpp"

namespace velkorenc::core {
namespace {

constexpr std::size_t kOutputBuffer = kStreamChunk;

const std::uint8_t* find_byte(const std::uint8_t* p, std::size_t size, char c) noexcept {
  return size ? static_cast<const std::uint8_t*>(std::memchr(p, c, size)) : nullptr;
}

const std::uint8_t* find_last_byte(const std::uint8_t* p, std::size_t size, char c) noexcept {
  return size ? static_cast<const std::uint8_t*>(::memrchr(p, c, size)) : nullptr;
}

}  // namespace

bool FileDecoder::start(const ReadPlan& plan, int output_fd, bool write_behind) noexcept {
  plan_ = &plan;
  chunk_ = allocate_block(kTextChunk);
  frame_ = allocate_block(static_cast<std::size_t>(max_tokens(kTextChunk)) + kTokenLength);
  if (!chunk_ || !frame_ || !writer_.start(output_fd, kOutputBuffer, write_behind)) {
    failure_ = {StreamFailure::Kind::memory, 0};
    return false;
  }
  carry_begin_ = plan.header.size();
  return true;
}

std::uint32_t FileDecoder::got_crc() const noexcept {
  return (std::uint32_t{held_[0]} << 24) | (std::uint32_t{held_[1]} << 16) |
         (std::uint32_t{held_[2]} << 8) | held_[3];
}

void FileDecoder::fail_decoding(Outcome outcome) noexcept {
  if (!decoding_) return;
  decoding_ = false;
  outcome_ = outcome;
}

void FileDecoder::check_header(ByteSpan& bytes) noexcept {
  const ByteSpan header = plan_->header;
  const std::size_t n = std::min(bytes.size(), header.size() - header_seen_);
  if (std::memcmp(bytes.data(), header.data() + header_seen_, n) != 0) {
    fail_decoding(Outcome::bad_header);
    return;
  }
  header_seen_ += n;
  bytes = bytes.subspan(n);
  header_checked_ = header_seen_ == header.size();
}

void FileDecoder::take_fp(ByteSpan bytes) noexcept {
  if (bytes.empty()) return;
  crc_ = crc32(crc_, bytes);
  if (!flag_seen_) {
    flag_seen_ = true;
    inflating_ = static_cast<int>(bytes[0]) == plan_->compressed_flag;
    bytes = bytes.subspan(1);
  }
  if (!inflating_) {
    writer_.put(bytes);
  } else if (!inflater_.failure()) {
    // A failure part way is kept, and reported once the checksum is known
    // to hold.
    inflater_.feed(bytes, false, writer_);
  }
}

void FileDecoder::take_frame_bytes(std::uint8_t* bytes, std::size_t size) noexcept {
  if (size == 0) return;
  transform_inverse({bytes, size}, plan_->key, frame_size_, bytes);
  frame_size_ += size;
  // The last four bytes seen are held back: they may be the checksum.
  const std::size_t total = held_size_ + size;
  if (total <= sizeof held_) {
    std::memcpy(held_ + held_size_, bytes, size);
    held_size_ = total;
    return;
  }
  const std::size_t release = total - sizeof held_;
  const std::size_t from_held = std::min(release, held_size_);
  take_fp({held_, from_held});
  const std::size_t from_bytes = release - from_held;
  take_fp({bytes, from_bytes});
  std::uint8_t kept[sizeof held_];
  std::size_t k = 0;
  for (std::size_t i = from_held; i < held_size_; ++i) kept[k++] = held_[i];
  for (std::size_t i = from_bytes; i < size; ++i) kept[k++] = bytes[i];
  std::memcpy(held_, kept, sizeof held_);
  held_size_ = sizeof held_;
}

void FileDecoder::read_pieces(ByteSpan bytes, bool last) noexcept {
  const std::uint64_t base = offset_ + (chunk_size_ - bytes.size());
  const char delimiter = plan_->delimiter;
  const std::uint8_t* p = bytes.data();
  const std::size_t n = bytes.size();
  if (long_piece_) {
    // A piece too long to be a token: only its end is still wanted.
    const std::uint8_t* end = find_byte(p, n, delimiter);
    if (end || last) {
      bad_end_ = base + (end ? static_cast<std::size_t>(end - p) : n);
      fail_decoding(Outcome::bad_token);
    }
    return;
  }
  const std::uint8_t* first = find_byte(p, n, delimiter);
  if (!first) {
    // The unfinished piece goes on.
    if (carry_size_ + n > kTokenLength) {
      bad_begin_ = carry_begin_;
      long_piece_ = true;
      if (last) {
        bad_end_ = base + n;
        fail_decoding(Outcome::bad_token);
      }
      return;
    }
    std::memcpy(carry_ + carry_size_, p, n);
    carry_size_ += n;
    if (last) {
      // The last piece of the text.
      if (carry_size_ == kTokenLength) {
        const ReadResult one = read_tokens(plan_->table, {carry_, kTokenLength},
                                           static_cast<std::uint8_t>(delimiter), frame_.get());
        if (one.ok) {
          take_frame_bytes(frame_.get(), 1);
          return;
        }
      }
      bad_begin_ = carry_begin_;
      bad_end_ = carry_begin_ + carry_size_;
      fail_decoding(Outcome::bad_token);
    }
    return;
  }
  // The piece that was carried over ends at the first delimiter.
  const std::size_t head = static_cast<std::size_t>(first - p);
  bool head_ok = carry_size_ + head == kTokenLength;
  if (head_ok) {
    std::memcpy(carry_ + carry_size_, p, head);
    const ReadResult one = read_tokens(plan_->table, {carry_, kTokenLength},
                                       static_cast<std::uint8_t>(delimiter), frame_.get());
    head_ok = one.ok;
    if (head_ok) take_frame_bytes(frame_.get(), 1);
  }
  if (!head_ok) {
    bad_begin_ = carry_begin_;
    bad_end_ = base + head;
    fail_decoding(Outcome::bad_token);
    return;
  }
  // Whole pieces up to the last delimiter, in one pass.
  const std::uint8_t* last_delimiter = find_last_byte(p, n, delimiter);
  const std::size_t middle_begin = head + 1;
  const std::size_t middle_end = static_cast<std::size_t>(last_delimiter - p);
  if (middle_end > head) {
    const ReadResult result =
        read_tokens(plan_->table, {p + middle_begin, middle_end - middle_begin},
                    static_cast<std::uint8_t>(delimiter), frame_.get());
    if (!result.ok) {
      bad_begin_ = base + middle_begin + result.bad_begin;
      bad_end_ = base + middle_begin + result.bad_end;
      fail_decoding(Outcome::bad_token);
      return;
    }
    take_frame_bytes(frame_.get(), result.count);
  }
  // The rest starts the next piece.
  carry_size_ = 0;
  carry_begin_ = base + middle_end + 1;
  read_pieces(bytes.subspan(middle_end + 1), last);
}

bool FileDecoder::unchanged() const noexcept {
  FileVersion now;
  return file_version(input_, now) && now == version_;
}

Step FileDecoder::step() noexcept {
  if (failure_) return Step::failed;
  if (offset_ == 0 && !file_version(input_, version_)) {
    failure_ = {StreamFailure::Kind::input, errno};
    return Step::failed;
  }
  const std::ptrdiff_t got = pread_full(input_, {chunk_.get(), kTextChunk}, offset_);
  if (got < 0) {
    failure_ = {StreamFailure::Kind::input, static_cast<int>(-got)};
    return Step::failed;
  }
  const ByteSpan bytes(chunk_.get(), static_cast<std::size_t>(got));
  const bool last = static_cast<std::size_t>(got) < kTextChunk;
  // A text that is not UTF-8 is reported before anything else, at its first
  // bad sequence: nothing after that matters.
  if (!utf8_.feed(bytes) || (last && !utf8_.finish())) {
    outcome_ = Outcome::not_utf8;
    return end_of_pass(offset_ + bytes.size() == version_.size || !last);
  }
  chunk_size_ = bytes.size();
  if (decoding_) {
    ByteSpan rest = bytes;
    if (!header_checked_) check_header(rest);
    if (decoding_ && header_checked_) {
      if (last && offset_ + bytes.size() == plan_->header.size()) {
        fail_decoding(Outcome::no_data);
      } else {
        read_pieces(rest, last);
      }
    }
  }
  offset_ += bytes.size();
  if (!last) return Step::more;
  finish();
  return end_of_pass(offset_ == version_.size);
}

// Done, unless the text was written since the pass began.
Step FileDecoder::end_of_pass(bool size_as_begun) noexcept {
  if (size_as_begun && unchanged()) return Step::done;
  failure_ = {StreamFailure::Kind::changed, 0};
  return Step::failed;
}

void FileDecoder::finish() noexcept {
  if (!header_checked_) fail_decoding(Outcome::bad_header);
  if (!decoding_) return;
  if (frame_size_ < 5) {
    outcome_ = Outcome::too_short;
    return;
  }
  if (crc_ != got_crc()) {
    outcome_ = Outcome::bad_checksum;
    return;
  }
  if (inflating_ && !inflater_.failure()) inflater_.feed({}, true, writer_);
  if (inflating_ && inflater_.failure()) {
    outcome_ = Outcome::bad_stream;
    return;
  }
  writer_.flush();
  outcome_ = Outcome::ok;
}

}  // namespace velkorenc::core

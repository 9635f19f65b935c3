#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "velkorenc/core/files/files.hpp"
#include "velkorenc/core/stream/stream.hpp"

namespace velkorenc::core {

void FreeDeleter::operator()(std::uint8_t* p) const noexcept { std::free(p); }

Block allocate_block(std::size_t size) noexcept {
  return Block(static_cast<std::uint8_t*>(std::malloc(size ? size : 1)));
}

namespace {

// How far behind the end of what is written its pages are waited for and
// dropped: several pieces, so that the disk always has some in hand.
constexpr std::uint64_t kWriteBehind = std::uint64_t{64} << 20;
// Where the ranges dropped end.  The page cache holds a file in folios of
// up to this size, and a folio that a range covers only in part stays.
constexpr std::uint64_t kDropAlignment = std::uint64_t{2} << 20;

}  // namespace

bool FdWriter::start(int fd, std::size_t capacity, bool write_behind) noexcept {
  buffer_ = allocate_block(capacity);
  if (!buffer_) return false;
  capacity_ = capacity;
  filled_ = 0;
  fd_ = fd;
  failure_ = 0;
  const off_t at = write_behind && fd >= 0 ? ::lseek(fd, 0, SEEK_CUR) : -1;
  behind_ = at >= 0;
  offset_ = settled_ = behind_ ? static_cast<std::uint64_t>(at) : 0;
  return true;
}

bool FdWriter::flush() noexcept {
  if (fd_ >= 0 && failure_ == 0 && filled_ != 0) {
    failure_ = write_all(fd_, {buffer_.get(), filled_}, on_interrupt_);
    if (failure_ == 0 && behind_) write_behind(offset_, offset_ + filled_);
    offset_ += filled_;
  }
  filled_ = 0;
  return failure_ == 0;
}

void FdWriter::write_behind(std::uint64_t begin, std::uint64_t end) noexcept {
  // Waiting for a range reports a failed write of it, and the file's later
  // fsync no longer would: such a failure is the writer's.  A file system
  // that cannot do this is written as any other.
  const auto failed = [this] {
    if (errno == ESPIPE || errno == EINVAL || errno == ENOSYS) {
      behind_ = false;
    } else if (errno != EINTR) {
      failure_ = errno;
    }
  };
  if (::sync_file_range(fd_, static_cast<off_t>(begin), static_cast<off_t>(end - begin),
                        SYNC_FILE_RANGE_WRITE) != 0) {
    failed();
    return;
  }
  if (end < settled_ + kWriteBehind + kDropAlignment) return;
  const std::uint64_t upto = (end - kWriteBehind) & ~(kDropAlignment - 1);
  const off_t length = static_cast<off_t>(upto - settled_);
  if (::sync_file_range(fd_, static_cast<off_t>(settled_), length,
                        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                            SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
    failed();
    return;
  }
  ::posix_fadvise(fd_, static_cast<off_t>(settled_), length, POSIX_FADV_DONTNEED);
  settled_ = upto;
}

void FdWriter::put(ByteSpan bytes) noexcept {
  while (!bytes.empty()) {
    if (filled_ == capacity_) flush();
    const std::size_t n = bytes.size() < capacity_ - filled_ ? bytes.size() : capacity_ - filled_;
    std::memcpy(buffer_.get() + filled_, bytes.data(), n);
    filled_ += n;
    bytes = bytes.subspan(n);
  }
}

std::uint8_t* FdWriter::reserve(std::size_t size) noexcept {
  if (capacity_ - filled_ < size) flush();
  return buffer_.get() + filled_;
}

std::span<std::uint8_t> FdWriter::space() noexcept {
  if (filled_ == capacity_) flush();
  return {buffer_.get() + filled_, capacity_ - filled_};
}

namespace {

// The length of the well-formed sequence at `p`, 0 when the `available`
// bytes are a well-formed start of one, -1 when they are ill-formed.
int sequence_length(const std::uint8_t* p, std::size_t available) noexcept {
  const std::uint8_t lead = p[0];
  if (lead < 0x80) return 1;
  int length;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead == 0xE0) {
    length = 3;
    low = 0xA0;
  } else if (lead == 0xED) {
    length = 3;
    high = 0x9F;  // no surrogates
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    length = 3;
  } else if (lead == 0xF0) {
    length = 4;
    low = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    length = 4;
  } else if (lead == 0xF4) {
    length = 4;
    high = 0x8F;
  } else {
    return -1;
  }
  for (int k = 1; k < length; ++k) {
    if (static_cast<std::size_t>(k) >= available) return 0;
    const std::uint8_t b = p[k];
    if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return -1;
  }
  return length;
}

}  // namespace

bool Utf8Checker::feed(ByteSpan bytes) noexcept {
  if (failed_) return false;
  const std::uint8_t* p = bytes.data();
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  if (pending_size_ != 0) {
    const std::uint64_t start = offset_ - pending_size_;
    while (pending_size_ < sizeof pending_ && i < n) pending_[pending_size_++] = p[i++];
    const int length = sequence_length(pending_, pending_size_);
    if (length < 0) {
      error_ = start;
      failed_ = true;
      return false;
    }
    if (length == 0) {
      offset_ += n;
      return true;
    }
    // Bytes copied beyond the sequence are checked again below.
    i -= pending_size_ - static_cast<std::size_t>(length);
    pending_size_ = 0;
  }
  while (i < n) {
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i == n) break;
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const int length = sequence_length(p + i, n - i);
    if (length < 0) {
      error_ = offset_ + i;
      failed_ = true;
      return false;
    }
    if (length == 0) {
      pending_size_ = n - i;
      std::memcpy(pending_, p + i, pending_size_);
      break;
    }
    i += static_cast<std::size_t>(length);
  }
  offset_ += n;
  return true;
}

bool Utf8Checker::finish() noexcept {
  if (!failed_ && pending_size_ != 0) {
    error_ = offset_ - pending_size_;
    failed_ = true;
  }
  return !failed_;
}

}  // namespace velkorenc::core

#include <cstdlib>
#include <cstring>

#include "velkorenc/core/files/files.hpp"
#include "velkorenc/core/stream/stream.hpp"

namespace velkorenc::core {

void FreeDeleter::operator()(std::uint8_t* p) const noexcept { std::free(p); }

Block allocate_block(std::size_t size) noexcept {
  return Block(static_cast<std::uint8_t*>(std::malloc(size ? size : 1)));
}

bool FdWriter::start(int fd, std::size_t capacity) noexcept {
  buffer_ = allocate_block(capacity);
  if (!buffer_) return false;
  capacity_ = capacity;
  filled_ = 0;
  fd_ = fd;
  failure_ = 0;
  return true;
}

bool FdWriter::flush() noexcept {
  if (fd_ >= 0 && failure_ == 0 && filled_ != 0) {
    failure_ = write_all(fd_, {buffer_.get(), filled_}, on_interrupt_);
  }
  filled_ = 0;
  return failure_ == 0;
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

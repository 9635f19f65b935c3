#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "velkorenc/core/files/files.hpp"
#include "velkorenc/core/keying/keying.hpp"
#include "velkorenc/core/platform/workers.hpp"
#include "velkorenc/core/stream/stream.hpp"
#include "velkorenc/core/zlib/zlib.hpp"

namespace velkorenc::core {
namespace {

// What writes that bypass the page cache are aligned to, in memory, in the
// file and in length: the largest logical block size of common disks.
constexpr std::size_t kAlign = 4096;
// A slot holds the text of a piece and what is carried over from the last.
constexpr std::size_t kSlotSize = StoredTextAhead::kPiece * (kTokenLength + 1) + 2 * kAlign;
static_assert(kSlotSize % kAlign == 0, "slots stay aligned");

}  // namespace

std::uint8_t* StoredTextAhead::slot(std::uint64_t k) const noexcept {
  return slots_ + (k % kSlots) * kSlotSize;
}

bool StoredTextAhead::start(const TextPlan& plan, int input_fd, std::uint64_t size,
                            int output_fd) noexcept {
  stop();
  const std::size_t total = kSlots * kSlotSize + 2 * kPiece;
  memory_.reset(static_cast<std::uint8_t*>(std::aligned_alloc(kAlign, total)));
  if (!memory_) return false;
  slots_ = memory_.get();
  piece_ = slots_ + kSlots * kSlotSize;
  transformed_ = piece_ + kPiece;
  plan_ = &plan;
  input_ = input_fd;
  output_ = output_fd;
  size_ = size;
  made_ = taken_ = written_ = 0;
  std::fill(std::begin(written_through_), std::end(written_through_), 0);
  last_taken_ = payload_done_ = input_failed_ = false;
  output_failure_ = 0;
  current_ = handed_ = 0;
  filled_ = 0;
  stop_.store(false, std::memory_order_relaxed);
  set_direct(true);
  for (std::thread& writer : writers_) {
    if (!start_thread(writer, [this] { write_text(); })) break;
  }
  if (!writers_[0].joinable() || !start_thread(maker_, [this] { make_text(); })) {
    join();
    set_direct(false);
    return false;
  }
  running_ = true;
  return true;
}

void StoredTextAhead::set_direct(bool on) noexcept {
  const int flags = ::fcntl(output_, F_GETFL);
  bool now = false;
  if (flags >= 0) {
    const int wanted = on ? flags | O_DIRECT : flags & ~O_DIRECT;
    // A file system that cannot bypass the page cache refuses the flag.
    now = (wanted == flags || ::fcntl(output_, F_SETFL, wanted) == 0) ? on : !on;
  }
  direct_.store(now, std::memory_order_relaxed);
}

void StoredTextAhead::join() noexcept {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_.store(true, std::memory_order_relaxed);
  }
  changed_.notify_all();
  if (maker_.joinable()) maker_.join();
  for (std::thread& writer : writers_) {
    if (writer.joinable()) writer.join();
  }
}

void StoredTextAhead::stop() noexcept {
  if (!running_) return;
  join();
  running_ = false;
  set_direct(false);
  // Only this text was ever written there.
  while (::ftruncate(output_, 0) != 0 && errno == EINTR) {
  }
}

bool StoredTextAhead::wait_for_free_slot(std::uint64_t k) noexcept {
  const auto free = [&] {
    return k < kSlots || written_through_[k % kSlots] == k - kSlots + 1;
  };
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] {
    return free() || stop_.load(std::memory_order_relaxed) || output_failure_ != 0;
  });
  return free() && !stop_.load(std::memory_order_relaxed) && output_failure_ == 0;
}

void StoredTextAhead::publish(std::size_t length, bool last) noexcept {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    slots_made_[current_ % kSlots] = {handed_, length, last};
    made_ = current_ + 1;
  }
  changed_.notify_all();
  handed_ += length;
}

// Room for `need` more bytes in the current slot: when it has not that
// much, its whole aligned blocks go to the writers and the rest starts the
// next slot.  False when stopped or a write failed.
bool StoredTextAhead::make_room(std::size_t need) noexcept {
  if (kSlotSize - filled_ >= need) return true;
  const std::size_t handed = filled_ & ~(kAlign - 1);
  if (!wait_for_free_slot(current_ + 1)) return false;
  std::memcpy(slot(current_ + 1), slot(current_) + handed, filled_ - handed);
  publish(handed, false);
  ++current_;
  filled_ -= handed;
  return true;
}

void StoredTextAhead::make_text() noexcept {
  const TextPlan& plan = *plan_;
  // The header, in as many slots as it takes.
  for (ByteSpan header = plan.header; !header.empty();) {
    if (!make_room(1)) return;
    const std::size_t n = std::min(header.size(), kSlotSize - filled_);
    std::memcpy(slot(current_) + filled_, header.data(), n);
    filled_ += n;
    header = header.subspan(n);
  }
  // The flag, frame byte 0, then the payload from frame position 1.
  if (!make_room(kTokenLength)) return;
  std::uint8_t flag;
  transform_forward({&plan.stored_flag, 1}, plan.key, 0, &flag);
  char* at = reinterpret_cast<char*>(slot(current_) + filled_);
  filled_ += static_cast<std::size_t>(
      write_tokens(plan.table, {&flag, 1}, plan.delimiter, false, at) - at);
  std::uint32_t crc = 0;
  std::uint64_t read = 0;
  while (read < size_ && !stop_.load(std::memory_order_relaxed)) {
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, size_ - read));
    if (pread_full(input_, {piece_, wanted}, read) != static_cast<std::ptrdiff_t>(wanted)) {
      input_failed_ = true;
      break;
    }
    crc = crc32(crc, {piece_, wanted});
    if (!make_room(wanted * (kTokenLength + 1))) return;
    transform_forward({piece_, wanted}, plan.key, 1 + read, transformed_);
    at = reinterpret_cast<char*>(slot(current_) + filled_);
    filled_ += static_cast<std::size_t>(
        write_tokens(plan.table, {transformed_, wanted}, plan.delimiter, true, at) - at);
    read += wanted;
  }
  payload_crc_ = crc;
  payload_read_ = read;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    payload_done_ = true;
  }
  changed_.notify_all();
}

bool StoredTextAhead::write_slot(std::uint64_t k, const Made& made) noexcept {
  std::size_t length = made.length;
  // The text's last slot is written whole blocks long, the end cut off
  // after (finish() truncates the file to the text).
  if (made.last && direct_.load(std::memory_order_relaxed)) {
    const std::size_t padded = (length + kAlign - 1) & ~(kAlign - 1);
    std::memset(slot(k) + length, 0, padded - length);
    length = padded;
  }
  int code = pwrite_all(output_, {slot(k), length}, made.offset);
  if (code == EINVAL && direct_.load(std::memory_order_relaxed)) {
    // Aligned as this disk's blocks are not: written as any file is.
    set_direct(false);
    code = pwrite_all(output_, {slot(k), made.length}, made.offset);
  }
  if (code == 0) return true;
  const std::lock_guard<std::mutex> lock(mutex_);
  output_failure_ = code;
  return false;
}

void StoredTextAhead::write_text() noexcept {
  for (;;) {
    std::uint64_t k;
    Made made;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] {
        return taken_ < made_ || last_taken_ || output_failure_ != 0 ||
               stop_.load(std::memory_order_relaxed);
      });
      if (taken_ == made_ || output_failure_ != 0 || stop_.load(std::memory_order_relaxed)) {
        return;
      }
      k = taken_++;
      made = slots_made_[k % kSlots];
      last_taken_ = made.last;
    }
    const bool ok = write_slot(k, made);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (ok) {
        written_through_[k % kSlots] = k + 1;
        ++written_;
      }
    }
    changed_.notify_all();
    if (!ok) return;
  }
}

StoredTextAhead::Outcome StoredTextAhead::finish(std::uint32_t input_crc, int wait_ms) noexcept {
  if (!running_) return Outcome::mismatched;
  int failure;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool ended = changed_.wait_for(lock, std::chrono::milliseconds(wait_ms), [&] {
      return payload_done_ || output_failure_ != 0;
    });
    if (!ended) return Outcome::waiting;
    failure = output_failure_;
  }
  maker_.join();
  if (failure == 0 && (input_failed_ || payload_read_ != size_ || payload_crc_ != input_crc)) {
    stop();
    return Outcome::mismatched;
  }
  // The frame's checksum, the CRC-32 of the flag and the payload, ends the
  // text, which is then written whole.
  const std::uint32_t frame_crc =
      crc32_combine(crc32(0, {&plan_->stored_flag, 1}), payload_crc_, size_);
  const std::uint8_t ck[4] = {static_cast<std::uint8_t>(frame_crc >> 24),
                              static_cast<std::uint8_t>(frame_crc >> 16),
                              static_cast<std::uint8_t>(frame_crc >> 8),
                              static_cast<std::uint8_t>(frame_crc)};
  std::uint8_t transformed[4];
  transform_forward(ck, plan_->key, 1 + size_, transformed);
  std::uint64_t end = 0;
  if (failure == 0 && make_room(sizeof ck * (kTokenLength + 1))) {
    char* at = reinterpret_cast<char*>(slot(current_) + filled_);
    filled_ += static_cast<std::size_t>(
        write_tokens(plan_->table, transformed, plan_->delimiter, true, at) - at);
    end = handed_ + filled_;
    publish(filled_, true);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return written_ == current_ + 1 || output_failure_ != 0; });
  }
  join();
  running_ = false;
  set_direct(false);
  // The last block was written whole: the text ends before its end.
  if (output_failure_ == 0 && ::ftruncate(output_, static_cast<off_t>(end)) != 0) {
    output_failure_ = errno;
  }
  if (output_failure_ != 0) return Outcome::output_failed;
  return Outcome::done;
}

}  // namespace velkorenc::core

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "velkorenc/core/files/files.hpp"

namespace velkorenc::core {
namespace {

// The lock sets of the conversions this thread is in, innermost first.
thread_local FileLocks* innermost = nullptr;

// Rounds of locking and checking the paths before the locks are kept as
// they are: each new round means that a conversion finished meanwhile, or
// that someone keeps renaming files at those paths.
constexpr int kLockRounds = 32;

bool before(const struct stat& a, const struct stat& b) noexcept {
  return a.st_dev != b.st_dev ? a.st_dev < b.st_dev : a.st_ino < b.st_ino;
}

// What `path` names when a lock is taken: whether it is a regular file and
// which, and a descriptor to lock it by (-1 when it cannot be opened, is not
// a regular file or is `skip`, locked by other means).  Opened without
// waiting for anything, and read-only where that is allowed: the lock does
// not need more.
struct PathState {
  bool regular = false;
  struct stat info {};
  int fd = -1;
};

PathState look_at(const char* path, const struct stat& skip) noexcept {
  PathState state;
  if (!path || ::stat(path, &state.info) != 0 || !S_ISREG(state.info.st_mode)) return state;
  state.regular = true;
  if (same_file(state.info, skip)) return state;
  state.fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (state.fd < 0) state.fd = ::open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat opened;
  if (state.fd >= 0 && (::fstat(state.fd, &opened) != 0 || !same_file(opened, state.info))) {
    ::close(state.fd);
    state.fd = -1;
  }
  return state;
}

// Whether `path` still names what `then` saw.
bool unchanged(const char* path, const PathState& then) noexcept {
  struct stat now;
  const bool regular = ::stat(path, &now) == 0 && S_ISREG(now.st_mode);
  return regular == then.regular && (!regular || same_file(now, then.info));
}

// Opens `path` for reading as open(path, "r") does, onto `fd`: false when
// it cannot be opened.
bool reopen_onto(const char* path, int fd) noexcept {
  // O_NONBLOCK only for the open itself, which a FIFO put there would
  // otherwise keep waiting for a writer.
  const int fresh = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fresh < 0) return false;
  const int flags = ::fcntl(fresh, F_GETFL);
  const bool ok = flags >= 0 && ::fcntl(fresh, F_SETFL, flags & ~O_NONBLOCK) == 0 &&
                  ::dup3(fresh, fd, O_CLOEXEC) >= 0;
  ::close(fresh);
  return ok;
}

}  // namespace

bool file_version(int fd, FileVersion& version) noexcept {
  struct stat info;
  if (::fstat(fd, &info) != 0) return false;
  version.device = info.st_dev;
  version.inode = info.st_ino;
  version.size = static_cast<std::uint64_t>(info.st_size);
  version.modified_seconds = info.st_mtim.tv_sec;
  version.modified_nanoseconds = info.st_mtim.tv_nsec;
  version.changed_seconds = info.st_ctim.tv_sec;
  version.changed_nanoseconds = info.st_ctim.tv_nsec;
  return true;
}

bool FileLocks::held_by_this_thread(const struct stat& file) const noexcept {
  for (const FileLocks* set = innermost; set; set = set->outer_) {
    for (int i = 0; i < set->count_; ++i) {
      if (set->locks_[i].device == file.st_dev && set->locks_[i].inode == file.st_ino) {
        return true;
      }
    }
  }
  return false;
}

// Locks `fd`, which it then owns: 0 (held, or not lockable here) or EINTR.
int FileLocks::take(int fd, const struct stat& file, bool exclusive,
                    Checkpoint* on_interrupt) noexcept {
  for (;;) {
    if (::flock(fd, exclusive ? LOCK_EX : LOCK_SH) == 0) break;
    const int code = errno;
    if (code == EINTR && (!on_interrupt || on_interrupt->resume())) continue;
    ::close(fd);
    return code == EINTR ? EINTR : 0;
  }
  locks_[count_++] = {fd, file.st_dev, file.st_ino};
  return 0;
}

int FileLocks::acquire(int input_fd, const char* input_path, const char* output_path,
                       Checkpoint* on_interrupt) noexcept {
  release();
  outer_ = innermost;
  innermost = this;
  registered_ = true;
  for (int round = 1;; ++round) {
    struct stat input;
    if (::fstat(input_fd, &input) != 0) return 0;
    PathState output = look_at(output_path, input);
    struct Wanted {
      int fd;
      struct stat file;
      bool exclusive;
    } wanted[2];
    int n = 0;
    const bool in_place = output.regular && same_file(output.info, input);
    if (S_ISREG(input.st_mode) && !held_by_this_thread(input)) {
      const int fd = ::fcntl(input_fd, F_DUPFD_CLOEXEC, 0);
      if (fd >= 0) wanted[n++] = {fd, input, in_place};
    }
    if (output.fd >= 0 && !held_by_this_thread(output.info)) {
      wanted[n++] = {output.fd, output.info, true};
    } else if (output.fd >= 0) {
      ::close(output.fd);
    }
    output.fd = -1;
    if (n == 2 && before(wanted[1].file, wanted[0].file)) std::swap(wanted[0], wanted[1]);
    for (int i = 0; i < n; ++i) {
      if (take(wanted[i].fd, wanted[i].file, wanted[i].exclusive, on_interrupt) != 0) {
        for (int j = i + 1; j < n; ++j) ::close(wanted[j].fd);
        release();
        return EINTR;
      }
    }
    if (round == kLockRounds) return 0;
    const bool input_moved = input_path && S_ISREG(input.st_mode) &&
                             !unchanged(input_path, {true, input, -1});
    if (!input_moved && (!output_path || unchanged(output_path, output))) return 0;
    unlock();
    // A file that cannot be opened any more is converted as it was opened.
    if (input_moved && !reopen_onto(input_path, input_fd)) input_path = nullptr;
  }
}

int FileLocks::cover(int fd, Checkpoint* on_interrupt) noexcept {
  struct stat file;
  if (::fstat(fd, &file) != 0 || !S_ISREG(file.st_mode) || held_by_this_thread(file)) return 0;
  if (count_ == static_cast<int>(sizeof locks_ / sizeof locks_[0])) return 0;
  if (!registered_) {
    outer_ = innermost;
    innermost = this;
    registered_ = true;
  }
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  return own < 0 ? 0 : take(own, file, true, on_interrupt);
}

void FileLocks::unlock() noexcept {
  for (int i = 0; i < count_; ++i) ::close(locks_[i].fd);
  count_ = 0;
}

void FileLocks::release() noexcept {
  unlock();
  if (!registered_) return;
  // Sets end in the order they began, but unlink this one wherever it is.
  for (FileLocks** link = &innermost; *link; link = &(*link)->outer_) {
    if (*link == this) {
      *link = outer_;
      break;
    }
  }
  outer_ = nullptr;
  registered_ = false;
}

}  // namespace velkorenc::core

// Files as the conversions use them: whole reads and writes on descriptors,
// spools, and the temporary file through which a result replaces its output.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "velkorenc/core/keying/keying.hpp"
#include "velkorenc/core/platform/pieces.hpp"

namespace velkorenc::core {

// Whether two stat results describe one file.
inline bool same_file(const struct stat& a, const struct stat& b) noexcept {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A descriptor, closed with its owner.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
  ~Descriptor() { close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const noexcept { return fd_; }
  // Closes it now: 0, or the errno of close.
  int close() noexcept;
  void reset(int fd) noexcept {
    close();
    fd_ = fd;
  }

 private:
  int fd_;
};

// A system call that failed: its errno, and whether it concerns the
// output's name (reported with the path, as open reports it) or only what
// was being written (reported without one, as a file object's write is).
struct FileFailure {
  int code = 0;
  bool names_output = false;

  explicit operator bool() const noexcept { return code != 0; }
};

// Writes all of `data` to `fd` at its current offset: 0 or the errno.  After
// a write that a signal interrupted or cut short, `on_interrupt`, when
// given, is asked whether to go on (EINTR when it says to stop).
int write_all(int fd, ByteSpan data, Checkpoint* on_interrupt = nullptr) noexcept;

// Reads until `buffer` is full or the end of the file: the number of bytes
// read, or -errno.
std::ptrdiff_t read_full(int fd, std::span<std::uint8_t> buffer) noexcept;

// The same at `offset`, leaving the file offset alone.
std::ptrdiff_t pread_full(int fd, std::span<std::uint8_t> buffer, std::uint64_t offset) noexcept;

// Writes all of `data` at `offset`, leaving the file offset alone: 0 or the
// errno.
int pwrite_all(int fd, ByteSpan data, std::uint64_t offset) noexcept;

// Copies everything from `from` (read from offset 0) to `to` at its
// current offset, its writes as write_all's: 0 or the errno.
int copy_whole(int from, int to, Checkpoint* on_interrupt = nullptr) noexcept;

// The directory in which this process's temporary files go: $TMPDIR when it
// names one, else /tmp.
const char* temporary_directory() noexcept;

// Opens an unnamed file for scratch data in the directory open at `dirfd`
// (O_TMPFILE, or an exclusive 0600 file unlinked at once): the descriptor,
// or -errno.
int open_scratch(int dirfd) noexcept;
int open_scratch_in(const char* directory) noexcept;

// The directory that `path` names its file in, opened O_PATH: the
// descriptor, or -errno.
int open_parent_directory(const char* path) noexcept;

// What a file's content looks like from outside: which file it is, its size
// and its times of last modification and change, to the nanosecond.  The
// kernel gives a write that follows a look at those times a later time, so
// a file written since has another version.
struct FileVersion {
  dev_t device = 0;
  ino_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_seconds = 0;
  std::int64_t modified_nanoseconds = 0;
  std::int64_t changed_seconds = 0;
  std::int64_t changed_nanoseconds = 0;

  bool operator==(const FileVersion&) const = default;
};

// The version of the file open at `fd`; false (errno set) when fstat fails.
bool file_version(int fd, FileVersion& version) noexcept;

// Advisory locks (flock) that keep this module's conversions of one file
// from interleaving: shared on an input that is only read, exclusive on a
// file that the conversion may write in place (an input that is also the
// output, or an existing output).  Each is held on a descriptor of its own,
// so that it lasts until release() whatever the caller closes.  A file that
// this thread already holds a lock on, for a conversion it is in the middle
// of, is not locked again: the wait would be for the thread itself.
class FileLocks {
 public:
  FileLocks() noexcept = default;
  ~FileLocks() { release(); }
  FileLocks(const FileLocks&) = delete;
  FileLocks& operator=(const FileLocks&) = delete;

  // Locks the file open at `input_fd`, opened from `input_path`, when it is
  // a regular file, and the regular file that `output_path` names, if any,
  // in the order of (device, inode), so that two conversions a to b and b to
  // a cannot wait for each other.  Once they are held, checks that both
  // paths still name the locked files: a conversion that renamed its result
  // over one of them meanwhile has left the lock on a file that is gone from
  // its path.  Then it starts again, with `input_path` opened anew onto
  // `input_fd` (dup2), so that the caller reads what that conversion left.
  // A null path is not checked.  A wait that a signal interrupts asks
  // `on_interrupt` whether to go on.  0, or EINTR when told to stop; a file
  // system without such locks is converted without them.
  int acquire(int input_fd, const char* input_path, const char* output_path,
              Checkpoint* on_interrupt) noexcept;

  // Also locks the regular file open at `fd` exclusively, unless it is held
  // already: an output that another program put at the path after
  // acquire().  0, or EINTR as above.
  int cover(int fd, Checkpoint* on_interrupt) noexcept;

  // Lets go of every lock.
  void release() noexcept;

 private:
  struct Lock {
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
  };
  bool held_by_this_thread(const struct stat& file) const noexcept;
  int take(int fd, const struct stat& file, bool exclusive, Checkpoint* on_interrupt) noexcept;
  void unlock() noexcept;

  Lock locks_[3];
  int count_ = 0;
  FileLocks* outer_ = nullptr;  // the lock set of a conversion this one runs inside
  bool registered_ = false;
};

// The prefix of every temporary file that this module names.  A file of that
// name is only left behind when the process dies mid-conversion.
inline constexpr char kTemporaryPrefix[] = ".velkorenc-";

// How a result reaches its output path.
//
// - create: the path does not exist.  The result goes to a new temporary
//   file beside it, which gets the mode open() would give (0666 less the
//   umask) and is renamed to the path once complete and on disk.
// - rename: the path is a regular file (symbolic links followed) with one
//   link, whose owner, group, mode and extended attributes the temporary
//   file can be given.  The temporary file is given them and renamed over it.
// - overwrite: a regular file that a rename would not keep whole (several
//   links, an owner or attributes this process cannot give, a directory it
//   cannot write).  The complete result goes to a temporary file first, and
//   is then written over the file itself, which is truncated to it.
// - direct: anything else (a FIFO, a terminal, /dev/null, a dangling link,
//   a path that cannot be examined): the caller writes it as before.
class OutputFile {
 public:
  enum class Way { direct, create, rename, overwrite };

  OutputFile() noexcept = default;
  ~OutputFile() { abandon(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Examines `path` and, unless its way is direct, makes the temporary file.
  // A failure is what opening the path for writing would have reported.
  FileFailure open(const char* path) noexcept;
  // The same in two steps: examine() finds the way and opens an existing
  // file for writing; prepare() makes the temporary file of a way that is
  // not direct.  Nothing is created before prepare().
  FileFailure examine(const char* path) noexcept;
  FileFailure prepare() noexcept;

  Way way() const noexcept { return way_; }
  // Whether the path names something that is not a regular file (a FIFO, a
  // device): then the way is direct.
  bool special() const noexcept { return special_; }
  // The existing output, open for writing, or -1.
  int target_fd() const noexcept { return out_fd_; }
  // The temporary file, open for reading and writing.
  int fd() const noexcept { return temp_fd_; }

  // Flushes the temporary file, gives it the output's identity and puts it
  // in place; then flushes the directory.  Removes the temporary file.
  FileFailure commit() noexcept;

  // Removes the temporary file; the output stays as it was.
  void abandon() noexcept;

 private:
  FileFailure make_temporary(int dirfd) noexcept;
  bool give_identity() noexcept;
  FileFailure overwrite() noexcept;
  bool temporary_is_ours() const noexcept;
  void remove_temporary() noexcept;
  void close_all() noexcept;

  Way way_ = Way::direct;
  bool special_ = false;
  bool in_place_ = false;  // the temporary file may go in the output's directory
  int out_fd_ = -1;       // the existing output, open for writing
  int dir_fd_ = -1;       // O_PATH descriptor of the output's directory
  int temp_dir_fd_ = -1;  // where the temporary file is (dir_fd_ or the temp dir)
  int temp_fd_ = -1;
  char name_[256] = {};       // the output's name in dir_fd_
  char temp_name_[32] = {};   // the temporary file's name in temp_dir_fd_
  struct stat temp_info_ {};  // the temporary file's identity when made
  mode_t create_mode_ = 0;
};

}  // namespace velkorenc::core

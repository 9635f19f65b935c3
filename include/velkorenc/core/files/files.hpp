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

  Way way() const noexcept { return way_; }
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

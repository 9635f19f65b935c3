#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "velkorenc/core/files/files.hpp"

namespace velkorenc::core {
namespace {

constexpr std::size_t kCopyBlock = std::size_t{1} << 20;

void close_fd(int& fd) noexcept {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A block of memory from malloc, freed on every path.
struct Scratch {
  explicit Scratch(std::size_t size) noexcept : bytes(static_cast<char*>(std::malloc(size))), size(size) {}
  ~Scratch() { std::free(bytes); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  char* bytes;
  std::size_t size;
};

// The process's umask, read without changing it (umask() would, for a
// moment, for every thread).
mode_t current_umask() noexcept {
  if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status)) {
      found = std::sscanf(line, "Umask: %o", &mask) == 1;
    }
    std::fclose(status);
    if (found) return static_cast<mode_t>(mask & 0777);
  }
  return 022;
}

// Eight random characters of [a-z0-9] for a temporary name.
void random_suffix(char (&out)[9]) noexcept {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uint8_t bytes[8];
  if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // Only uniqueness matters here; O_EXCL guards against a clash anyway.
    static unsigned counter = 0;
    std::uint64_t mix = static_cast<std::uint64_t>(std::time(nullptr)) * 0x9E3779B97F4A7C15ULL ^
                        static_cast<std::uint64_t>(::getpid()) << 20 ^ ++counter;
    for (auto& b : bytes) {
      mix = mix * 6364136223846793005ULL + 1442695040888963407ULL;
      b = static_cast<std::uint8_t>(mix >> 56);
    }
  }
  for (std::size_t i = 0; i < 8; ++i) out[i] = kAlphabet[bytes[i] % 36];
  out[8] = '\0';
}

// Creates a new file exclusively, mode 0600, named with kTemporaryPrefix in
// `dirfd`: the descriptor, or -errno.
int create_named(int dirfd, char (&name)[32]) noexcept {
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[9];
    random_suffix(suffix);
    std::snprintf(name, sizeof name, "%s%s", kTemporaryPrefix, suffix);
    const int fd = ::openat(dirfd, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -errno;
  }
  return -EEXIST;
}

// Gives `to` every extended attribute of `from`; false when one cannot be
// read or set.
bool copy_attributes(int from, int to) noexcept {
  ssize_t length = ::flistxattr(from, nullptr, 0);
  if (length < 0) return errno == ENOTSUP;
  if (length == 0) return true;
  Scratch names(static_cast<std::size_t>(length) + 1);
  if (!names.bytes) return false;
  length = ::flistxattr(from, names.bytes, names.size);
  if (length < 0) return false;
  for (const char* name = names.bytes; name < names.bytes + length; name += std::strlen(name) + 1) {
    ssize_t size = ::fgetxattr(from, name, nullptr, 0);
    if (size < 0) return false;
    Scratch value(static_cast<std::size_t>(size) + 1);
    if (!value.bytes) return false;
    size = ::fgetxattr(from, name, value.bytes, value.size);
    if (size < 0 || ::fsetxattr(to, name, value.bytes, static_cast<std::size_t>(size), 0) != 0) {
      return false;
    }
  }
  return true;
}

// Splits `path` into its directory (opened O_PATH) and its last component.
// -errno when the directory cannot be opened; -ENAMETOOLONG for a last
// component that cannot be a name.
int open_parent(const char* path, char (&name)[256]) noexcept {
  const char* slash = std::strrchr(path, '/');
  const char* base = slash ? slash + 1 : path;
  const std::size_t base_length = std::strlen(base);
  if (base_length == 0 || base_length >= sizeof name) return -ENAMETOOLONG;
  std::memcpy(name, base, base_length + 1);
  int fd;
  if (!slash) {
    fd = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  } else if (slash == path) {
    fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  } else {
    const std::size_t dir_length = static_cast<std::size_t>(slash - path);
    Scratch dir(dir_length + 1);
    if (!dir.bytes) return -ENOMEM;
    std::memcpy(dir.bytes, path, dir_length);
    dir.bytes[dir_length] = '\0';
    fd = ::open(dir.bytes, O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  return fd >= 0 ? fd : -errno;
}

// Reads until `buffer` is full or the end of the file, by calls of
// read(to, size, filled) that read up to `size` bytes to `to` with `filled`
// bytes already in: the number of bytes read, or -errno.
template <class Read>
std::ptrdiff_t fill(std::span<std::uint8_t> buffer, Read read) noexcept {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t got = read(buffer.data() + filled, buffer.size() - filled, filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  return static_cast<std::ptrdiff_t>(filled);
}

}  // namespace

int Descriptor::close() noexcept {
  if (fd_ < 0) return 0;
  const int result = ::close(fd_);
  fd_ = -1;
  return result == 0 ? 0 : errno;
}

int write_all(int fd, ByteSpan data, Checkpoint* on_interrupt) noexcept {
  const std::uint8_t* p = data.data();
  std::size_t left = data.size();
  while (left != 0) {
    const std::size_t asked = left < kCopyBlock * 64 ? left : kCopyBlock * 64;
    const ssize_t written = ::write(fd, p, asked);
    if (written < 0) {
      const int code = errno;
      if (code == EINTR && (!on_interrupt || on_interrupt->resume())) continue;
      return code;
    }
    p += written;
    left -= static_cast<std::size_t>(written);
    // A signal that comes once some bytes are written cuts the write short
    // instead of failing it: ask before the next one can wait again.
    if (static_cast<std::size_t>(written) < asked && on_interrupt && !on_interrupt->resume()) {
      return EINTR;
    }
  }
  return 0;
}

std::ptrdiff_t read_full(int fd, std::span<std::uint8_t> buffer) noexcept {
  return fill(buffer, [fd](std::uint8_t* p, std::size_t size, std::size_t) {
    return ::read(fd, p, size);
  });
}

std::ptrdiff_t pread_full(int fd, std::span<std::uint8_t> buffer, std::uint64_t offset) noexcept {
  return fill(buffer, [fd, offset](std::uint8_t* p, std::size_t size, std::size_t filled) {
    return ::pread(fd, p, size, static_cast<off_t>(offset + filled));
  });
}

int pwrite_all(int fd, ByteSpan data, std::uint64_t offset) noexcept {
  while (!data.empty()) {
    const ssize_t n = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    data = data.subspan(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return 0;
}

int copy_whole(int from, int to, Checkpoint* on_interrupt) noexcept {
  Scratch block(kCopyBlock);
  if (!block.bytes) return ENOMEM;
  std::uint64_t offset = 0;
  for (;;) {
    const std::ptrdiff_t got = pread_full(
        from, {reinterpret_cast<std::uint8_t*>(block.bytes), block.size}, offset);
    if (got < 0) return static_cast<int>(-got);
    if (got == 0) return 0;
    if (const int code = write_all(to, {reinterpret_cast<std::uint8_t*>(block.bytes),
                                        static_cast<std::size_t>(got)},
                                   on_interrupt)) {
      return code;
    }
    offset += static_cast<std::uint64_t>(got);
  }
}

const char* temporary_directory() noexcept {
  const char* dir = std::getenv("TMPDIR");
  struct stat info;
  if (dir && *dir && ::stat(dir, &info) == 0 && S_ISDIR(info.st_mode)) return dir;
  return "/tmp";
}

int open_scratch(int dirfd) noexcept {
  int fd;
#if defined(O_TMPFILE)
  fd = ::openat(dirfd, ".", O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // Not every file system has unnamed files: make one and drop its name.
#endif
  char name[32];
  fd = create_named(dirfd, name);
  if (fd >= 0) ::unlinkat(dirfd, name, 0);
  return fd;
}

int open_parent_directory(const char* path) noexcept {
  char name[256];
  return open_parent(path, name);
}

int open_scratch_in(const char* directory) noexcept {
  const int dirfd = ::open(directory, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dirfd < 0) return -errno;
  const int fd = open_scratch(dirfd);
  ::close(dirfd);
  return fd;
}

FileFailure OutputFile::open(const char* path) noexcept {
  const FileFailure failure = examine(path);
  return failure || way_ == Way::direct ? failure : prepare();
}

FileFailure OutputFile::examine(const char* path) noexcept {
  abandon();
  way_ = Way::direct;
  special_ = false;
  in_place_ = false;
  struct stat info;
  if (::stat(path, &info) != 0) {
    if (errno != ENOENT) return {};  // let the direct open report it
    struct stat link;
    if (::lstat(path, &link) == 0) return {};  // a dangling link
    const int dirfd = open_parent(path, name_);
    if (dirfd < 0) return {-dirfd == ENAMETOOLONG ? 0 : -dirfd, true};
    dir_fd_ = dirfd;
    create_mode_ = 0666 & ~current_umask();
    way_ = Way::create;
    return {};
  }
  if (!S_ISREG(info.st_mode)) {
    special_ = true;
    return {};
  }

  // Opening it for writing asks the kernel whether this process may write
  // it, exactly as open(path, "w") would; O_NONBLOCK keeps a FIFO swapped in
  // meanwhile from blocking the open.
  out_fd_ = ::open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (out_fd_ < 0) return {errno, true};
  struct stat original;
  if (::fstat(out_fd_, &original) != 0 || !S_ISREG(original.st_mode)) {
    close_all();
    return {};
  }

  // The file's own directory, found through its real path and checked
  // against the descriptor, so that a link swapped meanwhile cannot send the
  // temporary file elsewhere.
  if (char* real = ::realpath(path, nullptr)) {
    const int dirfd = open_parent(real, name_);
    std::free(real);
    struct stat entry;
    if (dirfd >= 0 && ::fstatat(dirfd, name_, &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(entry, original)) {
      dir_fd_ = dirfd;
      in_place_ = true;
    } else if (dirfd >= 0) {
      ::close(dirfd);
    }
  }
  way_ = in_place_ && original.st_nlink == 1 ? Way::rename : Way::overwrite;
  return {};
}

FileFailure OutputFile::prepare() noexcept {
  if (way_ == Way::create) {
    if (FileFailure failure = make_temporary(dir_fd_)) {
      close_all();
      way_ = Way::direct;
      return failure;
    }
    return {};
  }
  if (in_place_ && !make_temporary(dir_fd_)) return {};
  // The result still goes through a complete temporary copy, elsewhere.
  const int tmp = ::open(temporary_directory(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const FileFailure failure = tmp >= 0 ? make_temporary(tmp) : FileFailure{errno, true};
  if (tmp >= 0 && tmp != temp_dir_fd_) ::close(tmp);
  if (failure) {
    close_all();
    way_ = Way::direct;
    return failure;
  }
  way_ = Way::overwrite;
  return {};
}

FileFailure OutputFile::make_temporary(int dirfd) noexcept {
  const int fd = create_named(dirfd, temp_name_);
  if (fd < 0) return {-fd, true};
  temp_fd_ = fd;
  temp_dir_fd_ = dirfd;
  if (::fstat(fd, &temp_info_) != 0) {
    const int code = errno;
    remove_temporary();
    return {code, true};
  }
  return {};
}

bool OutputFile::temporary_is_ours() const noexcept {
  struct stat entry;
  return ::fstatat(temp_dir_fd_, temp_name_, &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
         same_file(entry, temp_info_);
}

bool OutputFile::give_identity() noexcept {
  struct stat original;
  if (::fstat(out_fd_, &original) != 0 || original.st_nlink != 1) return false;
  if ((original.st_uid != temp_info_.st_uid || original.st_gid != temp_info_.st_gid) &&
      ::fchown(temp_fd_, original.st_uid, original.st_gid) != 0) {
    return false;
  }
  // The access list sets the group bits; the mode, set last, sets its mask.
  return copy_attributes(out_fd_, temp_fd_) && ::fchmod(temp_fd_, original.st_mode & 07777) == 0;
}

FileFailure OutputFile::overwrite() noexcept {
  if (::fsync(temp_fd_) != 0) return {errno, false};
  if (::lseek(out_fd_, 0, SEEK_SET) < 0) return {errno, false};
  if (const int code = copy_whole(temp_fd_, out_fd_)) return {code, false};
  struct stat written;
  if (::fstat(temp_fd_, &written) != 0 || ::ftruncate(out_fd_, written.st_size) != 0 ||
      ::fsync(out_fd_) != 0) {
    return {errno, false};
  }
  remove_temporary();
  close_all();
  way_ = Way::direct;
  return {};
}

FileFailure OutputFile::commit() noexcept {
  switch (way_) {
    case Way::direct:
      return {};
    case Way::overwrite:
      return overwrite();
    case Way::create:
      if (::fchmod(temp_fd_, create_mode_) != 0) return {errno, false};
      break;
    case Way::rename:
      if (!give_identity()) return overwrite();
      break;
  }
  if (::fsync(temp_fd_) != 0) return {errno, false};
  if (!temporary_is_ours()) {
    // Someone moved the temporary file: it cannot be renamed into place.
    if (way_ == Way::rename) {
      temp_name_[0] = '\0';
      return overwrite();
    }
    return {ENOENT, true};
  }
  if (::renameat(temp_dir_fd_, temp_name_, dir_fd_, name_) != 0) return {errno, true};
  temp_name_[0] = '\0';
  // The rename itself is on disk only once the directory is.
  const int dir = ::openat(dir_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  close_all();
  way_ = Way::direct;
  return {};
}

void OutputFile::remove_temporary() noexcept {
  if (temp_name_[0] && temp_dir_fd_ >= 0 && temporary_is_ours()) {
    ::unlinkat(temp_dir_fd_, temp_name_, 0);
  }
  temp_name_[0] = '\0';
  close_fd(temp_fd_);
}

void OutputFile::abandon() noexcept {
  remove_temporary();
  close_all();
}

void OutputFile::close_all() noexcept {
  close_fd(temp_fd_);
  if (temp_dir_fd_ != dir_fd_) close_fd(temp_dir_fd_);
  temp_dir_fd_ = -1;
  close_fd(dir_fd_);
  close_fd(out_fd_);
}

}  // namespace velkorenc::core

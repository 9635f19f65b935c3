#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "velkorenc/core/files/files.hpp"
#include "velkorenc/core/stream/stream.hpp"
#include "velkorenc/core/zlib/zlib.hpp"

namespace velkorenc::core {
namespace {

ByteSpan bytes_of(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Whatever the cut, the verdict and the offset of the first bad sequence are
// those of the whole input.
TEST(Utf8Checker, VerdictDoesNotDependOnTheCut) {
  const std::vector<std::pair<std::string, long>> cases = {
      {"plain ascii text", -1},        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91", -1},
      {"ab\xff", 2},                   {"a\xe0\x80\x80", 1},  // overlong
      {"xy\xed\xa0\x80z", 2},          // surrogate
      {"\xf4\x90\x80\x80", 0},         // beyond U+10FFFF
      {"ok\xf0\x9f\x94", 2},           // cut at the end
      {"\xc3\xa9\xc3", 2},             {"12345678\x80", 8},
  };
  for (const auto& [text, bad] : cases) {
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      Utf8Checker checker;
      const ByteSpan all = bytes_of(text);
      const bool ok = checker.feed(all.first(cut)) && checker.feed(all.subspan(cut)) &&
                      checker.finish();
      EXPECT_EQ(ok, bad < 0) << text << " cut at " << cut;
      if (!ok) {
        EXPECT_EQ(checker.error_offset(), static_cast<std::uint64_t>(bad)) << text;
      }
    }
  }
}

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velkorenc-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
  std::string path(const char* name) const { return dir_ + "/" + name; }
  void put(const std::string& file, const std::string& content) const {
    FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
  }
  std::string get(const std::string& file) const {
    std::string content;
    if (FILE* f = std::fopen(file.c_str(), "rb")) {
      char buffer[256];
      std::size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, n);
      std::fclose(f);
    }
    return content;
  }
  int entries() const {
    std::string command = "test $(ls -A '" + dir_ + "' | wc -l) -eq ";
    int n = 0;
    while (std::system((command + std::to_string(n)).c_str()) != 0 && n < 10) ++n;
    return n;
  }
  std::string dir_;
};

TEST_F(OutputFileTest, EachKindOfOutputTakesItsWay) {
  put(path("single"), "old");
  put(path("linked"), "old");
  ASSERT_EQ(::link(path("linked").c_str(), path("other").c_str()), 0);
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  const struct {
    const char* name;
    OutputFile::Way way;
    bool same_inode;
  } cases[] = {{"missing", OutputFile::Way::create, false},
               {"single", OutputFile::Way::rename, false},
               {"linked", OutputFile::Way::overwrite, true}};
  for (const auto& c : cases) {
    struct stat before {};
    ::stat(path(c.name).c_str(), &before);
    OutputFile out;
    ASSERT_FALSE(out.open(path(c.name).c_str())) << c.name;
    EXPECT_EQ(out.way(), c.way) << c.name;
    ASSERT_EQ(write_all(out.fd(), bytes_of("new content")), 0);
    ASSERT_FALSE(out.commit()) << c.name;
    struct stat after {};
    ::stat(path(c.name).c_str(), &after);
    EXPECT_EQ(get(path(c.name)), "new content") << c.name;
    if (c.same_inode) {
      EXPECT_EQ(after.st_ino, before.st_ino) << c.name;
    }
  }
  EXPECT_EQ(get(path("other")), "new content");
  OutputFile fifo;
  EXPECT_FALSE(fifo.open(path("fifo").c_str()));
  EXPECT_EQ(fifo.way(), OutputFile::Way::direct);
  // Abandoned: the output stays as it was and no temporary file is left.
  {
    OutputFile out;
    ASSERT_FALSE(out.open(path("single").c_str()));
    ASSERT_EQ(write_all(out.fd(), bytes_of("lost")), 0);
  }
  EXPECT_EQ(get(path("single")), "new content");
  EXPECT_EQ(entries(), 5);
  EXPECT_EQ(OutputFile().open(path("no/such/dir/x").c_str()).code, ENOENT);
}

// The byte at `offset` of the writers' test content.
std::uint8_t pattern_at(std::uint64_t offset) {
  return static_cast<std::uint8_t>((offset * 2654435761u) >> 13);
}

// Puts `size` bytes of the pattern through a writer on `fd`, in pieces
// that straddle the writer's buffer.
void write_pattern(int fd, std::uint64_t size, bool write_behind) {
  FdWriter writer;
  ASSERT_TRUE(writer.start(fd, std::size_t{3} << 20, write_behind));
  std::vector<std::uint8_t> piece(1'000'003);
  for (std::uint64_t at = 0; at < size; at += piece.size()) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), size - at));
    for (std::size_t i = 0; i < n; ++i) piece[i] = pattern_at(at + i);
    writer.put({piece.data(), n});
  }
  EXPECT_TRUE(writer.flush());
  EXPECT_EQ(writer.failure(), 0);
}

// A file written behind holds what was written, after what it held, and
// its pages well behind the end are no longer cached; a pipe asked to be
// written behind is written as any other.
TEST_F(OutputFileTest, WritingBehindDropsTheFileFromTheCacheAndKeepsItsBytes) {
  constexpr std::uint64_t kSize = std::uint64_t{80} << 20;
  const std::string file = path("behind");
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "head", 4), 4);
  write_pattern(fd, kSize, true);

  struct statfs fs;
  ASSERT_EQ(::fstatfs(fd, &fs), 0);
  if (fs.f_type != TMPFS_MAGIC) {  // memory is all a tmpfs file has
    constexpr std::size_t kLooked = std::size_t{8} << 20;
    void* map = ::mmap(nullptr, kLooked, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    std::vector<unsigned char> resident(kLooked / static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)));
    ASSERT_EQ(::mincore(map, kLooked, resident.data()), 0);
    ::munmap(map, kLooked);
    std::size_t cached = 0;
    for (const unsigned char page : resident) cached += page & 1;
    EXPECT_LT(cached, resident.size() / 8) << "of the first 8 MiB's pages, cached";
  }

  std::vector<std::uint8_t> back(std::size_t{1} << 20);
  ASSERT_EQ(::pread(fd, back.data(), 4, 0), 4);
  EXPECT_EQ(std::string(back.begin(), back.begin() + 4), "head");
  for (std::uint64_t at = 0; at < kSize; at += back.size()) {
    ASSERT_EQ(pread_full(fd, back, 4 + at), static_cast<std::ptrdiff_t>(back.size()));
    for (std::size_t i = 0; i < back.size(); ++i) {
      ASSERT_EQ(back[i], pattern_at(at + i)) << "at " << at + i;
    }
  }
  ::close(fd);

  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  constexpr std::uint64_t kPiped = 40'000;
  write_pattern(ends[1], kPiped, true);
  ::close(ends[1]);
  std::vector<std::uint8_t> piped(kPiped + 1);
  ASSERT_EQ(read_full(ends[0], piped), static_cast<std::ptrdiff_t>(kPiped));
  ::close(ends[0]);
  for (std::uint64_t at = 0; at < kPiped; ++at) ASSERT_EQ(piped[at], pattern_at(at));
}

// The text of a stored frame, as the codec makes it from the whole frame,
// beside the text written ahead while the input is read.
class StoredTextAheadTest : public OutputFileTest {
 protected:
  void SetUp() override {
    OutputFileTest::SetUp();
    for (int v = 0; v < 256; ++v) {
      char token[kTokenLength];
      for (std::size_t i = 0; i < kTokenLength; ++i) token[i] = static_cast<char>('a' + (v * 7 + i * 3) % 26);
      plan_.table.set(static_cast<std::uint8_t>(v), token);
    }
    plan_.key = bytes_of(key_);
    plan_.delimiter = '~';
    plan_.stored_flag = 0;
  }

  std::string input(std::size_t size, unsigned seed) const {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random());
    return data;
  }

  std::string expected_text(const std::string& data) const {
    const std::uint8_t flag = plan_.stored_flag;
    std::uint32_t crc = crc32(crc32(0, {&flag, 1}), bytes_of(data));
    const std::uint8_t ck[4] = {static_cast<std::uint8_t>(crc >> 24), static_cast<std::uint8_t>(crc >> 16),
                                static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
    const ByteSpan parts[] = {{&flag, 1}, bytes_of(data), ck};
    std::string text(plan_.header.begin(), plan_.header.end());
    const std::size_t at = text.size();
    text.resize(at + joined_length(data.size() + 5));
    EXPECT_TRUE(write_frame_text(plan_.table, parts, plan_.key, plan_.delimiter, text.data() + at));
    return text;
  }

  // Finishes as the encoder does, waiting a little at a time.
  static StoredTextAhead::Outcome finish(StoredTextAhead& ahead, std::uint32_t crc) {
    StoredTextAhead::Outcome outcome;
    while ((outcome = ahead.finish(crc, 10)) == StoredTextAhead::Outcome::waiting) {
    }
    return outcome;
  }

  static bool direct(int fd) { return (::fcntl(fd, F_GETFL) & O_DIRECT) != 0; }

  std::string key_ = "key";
  std::string header_;
  TextPlan plan_;
};

// Whatever the header and the payload's length, and whether the disk is
// written past the page cache (a disk's file) or not (tmpfs), the file
// holds the text and nothing more, and the descriptor is as it was.
TEST_F(StoredTextAheadTest, WritesTheStoredFramesText) {
  const bool shm = ::access("/dev/shm", W_OK) == 0;
  const struct {
    std::size_t size;
    std::size_t header;
    bool in_memory;
  } cases[] = {{0, 12, false},
               {1, 12, false},
               {(std::size_t{3} << 20) + 12345, 12, false},
               {(std::size_t{3} << 20) + 12345, 12, true},
               {700'001, std::size_t{5} << 20, false},  // a header longer than a slot
               {StoredTextAhead::kPiece * 4, 4095, false}};
  unsigned seed = 1;
  for (const auto& c : cases) {
    if (c.in_memory && !shm) continue;
    SCOPED_TRACE(testing::Message() << c.size << " bytes, header " << c.header
                                    << (c.in_memory ? ", tmpfs" : ""));
    header_.assign(c.header, 'H');
    plan_.header = bytes_of(header_);
    const std::string data = input(c.size, seed++);
    put(path("in"), data);
    const std::string out = c.in_memory ? "/dev/shm/velkorenc-test-ahead" : path("out");
    const int in_fd = ::open(path("in").c_str(), O_RDONLY | O_CLOEXEC);
    const int out_fd = ::open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(in_fd, 0);
    ASSERT_GE(out_fd, 0);
    StoredTextAhead ahead;
    ASSERT_TRUE(ahead.start(plan_, in_fd, c.size, out_fd));
    EXPECT_EQ(finish(ahead, crc32(0, bytes_of(data))), StoredTextAhead::Outcome::done);
    EXPECT_FALSE(direct(out_fd));
    ahead.stop();  // nothing once finished
    EXPECT_EQ(get(out) == expected_text(data), true);
    ::close(in_fd);
    ::close(out_fd);
    ::unlink(out.c_str());
  }
}

// Another input than the one that decided, one cut short, a stop, or a
// failed write: nothing of the text stays, and the descriptor writes as
// any other from offset 0.
TEST_F(StoredTextAheadTest, LeavesNothingWhenTheTextIsNotKept) {
  const std::size_t size = (std::size_t{2} << 20) + 7;
  const std::string data = input(size, 9);
  put(path("in"), data);
  const std::uint32_t crc = crc32(0, bytes_of(data));
  header_ = "HEADER:";
  plan_.header = bytes_of(header_);
  enum class Ending { other_input, input_short, stopped, write_fails };
  const struct {
    Ending ending;
    StoredTextAhead::Outcome outcome;
  } cases[] = {{Ending::other_input, StoredTextAhead::Outcome::mismatched},
               {Ending::input_short, StoredTextAhead::Outcome::mismatched},
               {Ending::stopped, StoredTextAhead::Outcome::mismatched},
               {Ending::write_fails, StoredTextAhead::Outcome::output_failed}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.ending));
    const int in_fd = ::open(path("in").c_str(), O_RDONLY | O_CLOEXEC);
    const int flags = c.ending == Ending::write_fails ? O_RDONLY : O_RDWR;
    const int out_fd = ::open(path("out").c_str(), flags | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(in_fd, 0);
    ASSERT_GE(out_fd, 0);
    StoredTextAhead ahead;
    ASSERT_TRUE(ahead.start(plan_, in_fd, c.ending == Ending::input_short ? size + 1 : size, out_fd));
    if (c.ending == Ending::stopped) ahead.stop();
    EXPECT_EQ(finish(ahead, c.ending == Ending::other_input ? crc ^ 1 : crc), c.outcome);
    if (c.ending == Ending::write_fails) {
      EXPECT_EQ(ahead.output_failure(), EBADF);
    } else {
      EXPECT_FALSE(direct(out_fd));
      EXPECT_EQ(::lseek(out_fd, 0, SEEK_CUR), 0);
      EXPECT_EQ(get(path("out")), "");
      EXPECT_EQ(write_all(out_fd, bytes_of("x")), 0);
      EXPECT_EQ(get(path("out")), "x");
    }
    ::close(in_fd);
    ::close(out_fd);
  }
}

}  // namespace
}  // namespace velkorenc::core

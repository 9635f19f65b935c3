#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "velkorenc/core/files/files.hpp"
#include "velkorenc/core/stream/stream.hpp"

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

}  // namespace
}  // namespace velkorenc::core

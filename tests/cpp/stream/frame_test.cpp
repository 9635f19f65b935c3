#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <random>
#include <memory>
#include <vector>

#include "velkorenc/core/stream/frame.hpp"
#include "velkorenc/core/platform/memory.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "counting_checkpoint.hpp"

namespace velkorenc::core {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test_support::CountingCheckpoint;

std::uint32_t library_crc(const Bytes& data, std::size_t length) {
  return static_cast<std::uint32_t>(::crc32(0, data.data(), static_cast<uInt>(length)));
}

// Runs of any length, one longer than the pass's cache-sized slice among
// them, give back the frame and the CRC-32 of its first crc_length bytes.
TEST(InversePass, UndoesTheTransformAndSumsThePrefixRunByRun) {
  std::mt19937 gen(1);
  Bytes frame(150000);
  for (auto& b : frame) b = static_cast<std::uint8_t>(gen());
  const Bytes key = {'k', 0xC3, 0xA9, 'y', '!'};
  Bytes transformed(frame.size());
  ASSERT_TRUE(transform_forward(frame, key, 0, transformed.data()));
  for (std::uint64_t crc_length : {0u, 1u, 4096u, 149996u, 150000u, 200000u}) {
    for (std::size_t longest : {1u, 700u, 70000u}) {
      Bytes bytes = transformed;
      CountingCheckpoint checkpoint;
      InversePass pass(key, crc_length, checkpoint);
      std::size_t runs = 0;
      for (std::size_t at = 0; at < bytes.size(); ++runs) {
        const std::size_t size = std::min<std::size_t>(gen() % (longest + 1), bytes.size() - at);
        ASSERT_TRUE(pass.take(bytes.data() + at, size));
        at += size;
      }
      EXPECT_EQ(bytes, frame) << crc_length << " " << longest;
      EXPECT_EQ(pass.position(), frame.size());
      const std::size_t summed = std::min<std::uint64_t>(crc_length, frame.size());
      EXPECT_EQ(pass.crc(), library_crc(frame, summed)) << crc_length << " " << longest;
      EXPECT_EQ(checkpoint.calls, runs);
    }
  }
  CountingCheckpoint stop(1);
  InversePass pass(key, 10, stop);
  EXPECT_FALSE(pass.take(transformed.data(), 5));
}

TEST(Pieces, CoverTheRangeInOrderAndStopWhenTold) {
  std::vector<std::pair<std::size_t, std::size_t>> seen;
  CountingCheckpoint every;
  EXPECT_TRUE(in_pieces(10, 4, every, [&](std::size_t at, std::size_t n) {
    seen.emplace_back(at, n);
  }));
  EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 4}, {4, 4}, {8, 2}}));
  EXPECT_EQ(every.calls, 2u);
  seen.clear();
  CountingCheckpoint stop(1);
  EXPECT_FALSE(in_pieces(10, 4, stop, [&](std::size_t at, std::size_t n) {
    seen.emplace_back(at, n);
  }));
  EXPECT_EQ(seen.size(), 1u);
  // Mapping a large buffer in goes piece by piece too, and leaves it as it was.
  const std::size_t size = 3 * kMapPiece;
  auto* buffer = static_cast<std::uint8_t*>(std::malloc(size));
  ASSERT_NE(buffer, nullptr);
  buffer[0] = 1;
  buffer[size - 1] = 2;
  CountingCheckpoint mapped;
  EXPECT_TRUE(prepare_for_writing(buffer, size, mapped));
  EXPECT_GE(mapped.calls, 1u);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[size - 1], 2);
  CountingCheckpoint stop_mapping(1);
  EXPECT_FALSE(prepare_for_writing(buffer, size, stop_mapping));
  // Preparing it for several writers changes nothing either.
  prepare_for_writers(buffer, size);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[size - 1], 2);
  std::free(buffer);
}

#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
// prepare_for_writers maps in both edges of a buffer (the small pages
// outside its whole huge pages), prepare_for_appending the first only; the
// huge pages between are left to their writers, and nothing outside the
// buffer is touched.
TEST(Pieces, PreparingMapsInTheEdgesOnly) {
  constexpr std::size_t kPage = 4096, kHuge = std::size_t{2} << 20;
  const std::size_t mapped = 4 * kHuge + 16 * kPage;
  void* probe = ::mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(probe, MAP_FAILED);
  const bool can_populate = ::madvise(probe, kPage, MADV_POPULATE_WRITE) == 0;
  ::munmap(probe, kPage);
  if (!can_populate) GTEST_SKIP() << "this kernel cannot map memory in on request";
  const auto resident = [](std::uintptr_t from, std::uintptr_t to) {
    std::vector<unsigned char> pages((to - from) / kPage);
    if (pages.empty()) return std::string();
    if (::mincore(reinterpret_cast<void*>(from), to - from, pages.data()) != 0) return std::string("?");
    std::string marks;
    for (const unsigned char p : pages) marks += (p & 1) ? '1' : '0';
    return marks;
  };
  const auto pages = [](std::uintptr_t from, std::uintptr_t to, char mark) {
    return std::string((to - from) / kPage, mark);
  };
  const struct {
    const char* name;
    void (*prepare)(void*, std::size_t);
    bool last_edge;
  } cases[] = {{"for writers", &prepare_for_writers, true},
               {"for appending", &prepare_for_appending, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    void* region = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    // Starts 3 pages and a few bytes before a huge page boundary (a page or
    // more past the region's start), ends in a huge page's middle.
    const auto region_begin = reinterpret_cast<std::uintptr_t>(region);
    const std::uintptr_t boundary = (region_begin + kPage + kHuge - 1) & ~std::uintptr_t{kHuge - 1};
    auto* buffer = reinterpret_cast<std::uint8_t*>(boundary - 3 * kPage - 100);
    const std::size_t size = 2 * kHuge + 5 * kPage + 300;
    buffer[0] = 7;
    buffer[size - 1] = 9;
    const auto begin = reinterpret_cast<std::uintptr_t>(buffer), end = begin + size;
    const std::uintptr_t last_huge = end & ~std::uintptr_t{kHuge - 1};
    const std::uintptr_t first_page = (begin + kPage - 1) & ~std::uintptr_t{kPage - 1};
    const std::uintptr_t last_page = end & ~std::uintptr_t{kPage - 1};
    const std::uintptr_t before = begin & ~std::uintptr_t{kPage - 1};
    const std::uintptr_t after = last_page + kPage, region_end = region_begin + mapped;

    c.prepare(buffer, size);
    EXPECT_EQ(resident(first_page, boundary), pages(first_page, boundary, '1'));
    EXPECT_EQ(resident(boundary, last_huge), pages(boundary, last_huge, '0'));
    EXPECT_EQ(resident(last_huge, last_page), pages(last_huge, last_page, c.last_edge ? '1' : '0'));
    EXPECT_EQ(resident(region_begin, before), pages(region_begin, before, '0'));
    EXPECT_EQ(resident(after, region_end), pages(after, region_end, '0'));
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(buffer[size - 1], 9);
    ::munmap(region, mapped);
  }
}
#endif

struct BodyRead {
  ReadResult result;
  Bytes out;
  std::uint32_t crc;
};

// With `mapped`, the bytes go to fresh memory that the read maps in as it goes.
template <class Char>
BodyRead read_body(const DecodeTable& dec, const std::string& text, ByteSpan key,
                   std::uint64_t crc_length, unsigned threads, bool mapped = false) {
  const std::vector<Char> body(text.begin(), text.end());
  const auto capacity = static_cast<std::size_t>(max_tokens(body.size()));
  BodyRead read{{}, Bytes(capacity), 0};
  const std::unique_ptr<std::uint8_t[]> fresh(mapped ? new std::uint8_t[capacity] : nullptr);
  OrderedMapping mapping(fresh.get(), mapped ? capacity : 0);
  CountingCheckpoint checkpoint;
  InversePass pass(key, crc_length, checkpoint);
  read.result = read_frame_body(dec, std::span<const Char>(body), '~',
                                mapped ? fresh.get() : read.out.data(), &pass, checkpoint, threads,
                                mapped ? &mapping : nullptr);
  if (mapped) std::copy(fresh.get(), fresh.get() + capacity, read.out.begin());
  read.out.resize(read.result.ok ? read.result.count : 0);
  read.crc = read.result.ok ? pass.crc() : 0;
  return read;
}

bool operator==(const BodyRead& a, const BodyRead& b) {
  return a.result.ok == b.result.ok && a.result.count == b.result.count &&
         a.result.bad_begin == b.result.bad_begin && a.result.bad_end == b.result.bad_end &&
         a.out == b.out && a.crc == b.crc;
}

// A frame of random bytes and the body of its text, transformed with `key`,
// in the unshuffled alphabet, and the table that reads it.
struct RandomBody {
  RandomBody(std::size_t size, unsigned seed, const Bytes& key) : frame(size) {
    std::mt19937 gen(seed);
    for (auto& b : frame) b = static_cast<std::uint8_t>(gen());
    Bytes transformed(frame.size());
    EXPECT_TRUE(transform_forward(frame, key, 0, transformed.data()));
    EncodeTable enc;
    for (int v = 0; v < 256; ++v) {
      char letters[kTokenLength];
      std::memcpy(letters, base_token(static_cast<std::uint8_t>(v)).data(), kTokenLength);
      enc.set(static_cast<std::uint8_t>(v), letters);
      EXPECT_TRUE(dec.add(letters, static_cast<std::uint8_t>(v)));
    }
    text.resize(joined_length(frame.size()));
    write_tokens(enc, transformed, '~', false, text.data());
  }
  Bytes frame;
  DecodeTable dec;
  std::string text;
};

// Bodies of several runs read on 2 to 4 threads read as on one: the bytes
// and CRC of a valid one, the first bad piece of a damaged one wherever the
// damage lies among the runs.
TEST(FrameBody, AnyThreadCountReadsAsOneThreadDoes) {
  constexpr std::size_t kRunTokens = (kTextPiece + 1) / (kTokenLength + 1);
  const Bytes key = {'k', 'e', 'y'};
  const RandomBody random(3 * kRunTokens + 1234, 2, key);
  const Bytes& frame = random.frame;
  const DecodeTable& dec = random.dec;
  const std::string& text = random.text;
  const std::size_t cut = kTextPiece;  // the delimiter after the first run
  const std::size_t last = text.size() - 5;
  const std::vector<std::pair<const char*, std::function<void(std::string&)>>> damages = {
      {"none", [](std::string&) {}},
      {"first run", [](std::string& t) { t[100] = 'x'; }},
      {"last run", [&](std::string& t) { t[last] = 'x'; }},
      {"delimiter lost between runs", [&](std::string& t) { t[cut] = 'z'; }},
      {"delimiter doubled between runs", [&](std::string& t) { t.insert(cut, 1, '~'); }},
      {"token before the cut", [&](std::string& t) { t[cut - 1] = 'Q'; }},
      {"token after the cut", [&](std::string& t) { t[cut + 1] = 'Q'; }},
      {"character lost in a later run", [&](std::string& t) { t.erase(2 * cut + 50, 1); }},
      {"the earlier of two", [&](std::string& t) { t[2 * cut + 7] = t[cut + 20] = 'x'; }},
      {"cut short", [](std::string& t) { t.resize(t.size() - 3); }},
      {"one character more", [](std::string& t) { t += 'z'; }},
  };
  for (const auto& [name, damage] : damages) {
    std::string body = text;
    damage(body);
    for (std::uint64_t crc_length : {frame.size() - 4, std::uint64_t{kRunTokens + 9}}) {
      const BodyRead one = read_body<std::uint8_t>(dec, body, key, crc_length, 1);
      EXPECT_EQ(one.result.ok, std::string(name) == "none") << name;
      if (one.result.ok) {
        EXPECT_EQ(one.out, frame);
        EXPECT_EQ(one.crc, library_crc(frame, crc_length));
      }
      for (unsigned threads = 2; threads <= 4; ++threads) {
        EXPECT_TRUE(read_body<std::uint8_t>(dec, body, key, crc_length, threads) == one)
            << name << " " << threads;
        EXPECT_TRUE(read_body<std::uint16_t>(dec, body, key, crc_length, threads) == one)
            << name << " " << threads;
      }
    }
  }
}

// A body whose bytes fill whole huge pages, read into fresh memory that the
// calling thread maps in while the others read: the same bytes, CRC and
// first bad piece as read on one thread into memory already there.
TEST(FrameBody, ReadingWhileTheOutputIsMappedInReadsAsOneThreadDoes) {
  const Bytes key = {'k', 'e', 'y'};
  const RandomBody random(kLargeBuffer + (std::size_t{1} << 20) + 777, 3, key);
  const Bytes& frame = random.frame;
  const DecodeTable& dec = random.dec;
  const std::string& text = random.text;
  const std::string damaged = [&] {
    std::string body = text;
    body[text.size() - 100 * kTextPiece / 3] = 'x';
    return body;
  }();
  for (const std::string* body : {&text, &damaged}) {
    const BodyRead one = read_body<std::uint8_t>(dec, *body, key, frame.size() - 4, 1);
    EXPECT_EQ(one.result.ok, body == &text);
    for (unsigned threads = 1; threads <= 3; ++threads) {
      EXPECT_TRUE(read_body<std::uint8_t>(dec, *body, key, frame.size() - 4, threads, true) == one)
          << threads << " threads" << (body == &text ? "" : ", damaged");
    }
  }
}

}  // namespace
}  // namespace velkorenc::core

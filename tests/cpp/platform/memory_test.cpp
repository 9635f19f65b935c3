#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "velkorenc/core/platform/memory.hpp"

namespace velkorenc::core {
namespace {

#if defined(__linux__)
const std::size_t kPageSize = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

// The pages of [memory, memory + length) in memory now.
std::size_t resident_pages(void* memory, std::size_t length) {
  std::vector<unsigned char> resident((length + kPageSize - 1) / kPageSize);
  if (::mincore(memory, length, resident.data()) != 0) return SIZE_MAX;
  std::size_t count = 0;
  for (unsigned char r : resident) count += r & 1;
  return count;
}

// After finish(), every page of the buffer is in memory, whichever thread
// mapped it: pieces taken by the mapping's thread and by the caller, a
// piece cut short at the end, a buffer that starts inside a page; and with
// a mapping that mapped another buffer before, or was stopped at once.
TEST(BackgroundMapping, FinishLeavesEveryPageMappedIn) {
  enum class Before { nothing, another_mapped, stopped };
  struct Case {
    std::size_t offset, size;
    Before before;
  } const cases[] = {{0, kPageSize + 1, Before::nothing},
                     {0, 3 * kMapPiece + 5 * kPageSize, Before::nothing},
                     {100, 2 * kMapPiece + 100, Before::nothing},
                     {0, 3 * kMapPiece, Before::another_mapped},
                     {0, 8 * kMapPiece, Before::stopped}};
  for (const Case& c : cases) {
    const std::size_t length = c.offset + c.size;
    void* memory = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    EXPECT_EQ(resident_pages(memory, length), 0u) << c.size;
    {
      BackgroundMapping mapping;
      if (c.before == Before::another_mapped) {
        std::vector<std::uint8_t> another(c.size);
        ASSERT_TRUE(mapping.start(another.data(), another.size()));
        mapping.finish();
      } else if (c.before == Before::stopped) {
        ASSERT_TRUE(mapping.start(static_cast<std::uint8_t*>(memory) + c.offset, c.size));
        mapping.finish(true);
      }
      ASSERT_TRUE(mapping.start(static_cast<std::uint8_t*>(memory) + c.offset, c.size));
      mapping.finish();
    }
    EXPECT_EQ(resident_pages(memory, length), (length + kPageSize - 1) / kPageSize) << c.size;
    ::munmap(memory, length);
  }
}

// Says stop at its `stop_at`-th question.
class StopAt final : public Checkpoint {
 public:
  explicit StopAt(int stop_at) noexcept : left_(stop_at) {}
  bool resume() noexcept override { return --left_ > 0; }

 private:
  int left_;
};

// While one thread maps a buffer in, in order, another writes each part as
// soon as wait_for() lets it: the part's pages are in memory before it is
// written, and every byte written stays.  A buffer below kLargeBuffer
// counts as mapped at once (nothing is mapped ahead); a mapping stopped by
// its checkpoint lets the writer through all the same.
TEST(OrderedMapping, WritersFindTheirPartMappedAndKeepTheirBytes) {
  struct Case {
    std::size_t offset, size;
    int stop_at;  // 0: never
    bool mapped_ahead;
  } const cases[] = {{0, 8 * kMapPiece, 0, true},
                     {100, 3 * kMapPiece + 12345, 0, true},
                     {0, kLargeBuffer - 1, 0, false},
                     {0, 8 * kMapPiece, 2, false}};
  constexpr std::size_t kPart = std::size_t{64} << 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes at " << c.offset);
    const std::size_t length = c.offset + c.size;
    void* memory = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto* buffer = static_cast<std::uint8_t*>(memory) + c.offset;
    OrderedMapping mapping(buffer, c.size);
    std::size_t unmapped_parts = 0;
    std::thread writer([&] {
      for (std::size_t at = 0; at < c.size; at += kPart) {
        const std::size_t end = std::min(c.size, at + kPart);
        mapping.wait_for(end);
        // The part's whole pages, before anything is written to them.
        const auto page = [](std::uint8_t* p, bool up) {
          const auto address = reinterpret_cast<std::uintptr_t>(p) + (up ? kPageSize - 1 : 0);
          return reinterpret_cast<std::uint8_t*>(address & ~(kPageSize - 1));
        };
        std::uint8_t* from = page(buffer + at, true);
        std::uint8_t* to = page(buffer + end, false);
        if (from < to && resident_pages(from, static_cast<std::size_t>(to - from)) !=
                             static_cast<std::size_t>(to - from) / kPageSize) {
          ++unmapped_parts;
        }
        for (std::size_t i = at; i < end; ++i) buffer[i] = static_cast<std::uint8_t>(i * 7 + 1);
      }
    });
    StopAt checkpoint(c.stop_at > 0 ? c.stop_at : 1 << 30);
    EXPECT_EQ(mapping.map(checkpoint), c.stop_at == 0);
    writer.join();
    if (c.mapped_ahead) {
      EXPECT_EQ(unmapped_parts, 0u);
    } else {
      EXPECT_GT(unmapped_parts, 0u);
    }
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < c.size; ++i) wrong += buffer[i] != static_cast<std::uint8_t>(i * 7 + 1);
    EXPECT_EQ(wrong, 0u);
    ::munmap(memory, length);
  }
}
#endif

}  // namespace
}  // namespace velkorenc::core

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "velkorenc/core/platform/memory.hpp"

namespace velkorenc::core {
namespace {

#if defined(__linux__)
// After finish(), every page of the buffer is in memory, whichever thread
// mapped it: pieces taken by the mapping's thread and by the caller, a
// piece cut short at the end, and a buffer that starts inside a page.
TEST(BackgroundMapping, FinishLeavesEveryPageMappedIn) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  struct Case {
    std::size_t offset, size;
  } const cases[] = {{0, page + 1}, {0, 3 * kMapPiece + 5 * page}, {100, 2 * kMapPiece + 100}};
  for (const Case& c : cases) {
    const std::size_t length = c.offset + c.size;
    void* memory = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto* bytes = static_cast<std::uint8_t*>(memory);
    const std::size_t pages = (length + page - 1) / page;
    std::vector<unsigned char> resident(pages);
    ASSERT_EQ(::mincore(memory, length, resident.data()), 0);
    std::size_t before = 0;
    for (unsigned char r : resident) before += r & 1;
    EXPECT_EQ(before, 0u) << c.size;
    {
      BackgroundMapping mapping;
      ASSERT_TRUE(mapping.start(bytes + c.offset, c.size));
      mapping.finish();
    }
    ASSERT_EQ(::mincore(memory, length, resident.data()), 0);
    std::size_t after = 0;
    for (unsigned char r : resident) after += r & 1;
    EXPECT_EQ(after, pages) << c.size;
    ::munmap(memory, length);
  }
}

// Stopped at once, it returns (its thread joined) having mapped at most the
// pieces its threads had begun; started again, it maps all.
TEST(BackgroundMapping, StoppedMappingCanBeStartedAgain) {
  const std::size_t size = 8 * kMapPiece;
  void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  BackgroundMapping mapping;
  ASSERT_TRUE(mapping.start(memory, size));
  mapping.finish(true);
  ASSERT_TRUE(mapping.start(memory, size));
  mapping.finish();
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident(size / page);
  ASSERT_EQ(::mincore(memory, size, resident.data()), 0);
  std::size_t after = 0;
  for (unsigned char r : resident) after += r & 1;
  EXPECT_EQ(after, size / page);
  ::munmap(memory, size);
}
#endif

}  // namespace
}  // namespace velkorenc::core

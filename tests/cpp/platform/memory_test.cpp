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
#endif

}  // namespace
}  // namespace velkorenc::core

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include "core/zlib/deflate_parallel.hpp"
#include "zlib/deflate_families.hpp"

namespace velkorenc::core::level6 {
namespace {

using testing::Bytes;
using testing::Family;

bool same_matches(const std::vector<Match>& a, const std::vector<Match>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Match& x, const Match& y) {
    return x.at == y.at && x.length == y.length && x.distance == y.distance;
  });
}

// The input as the stream holds it: its bytes, and room past the end.
struct Input {
  explicit Input(const Bytes& data) : bytes(data) { bytes.resize(data.size() + kTailRoom); }
  ParseInput view(bool ends) { return {bytes.data(), 0, bytes.size() - kTailRoom, ends}; }
  Bytes bytes;
};

// Two runs on several threads (the first ending short of the input's end,
// as a stream's runs do) find the matches of one parse of the whole, and
// leave the parser where that parse ends, in its state; the parses meet
// where the data does not keep them out of phase.  Many segments a run: parses go
// on through segments no thread took, meet segments other threads are
// still parsing, and, where they cannot meet, parse on through them.
TEST(SegmentedParse, TwoRunsFindTheMatchesOfOneParse) {
  struct Case {
    const char* name;
    Bytes data;
    std::uint64_t segment;
    bool meet;
  };
  const Case cases[] = {
      {"text", testing::family_input(Family::kText, 3u << 20, 21), kSegment, true},
      {"noise", testing::family_input(Family::kRandom, 3u << 20, 22), kSegment, true},
      {"text, short segments", testing::family_input(Family::kText, 1u << 20, 23), kShortestSegment, true},
      {"never meeting", testing::unit_repeated(3u << 20), kSegment, false},
  };
  for (const Case& c : cases) {
    Input input(c.data);
    Parser alone;
    alone.begin(input.view(true), 0, LazyState{}, 0);
    std::vector<Match> expected;
    alone.run(std::numeric_limits<std::uint64_t>::max(), expected);

    for (unsigned threads = 2; threads <= 4; ++threads) {
      Parser parser;
      parser.begin(input.view(false), 0, LazyState{}, 0);
      SegmentWork work;
      std::vector<Match> found;
      const std::uint64_t end = c.data.size();
      bool met_everywhere = true;
      for (const bool last : {false, true}) {
        const std::uint64_t limit = last ? end : end / 2;
        const SegmentedRun run{input.view(false), input.view(last), limit, 0, kLibraryPiece, c.segment,
                               nullptr};
        bool all_met;
        ASSERT_TRUE(parse_segments(parser, found, run, threads, work, all_met)) << c.name;
        met_everywhere = met_everywhere && all_met;
        if (last) {
          ASSERT_EQ(parser.position(), end) << c.name;
        } else {
          // Stopped at the first loop top at or past the limit.
          EXPECT_GE(parser.position(), limit) << c.name;
          EXPECT_LT(parser.position(), limit + kMaxMatch) << c.name;
        }
      }
      EXPECT_TRUE(parser.done()) << c.name << ", " << threads << " threads";
      EXPECT_EQ(parser.state(), alone.state()) << c.name << ", " << threads << " threads";
      EXPECT_TRUE(same_matches(found, expected))
          << c.name << ", " << threads << " threads: " << found.size() << " matches, not " << expected.size();
      // (Where they cannot meet, a thread slow to start may leave the other
      // to parse on alone, meeting nothing and failing at no meeting.)
      if (c.meet) {
        EXPECT_TRUE(met_everywhere) << c.name << ", " << threads << " threads";
      }
    }
  }
}

// Blocks of text with a match here and there (the symbols need not be the
// text's to be made), cut as a run's are.
struct Blocks {
  explicit Blocks(std::size_t count) : bytes(testing::family_input(Family::kText, count * 4000, 31)) {
    for (std::size_t b = 0; b < count; ++b) {
      const std::uint64_t start = b * 4000;
      const std::size_t first = matches.size();
      for (std::uint64_t at = start + 100; at + 300 < start + 4000; at += 700) {
        matches.push_back({static_cast<std::uint32_t>(at), 40, 90});
      }
      cuts.push_back({start, start + 4000, first, matches.size(), false, b + 1 == count});
    }
  }
  BlockSource source() const { return {matches, 0, bytes.data(), 0}; }
  Bytes bytes;
  std::vector<Match> matches;
  std::vector<BlockCut> cuts;
};

// The line publishes the blocks one at a time, slowly, while the other
// threads make them; each is joined in order, once, and made as on one
// thread; a join that fails stops the line there.
TEST(BlockLine, JoinsEachBlockInOrderAsMadeOnOneThread) {
  constexpr std::size_t kCount = 24;
  const Blocks blocks(kCount);
  const BlockSource source = blocks.source();
  const auto made_on = [&](unsigned threads, std::size_t stop_at, std::vector<std::size_t>& joined,
                           std::vector<BlockBits>& made) {
    struct Line {
      const Blocks* blocks;
      std::vector<BlockCut>* cuts;
      std::vector<std::size_t>* joined;
      std::size_t stop_at;
    };
    std::vector<BlockCut> cuts;
    std::vector<BlockMaker> makers;
    Line line_calls{&blocks, &cuts, &joined, stop_at};
    BlockLine line(cuts, source, makers, made);
    const BlockLine::Calls calls{
        &line_calls,
        [](void* context, BlockLine& line) noexcept {
          auto& l = *static_cast<Line*>(context);
          for (const BlockCut& cut : l.blocks->cuts) {
            l.cuts->push_back(cut);
            line.publish();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
          return true;
        },
        [](void* context, std::size_t b) noexcept {
          auto& l = *static_cast<Line*>(context);
          l.joined->push_back(b);
          return b != l.stop_at;
        }};
    return line.run(kCount, threads, calls);
  };

  std::vector<std::size_t> joined;
  std::vector<BlockBits> alone;
  ASSERT_TRUE(made_on(1, kCount, joined, alone));
  for (unsigned threads : {2u, 3u, 4u}) {
    std::vector<BlockBits> made;
    joined.clear();
    ASSERT_TRUE(made_on(threads, kCount, joined, made)) << threads << " threads";
    ASSERT_EQ(joined.size(), kCount) << threads << " threads";
    for (std::size_t b = 0; b < kCount; ++b) {
      EXPECT_EQ(joined[b], b) << threads << " threads";
      EXPECT_FALSE(made[b].stored);
      ASSERT_EQ(made[b].bit_count, alone[b].bit_count) << "block " << b << ", " << threads << " threads";
      EXPECT_TRUE(std::equal(made[b].bytes.begin(), made[b].bytes.begin() + (made[b].bit_count + 7) / 8,
                             alone[b].bytes.begin()))
          << "block " << b << ", " << threads << " threads";
    }
    joined.clear();
    EXPECT_FALSE(made_on(threads, 5, joined, made)) << threads << " threads";
    EXPECT_EQ(joined, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5})) << threads << " threads";
  }
}

}  // namespace
}  // namespace velkorenc::core::level6

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "velkorenc/core/zlib/deflate.hpp"
#include "zlib/deflate_families.hpp"

namespace velkorenc::core {
namespace {

using testing::Bytes;
using testing::Family;

const std::vector<std::size_t> kWhole = {std::size_t{1} << 40};

// Sizes around the edges where zlib's window moves and where its lookahead
// runs out: multiples of 32 KiB, give or take the longest match, the
// lookahead zlib keeps, and one byte.
std::vector<std::size_t> edge_sizes() {
  std::vector<std::size_t> sizes = {0, 1, 2, 3, 4, 5, 258, 1000, 65274, 65275, 65536 + 262};
  for (std::size_t m : {32768, 65536, 98304, 131072}) {
    for (long d : {-300, -262, -258, -1, 0, 1, 257, 300}) sizes.push_back(m + d);
  }
  return sizes;
}

TEST(OwnDeflate, EveryFamilyAtTheWindowEdgesIsTheLibrarysStream) {
  ASSERT_TRUE(own_deflate_available());
  std::uint32_t seed = 0;
  for (Family family : testing::kFamilies) {
    for (std::size_t size : edge_sizes()) {
      const Bytes data = testing::family_input(family, size, ++seed);
      ASSERT_EQ(testing::own_deflate(data, kWhole), testing::library_deflate(data))
          << testing::family_name(family) << ", " << size << " bytes, seed " << seed;
    }
  }
}

// Periodic data of every period to 300 at once: each period in a stretch
// of its own, ending inside a long match.
TEST(OwnDeflate, EveryPeriodAndRunEndingInsideAMatch) {
  for (std::size_t period = 1; period <= 300; ++period) {
    Bytes data = testing::family_input(Family::kRandom, period, static_cast<std::uint32_t>(period));
    const std::size_t size = 700 + period * 7;
    for (std::size_t i = period; i < size; ++i) data.push_back(data[i - period]);
    ASSERT_EQ(testing::own_deflate(data, kWhole), testing::library_deflate(data)) << "period " << period;
  }
}

// A block is cut after 16383 symbols, the last byte (sent after zlib's loop)
// excepted; noise makes about one symbol of each byte, and is stored.
TEST(OwnDeflate, BlocksAreCutWhereTheLibraryCutsThem) {
  for (std::size_t blocks : {1, 2, 5}) {
    for (long d : {-4, -2, -1, 0, 1, 2, 3, 40}) {
      for (Family family : {Family::kRandom, Family::kFewValues}) {
        const std::size_t size = blocks * 16383 + d;
        const Bytes data = testing::family_input(family, size, static_cast<std::uint32_t>(size));
        ASSERT_EQ(testing::own_deflate(data, kWhole), testing::library_deflate(data))
            << testing::family_name(family) << ", " << size << " bytes";
      }
    }
  }
}

// The stream is the same whichever way the input comes in pieces, and over
// the few MiB that the stream parses at a time; read where it is or copied,
// and where the pieces stop coming from the input it borrowed.
TEST(OwnDeflate, PiecesOfAnySizeGiveTheStreamOfTheWhole) {
  const std::vector<std::vector<std::size_t>> cuts = {{1}, {7, 1}, {1000}, {65535, 3}, {(1u << 22) + 1}};
  const testing::Borrowing borrowings[] = {{}, {true}, {true, 3u << 20}, {true, 100001}};
  const Bytes text = testing::family_input(Family::kText, 9u << 19, 1);
  const Bytes expected = testing::library_deflate(text);
  for (const auto& cut : cuts) {
    const Bytes& data = cut[0] < 100 ? Bytes(text.begin(), text.begin() + 150000) : text;
    const Bytes want = cut[0] < 100 ? testing::library_deflate(data) : expected;
    for (const testing::Borrowing& borrowing : borrowings) {
      EXPECT_EQ(testing::own_deflate(data, cut, level6::kLibraryPiece, 1, level6::kSegment, borrowing), want)
          << "pieces of " << cut[0] << (borrowing.borrowed ? ", borrowed" : "") << ", copied from "
          << borrowing.copy_from;
    }
  }
}

// zlib checks its window again where the interpreter hands it the next piece
// of input (every 4 GiB); with pieces of 65535, that check at 65274 moves
// the window, and the stream follows.
TEST(OwnDeflate, FollowsTheLibraryHandedItsInputInPieces) {
  for (Family family : testing::kFamilies) {
    for (std::size_t piece : {65535, 65536 + 1000, 98304}) {
      const Bytes data = testing::family_input(family, 300000, static_cast<std::uint32_t>(piece));
      EXPECT_EQ(testing::own_deflate(data, kWhole, piece), testing::library_deflate(data, piece))
          << testing::family_name(family) << ", pieces of " << piece;
    }
  }
}

// Inputs made to meet the rules that matter only near zlib's window edges.
// A string seen only at 32768 and again at 65274, where zlib has just moved
// its window (the input ends within its lookahead, or the next piece of
// input is handed over there): position 32768 is then its window's index
// 0, which zlib never matches.  The other bytes are of values 0..15, whose
// strings never share the string's hash, and those just before 65274 are
// new, so that 65274 is a loop top.
Bytes string_at_the_window_base(std::size_t size) {
  Bytes data = testing::family_input(Family::kFewValues, size, 3);
  for (auto& b : data) b &= 15;
  for (std::size_t i = 0; i < 10; ++i) {
    data[32768 + i] = data[65274 + i] = static_cast<std::uint8_t>(16 + i);
    data[65264 + i] = static_cast<std::uint8_t>(32 + i);
  }
  return data;
}

TEST(OwnDeflate, RulesAtTheWindowEdges) {
  struct Case {
    const char* name;
    Bytes data;
    std::size_t piece;
  };
  const Case cases[] = {
      {"window base as the input ends", string_at_the_window_base(65274 + 100), level6::kLibraryPiece},
      {"window base where a piece is handed over", string_at_the_window_base(200000), 65535},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(testing::own_deflate(c.data, kWhole, c.piece), testing::library_deflate(c.data, c.piece))
        << c.name;
  }
}

// A parse begun at any loop top with the state the whole parse had there
// finds the same matches from there on.
TEST(OwnDeflate, AParseBegunAnywhereFollowsTheWholeParse) {
  for (Family family : testing::kFamilies) {
    Bytes data = testing::family_input(family, 200000, 7);
    data.resize(data.size() + level6::kTailRoom);
    const level6::ParseInput input{data.data(), 0, data.size() - level6::kTailRoom, true};
    struct Top {
      std::uint64_t position;
      level6::LazyState state;
      std::uint64_t base;
      std::size_t matches;
    };
    std::vector<Top> tops;
    std::vector<level6::Match> whole;
    level6::Parser parser;
    parser.begin(input, 0, {}, 0);
    for (std::uint64_t start : {1000, 40000, 65274, 99999, 199000}) {
      parser.run(start, whole);
      tops.push_back({parser.position(), parser.state(), parser.base(), whole.size()});
    }
    parser.run(input.end(), whole);
    ASSERT_TRUE(parser.done());
    for (const Top& top : tops) {
      level6::Parser again;
      again.begin(input, top.position, top.state, top.base);
      std::vector<level6::Match> rest;
      again.run(input.end(), rest);
      ASSERT_EQ(rest.size(), whole.size() - top.matches) << testing::family_name(family) << " at " << top.position;
      for (std::size_t i = 0; i < rest.size(); ++i) {
        const level6::Match& a = rest[i];
        const level6::Match& b = whole[top.matches + i];
        ASSERT_TRUE(a.at == b.at && a.length == b.length && a.distance == b.distance)
            << testing::family_name(family) << " from " << top.position << ", match " << i;
      }
    }
  }
}

// The hook sees every loop top once, in order, with the matches sent before
// it: every position but those inside a match after its second byte.  A hook
// that stops the parse leaves it where a later run takes up the same tops.
TEST(OwnDeflate, TheHookSeesEveryLoopTopOnce) {
  for (Family family : testing::kFamilies) {
    Bytes data = testing::family_input(family, 400000, 11);
    data.resize(data.size() + level6::kTailRoom);
    const level6::ParseInput input{data.data(), 0, data.size() - level6::kTailRoom, true};
    std::vector<std::uint64_t> seen;
    std::vector<std::size_t> sent_before;
    std::vector<level6::Match> matches;
    level6::Parser parser;
    parser.begin(input, 0, {}, 0);
    std::uint64_t stop_at = 777;
    while (!parser.done()) {
      parser.run(input.end(), matches, [&](std::uint64_t at, const level6::LazyState&, std::size_t sent) {
        if (at == stop_at) {
          stop_at += 9973;
          return true;
        }
        seen.push_back(at);
        sent_before.push_back(sent);
        return false;
      });
    }
    std::vector<std::uint64_t> expected;
    std::vector<std::size_t> expected_sent;
    std::size_t next = 0;
    for (std::uint64_t at = 0; at < input.end(); ++at) {
      expected.push_back(at);
      expected_sent.push_back(next);
      // A match is sent at the loop top after its start; the next top is its end.
      if (next < matches.size() && matches[next].at + 1 == at) {
        at = matches[next].at + matches[next].length - 1;
        ++next;
      }
    }
    const auto differ = std::mismatch(seen.begin(), seen.end(), expected.begin(), expected.end());
    ASSERT_TRUE(differ.first == seen.end() && differ.second == expected.end())
        << testing::family_name(family) << ": loop top " << (differ.first - seen.begin()) << " is "
        << (differ.first == seen.end() ? -1 : static_cast<long long>(*differ.first)) << ", not "
        << (differ.second == expected.end() ? -1 : static_cast<long long>(*differ.second));
    ASSERT_EQ(sent_before, expected_sent) << testing::family_name(family);
  }
}

// Segments of the shortest length, so that small inputs are parsed on
// several threads.
constexpr std::uint64_t kSegment = level6::kShortestSegment;

// Every family over several segments, on 1 to 4 threads, whole and in
// pieces that end a chunk at odd places.
TEST(OwnDeflateThreads, EveryFamilyOnEveryThreadCountIsTheLibrarysStream) {
  std::uint32_t seed = 100;
  for (Family family : testing::kFamilies) {
    for (std::size_t size : {std::size_t{5} << 17, (std::size_t{9} << 17) + 4321}) {
      const Bytes data = testing::family_input(family, size, ++seed);
      const Bytes expected = testing::library_deflate(data);
      for (unsigned threads = 1; threads <= 4; ++threads) {
        for (const auto& cut : {kWhole, std::vector<std::size_t>{77777}}) {
          ASSERT_EQ(testing::own_deflate(data, cut, level6::kLibraryPiece, threads, kSegment), expected)
              << testing::family_name(family) << ", " << size << " bytes, " << threads << " threads, pieces of "
              << cut[0];
        }
      }
    }
  }
}

// Random bytes with a copy of 600 bytes from 1000 back across each position
// 16 KiB past a multiple of 32 KiB, where segments start: each segment's
// parse starts inside a long match of the whole parse.
Bytes long_matches_across_segment_starts(std::size_t size) {
  Bytes data = testing::family_input(Family::kRandom, size, 11);
  for (std::size_t at = 3 * level6::kWindowSize / 2; at + 300 < size; at += level6::kWindowSize) {
    for (std::size_t i = at - 300; i < at + 300; ++i) data[i] = data[i - 1000];
  }
  return data;
}

TEST(OwnDeflateThreads, ParsesThatMeetLateOrNeverGiveTheLibrarysStream) {
  struct Case {
    const char* name;
    Bytes data;
    std::uint64_t segment;
    std::uint64_t piece = level6::kLibraryPiece;
  };
  const Case cases[] = {
      {"never meeting", testing::unit_repeated(700000), kSegment},
      // Runs of the default length, cut into many segments: parses that
      // fail to meet go on through segments other threads parse, the last
      // one's included.
      {"never meeting, many segments a run", testing::unit_repeated(5u << 20), level6::kSegment},
      {"meeting inside long matches", long_matches_across_segment_starts(700000), kSegment},
      // Noise makes a block of each 16383 bytes; these segments and sizes
      // put segment edges at other places in the blocks.
      {"blocks across segment edges", testing::family_input(Family::kRandom, 5 * 16383 * 8 + 2, 13), 5 * kSegment / 4},
      {"text in longer segments", testing::family_input(Family::kText, 800000, 14), 3 * kSegment / 2},
      // The window also moves where the library is handed the next piece.
      {"far copies, the library given pieces", testing::family_input(Family::kFarCopies, 600000, 15), kSegment, 65535},
  };
  for (const Case& c : cases) {
    const Bytes expected = testing::library_deflate(c.data, c.piece);
    for (unsigned threads = 2; threads <= 4; ++threads) {
      EXPECT_EQ(testing::own_deflate(c.data, kWhole, c.piece, threads, c.segment), expected)
          << c.name << ", " << threads << " threads";
    }
  }
}

// Each kernel this CPU runs hashes a batch's positions as zlib hashes three
// bytes (and marks them in the maps by the multiplicative hash of the
// three), at every alignment, for bytes of every value.
TEST(OwnDeflate, BatchHashKernelsHashAsZlibDoes) {
  Bytes data = testing::family_input(Family::kRandom, 4096, 5);
  for (std::size_t i = 0; i < 256 * 3; ++i) data[i] = static_cast<std::uint8_t>(i / 3 ^ i);
  for (level6::BatchHashKernel kernel : level6::kBatchHashKernels) {
    if (!level6::can_run(kernel)) continue;
    for (std::size_t at = 0; at + 32 <= data.size(); at += 5) {
      level6::BatchHashes hashes;
      level6::hash_batch(kernel, data.data() + at, hashes);
      for (std::uint32_t i = 0; i < level6::kRunBatch; ++i) {
        const std::uint32_t b0 = data[at + i], b1 = data[at + i + 1], b2 = data[at + i + 2];
        const std::uint32_t slot = ((b0 | b1 << 8 | b2 << 16) * 2654435761u) >> (32 - level6::kRecentBits);
        ASSERT_EQ(hashes.chain[i], ((b0 << 10) ^ (b1 << 5) ^ b2) & 0x7FFF)
            << level6::kernel_name(kernel) << " at " << at + i;
        ASSERT_EQ(hashes.byte[i], slot >> 3) << level6::kernel_name(kernel) << " at " << at + i;
        ASSERT_EQ(hashes.bit[i], 1u << (slot & 7)) << level6::kernel_name(kernel) << " at " << at + i;
      }
    }
  }
  EXPECT_TRUE(level6::can_run(level6::chosen_batch_hash_kernel()));
}

// Runs of literals find the positions within reach in maps of 32 KiB of
// positions each, and leave zlib's search only for repeats that can make a
// match.  Noise, long enough for runs, with repeats just before, on and
// after each multiple of 32 KiB (where a batch takes positions of two maps
// and may be undone): `length` bytes from `distance` back, and with
// `farther`, also `length` + 2 from there (zlib's search must find them
// behind the nearer three).
Bytes repeats_around_map_edges(std::uint32_t distance, std::uint32_t length, long offset,
                               std::uint32_t farther) {
  Bytes data = testing::family_input(Family::kRandom, 1400000, distance + length + farther);
  const auto step = static_cast<std::size_t>(level6::kWindowSize);
  for (std::size_t edge = 2 * step; edge + 100 < data.size(); edge += step) {
    const std::size_t at = static_cast<std::size_t>(static_cast<long>(edge) + offset);
    if (farther != 0) {
      std::copy_n(data.begin() + static_cast<long>(at - farther), length + 2, data.begin() + static_cast<long>(at));
    }
    std::copy_n(data.begin() + static_cast<long>(at - distance), length, data.begin() + static_cast<long>(at));
  }
  return data;
}

TEST(OwnDeflateThreads, RunsOfLiteralsStopAtRepeatsAroundTheirMapsEdges) {
  struct Case {
    std::uint32_t distance;
    std::uint32_t length;
    std::uint32_t farther = 0;
  };
  // Three bytes from 4096 back (the farthest a match of three may come
  // from) and from one more (no match), four from the farthest a search
  // reaches (in the map before) and from one more, and three from 5000 back
  // with five from 20000 behind them.
  const Case cases[] = {{4096, 3},    {4097, 3},       {level6::kMaxDistance, 4}, {level6::kMaxDistance + 1, 4},
                        {20000, 5},   {5000, 3, 20000}};
  for (const Case& c : cases) {
    for (long offset : {-17L, -9L, -1L, 0L, 3L, 15L, 16L}) {
      const Bytes data = repeats_around_map_edges(c.distance, c.length, offset, c.farther);
      const Bytes expected = testing::library_deflate(data);
      for (unsigned threads : {1u, 2u}) {
        ASSERT_EQ(testing::own_deflate(data, kWhole, level6::kLibraryPiece, threads, kSegment), expected)
            << c.length << " bytes from " << c.distance << " back, " << offset << " from each edge, "
            << threads << " threads";
      }
    }
  }
}

// A search follows two links at a time.  Noise (long enough for runs of
// literals, whose links say nothing of the second) with `count` copies of
// a needle `gap` apart, each with a tail of its own, then the needle once
// more with the tail of the `kth` newest copy: the search finds that copy
// only when it is within the chain's limit (128, or 32 after a match of 8
// or more one byte back, which `lazy` plants) and within reach.
Bytes needles_in_noise(std::uint32_t count, std::uint32_t gap, std::uint32_t kth, bool lazy) {
  constexpr std::size_t kNeedle = 8;
  constexpr std::size_t kTail = 24;
  Bytes data = testing::family_input(Family::kRandom, 300000 + std::size_t{count + 1} * gap + 200,
                                     count * 7919 + gap * 31 + kth * 2 + lazy);
  const Bytes needle = {'n', 'e', 'e', 'd', 'l', 'e', '!', '?'};
  const std::size_t first = 300000;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::copy(needle.begin(), needle.end(), data.begin() + static_cast<long>(first + std::size_t{i} * gap));
  }
  std::size_t last = first + std::size_t{count} * gap;
  const std::size_t copied = first + std::size_t{count - kth} * gap;
  if (lazy) {
    // The byte before the needle, as before its newest copy.
    data[last - gap - 1] = 'Z';
    data[last] = 'Z';
    ++last;
  }
  std::copy(needle.begin(), needle.end(), data.begin() + static_cast<long>(last));
  std::copy_n(data.begin() + static_cast<long>(copied + kNeedle), kTail,
              data.begin() + static_cast<long>(last + kNeedle));
  return data;
}

TEST(OwnDeflateThreads, SearchesByTwoLinksStopWhereTheChainOrTheReachEnds) {
  struct Case {
    std::uint32_t count, gap, kth;
    bool lazy;
  };
  std::vector<Case> cases;
  for (std::uint32_t gap : {40u, 251u}) {
    for (std::uint32_t kth : {1u, 2u, 31u, 32u, 33u, 34u, 127u, 128u, 129u, 130u}) {
      for (bool lazy : {false, true}) cases.push_back({kth + 3, gap, kth, lazy});
    }
  }
  // The copy found at the farthest a search reaches, or one byte farther,
  // as the first or the second of a step's pair.
  for (std::uint32_t kth : {1u, 2u, 3u}) {
    for (std::uint32_t reach : {level6::kMaxDistance - 1, level6::kMaxDistance, level6::kMaxDistance + 1}) {
      cases.push_back({kth + 1, reach / kth, kth, reach % kth != 0});
    }
  }
  for (const Case& c : cases) {
    const Bytes data = needles_in_noise(c.count, c.gap, c.kth, c.lazy);
    const Bytes expected = testing::library_deflate(data);
    for (unsigned threads : {1u, 2u}) {
      ASSERT_EQ(testing::own_deflate(data, kWhole, level6::kLibraryPiece, threads, kSegment), expected)
          << c.count << " copies " << c.gap << " apart, the " << c.kth << "th newest"
          << (c.lazy ? " after a match" : "") << ", " << threads << " threads";
    }
  }
}

// The threads a stream's runs use may change between feeds, down to one
// and back up to what the stream was made for (more are not taken).
TEST(OwnDeflateThreads, ThreadsChangedBetweenFeedsGiveTheSameStream) {
  const unsigned threads_by_piece[] = {1, 3, 2, 8, 1, 1, 3};
  std::uint32_t seed = 30;
  for (Family family : {Family::kRandom, Family::kText, Family::kFarCopies}) {
    const Bytes data = testing::family_input(family, (std::size_t{21} << 17) + 4321, ++seed);
    EXPECT_EQ(testing::own_deflate(data, {300000}, level6::kLibraryPiece, 3, kSegment, {}, threads_by_piece),
              testing::library_deflate(data))
        << testing::family_name(family);
  }
}

// The Deflater with a thread count, in its own segments of a few MiB.
TEST(OwnDeflateThreads, DeflaterGivesTheSameStreamOnSeveralThreads) {
  const Bytes data = testing::family_input(Family::kText, 3u << 20, 16);
  const Bytes expected = testing::library_deflate(data);
  for (unsigned threads : {1u, 2u, 3u}) {
    Bytes out(Deflater::bound(data.size()));
    FixedSink sink(out);
    Deflater deflater(threads);
    ASSERT_TRUE(deflater.feed(data, true, sink)) << threads << " threads";
    out.resize(sink.filled());
    EXPECT_EQ(out, expected) << threads << " threads";
  }
}

// Tables and input in memory the caller lends, whatever it held and
// wherever it starts, give the same stream: the whole tables that fit are
// taken from it, one a thread, then the input while it fits, the rest from
// the stream's own; nothing around the lent memory is touched.
TEST(OwnDeflateThreads, TablesAndInputInLentMemoryGiveTheSameStream) {
  const Bytes data = testing::family_input(Family::kRandom, 3u << 20, 17);
  const Bytes expected = testing::library_deflate(data);
  for (const std::size_t tables : {0, 1, 2}) {
    for (const std::size_t input_room : {std::size_t{0}, std::size_t{5} << 20}) {
      for (const auto& [threads, borrowed] : {std::pair{1u, false}, {3u, false}, {1u, true}, {3u, true}}) {
        const std::string name = std::to_string(tables) + " tables, " + std::to_string(input_room) +
                                 " bytes for input, " + std::to_string(threads) + " threads" +
                                 (borrowed ? ", the input borrowed" : "");
        // One byte past an aligned address: three bytes go to the alignment.
        const std::size_t lent_size = tables * kDeflateTableBytes + 3 + input_room;
        Bytes room(lent_size + 8, 0xA5);
        Bytes out(Deflater::bound(data.size()));
        FixedSink sink(out);
        {
          Deflater deflater(threads);
          deflater.lend({room.data() + 1, lent_size});
          if (borrowed) deflater.borrow(data);
          ASSERT_TRUE(deflater.feed(data, true, sink)) << name;
        }
        out.resize(sink.filled());
        EXPECT_EQ(out, expected) << name;
        const auto changed = [](auto begin, auto end) {
          return static_cast<std::size_t>(std::count_if(begin, end, [](std::uint8_t b) { return b != 0xA5; }));
        };
        EXPECT_EQ(changed(room.begin(), room.begin() + 1), 0u) << name;
        EXPECT_EQ(changed(room.begin() + 1 + static_cast<std::ptrdiff_t>(lent_size), room.end()), 0u) << name;
        // The tables lent are cleared (a position written later may hold the
        // pattern's byte by chance); the input room holds the input's bytes,
        // unless it was borrowed: then only its end, with room after it.
        const std::size_t used = changed(room.begin(), room.end());
        const std::size_t lent_tables = std::min<std::size_t>(tables, threads);
        const std::size_t input_used = input_room == 0 ? 0 : std::size_t{borrowed ? 512u : 1024u} << 10;
        EXPECT_GE(used, lent_tables * kDeflateTableBytes * 99 / 100 + input_used) << name;
        if (tables == 0 && input_room == 0) {
          EXPECT_EQ(used, 0u) << name;
        }
      }
    }
  }
}

// A sink that leaves the stored bytes out gives the stream's length, and
// the stream itself once they are filled in from the input; with too little
// room the stream fails as with any sink.
TEST(OwnDeflateThreads, StoredBytesLeftOutAndFilledInGiveTheStream) {
  // Noise between text: stored blocks inside a stream that compresses.
  Bytes mixed = testing::family_input(Family::kRandom, 2u << 20, 22);
  const Bytes text = testing::family_input(Family::kText, 2u << 20, 23);
  mixed.insert(mixed.begin(), text.begin(), text.end());
  mixed.insert(mixed.end(), text.begin(), text.begin() + (1 << 20));
  const Bytes inputs[] = {testing::family_input(Family::kRandom, 3u << 20, 21), mixed, text};
  for (const Bytes& data : inputs) {
    const Bytes expected = testing::library_deflate(data);
    for (unsigned threads : {1u, 2u}) {
      Bytes out(Deflater::bound(data.size()), 0xA5);
      StoredLaterSink sink(out);
      Deflater deflater(threads);
      deflater.borrow(data);
      ASSERT_TRUE(deflater.feed(data, true, sink)) << data.size();
      ASSERT_EQ(sink.filled(), expected.size()) << data.size() << " bytes, " << threads << " threads";
      sink.fill(data);
      out.resize(sink.filled());
      EXPECT_EQ(out, expected) << data.size() << " bytes, " << threads << " threads";
    }
    Bytes room(expected.size() - 1);
    StoredLaterSink short_sink(room);
    Deflater deflater;
    EXPECT_FALSE(deflater.feed(data, true, short_sink)) << data.size();
    EXPECT_EQ(deflater.failure().kind, ZlibFailure::Kind::no_output_space) << data.size();
  }
}

}  // namespace
}  // namespace velkorenc::core

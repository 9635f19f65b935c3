// The level-6 parse on several threads.
//
// A segment starts at a position 16 KiB past a multiple of 32 KiB: zlib's
// window moves in mid-input at the first loop top at or past its base +
// 65275, at most 257 bytes later, so its base there is certain (the
// multiple less 32 KiB) whatever the parse before it did.  With that base,
// the chains of the 32 KiB before it and a fresh lazy state, the segment's
// parse finds what zlib would from a loop top where zlib's state is the
// fresh one; the parses meet where they reach the same loop top in the same
// state, usually within a few hundred bytes.
#include "deflate_parallel.hpp"

#include <algorithm>
#include <atomic>
#include <new>

#include "velkorenc/core/platform/workers.hpp"

namespace velkorenc::core::level6 {
namespace {

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
// How far into the next segment a parse looks for it: far more than two
// parses of text or noise take to meet (at most a few hundred bytes); data
// where they never meet (long matches out of phase) is parsed alone after
// this much.  Each byte of it may cost a segment a loop top's record.
constexpr std::uint64_t kMeetReach = std::uint64_t{8} << 10;

std::uint64_t meet_reach(std::uint64_t segment) noexcept {
  return std::min(kMeetReach, segment / 4);
}

// A position 16 KiB past a multiple of 32 KiB, at or before `at`.
std::uint64_t segment_start(std::uint64_t at) noexcept {
  return at / kWindowSize * kWindowSize + kWindowSize / 2;
}

// The segment's own parse: its first loop tops recorded, then to its end.
bool parse_alone(Segment& segment, const ParseInput& input, const SegmentedRun& run,
                 std::uint64_t reach) noexcept {
  try {
    segment.matches.clear();
    segment.tops.clear();
    segment.tops.reserve(static_cast<std::size_t>(reach));  // at most a top a byte
    Parser& parser = segment.parser;
    parser.begin(input, segment.start, LazyState{}, segment.start - 3 * kWindowSize / 2, run.piece);
    parser.set_match_origin(run.match_origin);
    parser.run(segment.start + reach, segment.matches,
               [&](std::uint64_t position, const LazyState& state, std::size_t matches) {
                 segment.tops.push_back({position, state, static_cast<std::uint32_t>(matches)});
                 return false;
               });
    parser.run(segment.end, segment.matches);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

unsigned segment_count(std::uint64_t from, std::uint64_t limit, unsigned threads,
                       std::uint64_t segment) noexcept {
  if (threads <= 1 || limit <= from) return 1;
  // A run shorter than `segment` (the last of a stream) is cut too, into
  // segments no shorter than a quarter of it.
  const std::uint64_t shortest = std::max(segment / 4, 3 * kShortestSegment / 4);
  return static_cast<unsigned>(std::clamp<std::uint64_t>((limit - from) / shortest, 1, threads));
}

namespace {

// Blocks for one thread, and the thread count, of a run of this many.
constexpr std::size_t kBlocksPerThread = 4;

// Calls literals(from, to) for each run of literals of `cut` and match(m)
// for each of its matches, in order.
template <class Literals, class OneMatch>
void walk_block(const BlockCut& cut, const BlockSource& source, Literals&& literals, OneMatch&& match) {
  std::uint64_t at = cut.start;
  for (std::size_t i = cut.first_match; i < cut.end_match; ++i) {
    const Match& m = source.matches[i];
    const std::uint64_t match_at = source.match_origin + m.at;
    if (match_at != at) literals(source.bytes + (at - source.origin), match_at - at);
    match(m);
    at = match_at + m.length;
  }
  if (cut.end != at) literals(source.bytes + (at - source.origin), cut.end - at);
}

// Counts the symbols of `cut` into `maker`'s trees.
void count_block(const BlockCut& cut, const BlockSource& source, BlockMaker& maker) noexcept {
  maker.trees.clear();
  walk_block(
      cut, source,
      [&](const std::uint8_t* bytes, std::uint64_t count) {
        maker.trees.count_literals(bytes, static_cast<std::size_t>(count));
      },
      [&](const Match& m) { maker.trees.count_match(m.distance, m.length); });
}

// The symbols of `cut`, put only for a block sent with codes.
struct BlockSymbols {
  const BlockCut* cut;
  const BlockSource* source;

  static void put(void* context, huffman::SymbolWriter& writer) noexcept {
    const auto& self = *static_cast<BlockSymbols*>(context);
    walk_block(
        *self.cut, *self.source,
        [&](const std::uint8_t* bytes, std::uint64_t run) {
          writer.literals(bytes, static_cast<std::size_t>(run));
        },
        [&](const Match& m) { writer.match(m.distance, m.length - kMinMatch); });
  }
};

}  // namespace

bool make_blocks(std::span<const BlockCut> cuts, const BlockSource& source, unsigned threads,
                 std::vector<BlockMaker>& makers, std::vector<BlockBits>& made) noexcept {
  threads = static_cast<unsigned>(
      std::clamp<std::size_t>(cuts.size() / kBlocksPerThread, 1, std::max(threads, 1u)));
  try {
    if (made.size() < cuts.size()) made.resize(cuts.size());
    if (makers.size() < threads) makers.resize(threads);
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  run_on_threads(threads, [&](unsigned thread) {
    BlockMaker& maker = makers[thread];
    for (std::size_t b; (b = next.fetch_add(1, std::memory_order_relaxed)) < cuts.size();) {
      const BlockCut& cut = cuts[b];
      BlockBits& out = made[b];
      count_block(cut, source, maker);
      // A block that will be stored needs no room: its bytes are the input's.
      const huffman::CodedBlock coded(maker.trees, cut.end - cut.start, cut.storable);
      out.stored = coded.stored();
      out.bit_count = 0;
      if (out.stored) continue;
      try {
        out.bytes.resize(huffman::block_room(kBlockSymbols));
      } catch (const std::bad_alloc&) {
        failed.store(true, std::memory_order_relaxed);
        return;
      }
      huffman::BitWriter bits(out.bytes.data());
      BlockSymbols symbols{&cut, &source};
      coded.send({&BlockSymbols::put, &symbols}, cut.last, bits);
      out.bit_count = bits.bit_count();
      bits.align();
    }
  });
  return !failed.load(std::memory_order_relaxed);
}

bool parse_segments(Parser& parser, std::vector<Match>& out, const SegmentedRun& run, unsigned count,
                    std::vector<Segment>& segments, bool& all_met) noexcept {
  all_met = true;
  const std::uint64_t from = parser.position();
  const std::uint64_t reach = meet_reach(run.segment);
  try {
    if (segments.size() < count) segments.resize(count);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (unsigned j = 1; j < count; ++j) segments[j].parser.set_lender(run.lender);
  // segments[0] stands for `parser`; the others start evenly spaced.
  const std::uint64_t step = (run.limit - from) / count;
  for (unsigned j = 1; j < count; ++j) segments[j].start = segment_start(from + j * step);
  for (unsigned j = 0; j < count; ++j) {
    segments[j].end = j + 1 < count ? segments[j + 1].start : kNever;
    if (!segments[j].parser.ok()) return false;
  }

  std::atomic<bool> failed{false};
  parser.update_input(run.open);
  run_on_threads(count, [&](unsigned j) {
    bool done;
    if (j == 0) {
      try {
        parser.run(segments[0].end, out);
        done = true;
      } catch (const std::bad_alloc&) {
        done = false;
      }
    } else {
      // Only the last segment's parse reaches the end (and writes past it).
      done = parse_alone(segments[j], j + 1 == count ? run.whole : run.open, run, reach);
    }
    if (!done) failed.store(true, std::memory_order_relaxed);
  });
  if (failed.load(std::memory_order_relaxed)) return false;

  // In order: the parse that is right so far goes on into the next segment
  // until it meets that segment's parse, whose matches are then right too.
  Parser* current = &parser;
  try {
    for (unsigned j = 1; j < count; ++j) {
      Segment& next = segments[j];
      current->update_input(run.whole);
      const Segment::Top* met = nullptr;
      std::size_t seen = 0;
      current->run(next.start + reach, out,
                   [&](std::uint64_t position, const LazyState& state, std::size_t) {
                     while (seen < next.tops.size() && next.tops[seen].position < position) ++seen;
                     if (seen < next.tops.size() && next.tops[seen].position == position &&
                         next.tops[seen].state == state) {
                       met = &next.tops[seen];
                     }
                     return met != nullptr;
                   });
      if (met != nullptr) {
        out.insert(out.end(), next.matches.begin() + static_cast<std::ptrdiff_t>(met->matches),
                   next.matches.end());
        current = &next.parser;
      } else {
        all_met = false;
        current->run(next.end, out);
      }
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  current->update_input(run.whole);
  // The parse that ended the run goes on as `parser`; the one it replaces
  // keeps its tables for the next run.
  if (current != &parser) std::swap(parser, *current);
  return true;
}

}  // namespace velkorenc::core::level6

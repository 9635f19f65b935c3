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
//
// A run is cut into a segment a thread, then shorter segments that the
// threads take in turn as they finish, so that they end the run together
// however fast each part of the input parses.
#include "deflate_parallel.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>

#include "velkorenc/core/platform/workers.hpp"

namespace velkorenc::core::level6 {
namespace {

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

}  // namespace

unsigned segment_count(std::uint64_t from, std::uint64_t limit, unsigned threads,
                       std::uint64_t segment) noexcept {
  if (threads <= 1 || limit <= from) return 1;
  // A run shorter than `segment` (the last of a stream) is parsed on
  // several threads too, with no less than a quarter of it each.
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

// Makes the block `cut` into `out`; false when memory ran out.
bool make_block(const BlockCut& cut, const BlockSource& source, BlockMaker& maker, BlockBits& out) noexcept {
  count_block(cut, source, maker);
  // A block that will be stored needs no room: its bytes are the input's.
  const huffman::CodedBlock coded(maker.trees, cut.end - cut.start, cut.storable);
  out.stored = coded.stored();
  out.bit_count = 0;
  if (out.stored) return true;
  try {
    out.bytes.resize(huffman::block_room(kBlockSymbols));
  } catch (const std::bad_alloc&) {
    return false;
  }
  huffman::BitWriter bits(out.bytes.data());
  BlockSymbols symbols{&cut, &source};
  coded.send({&BlockSymbols::put, &symbols}, cut.last, bits);
  out.bit_count = bits.bit_count();
  bits.align();
  return true;
}

constexpr std::uint32_t kCutsDone = std::uint32_t{1} << 31;

}  // namespace

BlockLine::BlockLine(std::vector<BlockCut>& cuts, const BlockSource& source, std::vector<BlockMaker>& makers,
                     std::vector<BlockBits>& made) noexcept
    : cuts_(cuts), source_(source), makers_(makers), made_(made) {}

BlockLine::~BlockLine() = default;

bool BlockLine::run(std::size_t most, unsigned threads, Calls calls) noexcept {
  threads = static_cast<unsigned>(std::clamp<std::size_t>(most / kBlocksPerThread, 1, std::max(threads, 1u)));
  try {
    cuts_.clear();
    cuts_.reserve(most);
    if (made_.size() < most) made_.resize(most);
    if (makers_.size() < threads) makers_.resize(threads);
    ready_.reset(new std::atomic<std::uint32_t>[most]);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (std::size_t b = 0; b < most; ++b) ready_[b].store(kWaiting, std::memory_order_relaxed);
  published_.store(0, std::memory_order_relaxed);
  next_.store(0, std::memory_order_relaxed);
  bool joined = true;
  run_on_threads(threads, [&](unsigned thread) {
    if (thread != 0) {
      make_while_cut(makers_[thread]);
      return;
    }
    const bool cut = calls.cut(calls.context, *this);
    published_.fetch_or(kCutsDone, std::memory_order_release);
    published_.notify_all();
    joined = cut && join_all(calls);
  });
  return joined;
}

void BlockLine::publish() noexcept {
  published_.store(static_cast<std::uint32_t>(cuts_.size()), std::memory_order_release);
  published_.notify_all();
}

// The blocks as they are cut, on a thread other than the caller's.
void BlockLine::make_while_cut(BlockMaker& maker) noexcept {
  for (std::size_t b = next_.fetch_add(1, std::memory_order_relaxed);;) {
    std::uint32_t published = published_.load(std::memory_order_acquire);
    while (b >= (published & ~kCutsDone)) {
      if (published & kCutsDone) return;
      published_.wait(published, std::memory_order_acquire);
      published = published_.load(std::memory_order_acquire);
    }
    make(b, maker);
    b = next_.fetch_add(1, std::memory_order_relaxed);
  }
}

void BlockLine::make(std::size_t b, BlockMaker& maker) noexcept {
  const bool made = make_block(cuts_.data()[b], source_, maker, made_[b]);
  ready_[b].store(made ? kMade : kFailed, std::memory_order_release);
  ready_[b].notify_all();
}

// On the calling thread, the cutting done: each block in order, made here
// while it is not yet made elsewhere.
bool BlockLine::join_all(Calls calls) noexcept {
  const std::size_t count = cuts_.size();
  for (std::size_t b = 0; b < count; ++b) {
    for (;;) {
      const std::uint32_t state = ready_[b].load(std::memory_order_acquire);
      if (state == kFailed) return false;
      if (state == kMade) break;
      const std::size_t other = next_.fetch_add(1, std::memory_order_relaxed);
      if (other < count) {
        make(other, makers_[0]);
      } else {
        ready_[b].wait(kWaiting, std::memory_order_acquire);
      }
    }
    if (!calls.join(calls.context, b)) return false;
  }
  return true;
}

namespace {

// The shortest segment a run is cut into: a thread takes one in a few
// milliseconds, and begins its parse in a tenth of one.
std::uint64_t shortest_segment(std::uint64_t segment) noexcept {
  return std::max(std::min<std::uint64_t>(segment / 8, std::uint64_t{128} << 10), 3 * kShortestSegment / 4);
}

// Cuts [from, limit) into segments: one a thread for three quarters of it,
// then each a share of what is left, the shortest last.  Taken in turn,
// they end the threads' work together, with few parses begun: beginning
// one costs about as much as parsing 100 KiB of noise.  Returns their
// count.  Throws std::bad_alloc.
std::size_t plan_segments(std::uint64_t from, std::uint64_t limit, unsigned threads,
                          std::uint64_t segment, std::vector<Segment>& segments) {
  const std::uint64_t shortest = shortest_segment(segment);
  const std::uint64_t first = (limit - from) / 4 * 3 / threads;
  std::size_t count = 0;
  for (std::uint64_t start = from;;) {
    if (segments.size() == count) segments.emplace_back();
    Segment& s = segments[count++];
    s.start = start;
    s.begun = s.tops_ready = false;
    s.parser = nullptr;
    s.met = Segment::kNone;
    const std::uint64_t share = count <= threads ? first : (limit - start) / (2 * threads);
    const std::uint64_t next = segment_start(start + std::max(share, shortest));
    if (next >= limit || limit - next < shortest) {
      s.end = limit;
      return count;
    }
    s.end = next;
    start = next;
  }
}

// One run's parse on several threads: what the threads share, and each
// thread's part.
class SegmentedParse {
 public:
  SegmentedParse(Parser& parser, std::vector<Match>& out, const SegmentedRun& run,
                 SegmentWork& work, std::size_t count) noexcept
      : parser_(parser),
        out_(out),
        run_(run),
        segments_(work.segments),
        parsers_(work.parsers),
        count_(count),
        reach_(meet_reach(shortest_segment(run.segment))) {}

  // Thread `thread`'s part: the caller's goes on with `parser` from the
  // first segment; then each thread, its parse met by another's, begins at
  // the first segment no thread has taken.
  void work(unsigned thread) noexcept {
    try {
      Parser& parser = thread == 0 ? parser_ : parsers_[thread - 1];
      if (thread == 0) {
        segments_[0].parser = &parser;
        parse_from(0, parser, out_);
      }
      for (std::size_t own; take_to_begin(own);) {
        Segment& segment = segments_[own];
        segment.parser = &parser;
        begin(own, parser);
        parse_from(own, parser, segment.matches);
      }
    } catch (const std::bad_alloc&) {
      const std::lock_guard<std::mutex> hold(lock_);
      failed_ = true;
      changed_.notify_all();
    }
  }

  // After the threads: the matches of the parses that met, in order, after
  // those of the first; `parser` stands where the last of them stopped.
  bool finish(bool& all_met) {
    if (failed_) return false;
    all_met = all_met_;
    const Segment* at = &segments_[0];
    while (at->met != Segment::kNone) {
      const Segment& next = segments_[at->met];
      const std::size_t to = next.met == Segment::kNone ? next.matches.size() : next.matches_before_meeting;
      out_.insert(out_.end(), next.matches.begin() + static_cast<std::ptrdiff_t>(at->met_at),
                  next.matches.begin() + static_cast<std::ptrdiff_t>(to));
      at = &next;
    }
    Parser& last = *at->parser;
    last.update_input(run_.whole);
    // The parse that ended the run goes on as `parser`; the one it replaces
    // keeps its tables for the next run.
    if (&last != &parser_) std::swap(parser_, last);
    return true;
  }

 private:
  // Takes the next segment for a parse begun at its start.
  bool take_to_begin(std::size_t& own) {
    std::unique_lock<std::mutex> hold(lock_);
    if (failed_ || taken_ == count_) return false;
    own = taken_++;
    segments_[own].begun = true;
    if (own + 1 == count_) take_whole(hold);
    return true;
  }

  // Only one parse at a time may hold the input with its end: that parse
  // writes the bytes past the end.  It holds it until it stops.
  void take_whole(std::unique_lock<std::mutex>& hold) {
    changed_.wait(hold, [&] { return !whole_taken_ || failed_; });
    whole_taken_ = true;
  }

  // Its parse from its start, the loop tops of its first bytes recorded.
  void begin(std::size_t own, Parser& parser) {
    Segment& segment = segments_[own];
    segment.matches.clear();
    segment.tops.clear();
    segment.tops.reserve(static_cast<std::size_t>(reach_));  // at most a top a byte
    const bool last = own + 1 == count_;
    parser.begin(last ? run_.whole : run_.open, segment.start, LazyState{},
                 segment.start - 3 * kWindowSize / 2, run_.piece);
    parser.set_lender(run_.lender);
    parser.set_match_origin(run_.match_origin);
    parser.run(segment.start + reach_, segment.matches,
               [&](std::uint64_t position, const LazyState& state, std::size_t matches) {
                 segment.tops.push_back({position, state, static_cast<std::uint32_t>(matches)});
                 return false;
               });
    const std::lock_guard<std::mutex> hold(lock_);
    segment.tops_ready = true;
    changed_.notify_all();
  }

  // Parses on from the segment `own` (whose record gets the matches) until
  // the parse meets another or reaches the run's end.
  void parse_from(std::size_t own, Parser& parser, std::vector<Match>& matches) {
    Segment& record = segments_[own];
    for (std::size_t through = own;;) {
      parser.run(segments_[through].end, matches);
      const std::size_t next = through + 1;
      if (next == count_) {
        // At the run's end: the input with its end is free for another parse.
        const std::lock_guard<std::mutex> hold(lock_);
        whole_taken_ = false;
        changed_.notify_all();
        return;
      }
      bool begun;
      {
        std::unique_lock<std::mutex> hold(lock_);
        if (failed_) return;
        // Segments are taken in order: when no thread has taken it, this
        // parse goes on through it.
        if (next == taken_) ++taken_;
        begun = segments_[next].begun;
        if (begun) changed_.wait(hold, [&] { return segments_[next].tops_ready || failed_; });
        if (failed_) return;
      }
      if (begun && meet(parser, matches, segments_[next], record, next)) return;
      if (next + 1 == count_) {
        std::unique_lock<std::mutex> hold(lock_);
        take_whole(hold);
        if (failed_) return;
        parser.update_input(run_.whole);
      }
      through = next;
    }
  }

  // Runs `parser` into `next` until it meets that segment's parse.
  bool meet(Parser& parser, std::vector<Match>& matches, const Segment& next, Segment& record,
            std::size_t next_index) {
    const Segment::Top* met = nullptr;
    std::size_t seen = 0;
    parser.run(next.start + reach_, matches,
               [&](std::uint64_t position, const LazyState& state, std::size_t) {
                 while (seen < next.tops.size() && next.tops[seen].position < position) ++seen;
                 if (seen < next.tops.size() && next.tops[seen].position == position &&
                     next.tops[seen].state == state) {
                   met = &next.tops[seen];
                 }
                 return met != nullptr;
               });
    if (met == nullptr) {
      // Where parses do not meet (long matches out of phase), this one goes
      // on through the next segment; the other's work is lost.
      const std::lock_guard<std::mutex> hold(lock_);
      all_met_ = false;
      return false;
    }
    record.met = next_index;
    record.matches_before_meeting = matches.size();
    record.met_at = met->matches;
    return true;
  }

  Parser& parser_;
  std::vector<Match>& out_;
  const SegmentedRun& run_;
  std::vector<Segment>& segments_;
  std::vector<Parser>& parsers_;
  const std::size_t count_;
  const std::uint64_t reach_;

  std::mutex lock_;
  std::condition_variable changed_;
  // Under the lock:
  std::size_t taken_ = 1;  // the segments before it are taken; the first is the caller's
  bool whole_taken_ = false;
  bool all_met_ = true;
  bool failed_ = false;
};

}  // namespace

bool parse_segments(Parser& parser, std::vector<Match>& out, const SegmentedRun& run, unsigned threads,
                    SegmentWork& work, bool& all_met) noexcept {
  all_met = true;
  std::size_t count;
  try {
    count = plan_segments(parser.position(), run.limit, threads, run.segment, work.segments);
    if (work.parsers.size() < threads - 1) work.parsers.resize(threads - 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (const Parser& spare : work.parsers) {
    if (!spare.ok()) return false;
  }
  if (count == 1) {
    parser.update_input(run.whole);
    try {
      parser.run(run.limit, out);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }
  parser.update_input(run.open);
  SegmentedParse parse(parser, out, run, work, count);
  run_on_threads(threads, [&](unsigned thread) { parse.work(thread); });
  try {
    return parse.finish(all_met);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace velkorenc::core::level6

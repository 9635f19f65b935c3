// The level-6 parse of a long run of input on several threads: the run is
// cut into segments, parsed from their starts with a fresh lazy state; the
// parse of each runs on past its end until it meets the next one's parse
// at a loop top in the same state, where the next one's matches take over
// (else it goes on alone).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "huffman.hpp"
#include "velkorenc/core/zlib/deflate.hpp"

namespace velkorenc::core::level6 {

// A segment of a run: the parse begun at its start when a thread took it
// on its own, kept from run to run for its vectors.
struct Segment {
  struct Top {
    std::uint64_t position;
    LazyState state;
    std::uint32_t matches;  // found before it (a segment has far fewer)
  };
  static constexpr std::size_t kNone = ~std::size_t{0};

  std::uint64_t start = 0;
  std::uint64_t end = 0;  // the next segment's start; the run's limit for the last
  // Set while the run is parsed, under its lock.
  bool begun = false;       // taken by a parse begun at its start (else by the parse before it)
  bool tops_ready = false;  // `tops` holds all the loop tops of its first bytes
  // The parse begun here.
  std::vector<Match> matches;
  std::vector<Top> tops;  // the loop tops of its first bytes, where a parse may meet it
  Parser* parser = nullptr;
  // Where it met the parse of a later segment: `met_at` is the first of that
  // segment's matches to follow its own first `matches_before_meeting`.
  std::size_t met = kNone;  // kNone: it went on to the run's end
  std::size_t matches_before_meeting = 0;
  std::size_t met_at = 0;
};

// What the parses of runs keep from run to run.
struct SegmentWork {
  std::vector<Segment> segments;
  std::vector<Parser> parsers;  // one for each thread but the caller
};

// How many threads (at least 1, at most `threads`, each with at least a
// quarter of `segment` bytes) parse [from, limit).
unsigned segment_count(std::uint64_t from, std::uint64_t limit, unsigned threads,
                       std::uint64_t segment) noexcept;

struct SegmentedRun {
  ParseInput open;   // the input without its end, for parses that stay far from it
  ParseInput whole;  // the input as it is known, its end if known
  std::uint64_t limit;  // where the parse stops: the end, or kLookaheadNeeded before it
  std::uint64_t match_origin;
  std::uint64_t piece;
  std::uint64_t segment;  // the length the thread count was found with
  const RecentLender* lender;  // where the parsers take tables first
};

// Parses from `parser`'s position (given `run.open`) through `run.limit` on
// `threads` threads, appending the matches to `out` as the parse by
// `parser` alone would.  The run is cut into segments, longest first, that
// the threads take in turn; a parse that reaches the start of a segment
// taken by another thread goes on until it meets that segment's parse,
// which then takes over, or else through that segment too; one that
// reaches a segment no thread has taken goes on through it.  `parser` then
// stands where the parse alone would stop, given `run.whole`; `all_met`
// says whether every parse met the one it reached.  False when memory ran
// out.
bool parse_segments(Parser& parser, std::vector<Match>& out, const SegmentedRun& run, unsigned threads,
                    SegmentWork& work, bool& all_met) noexcept;

// The blocks of a run of parsed input, cut in order, then made on several
// threads and joined in order.

// zlib cuts a block when it holds this many symbols.
inline constexpr std::size_t kBlockSymbols = 16383;

// A block: the bytes [start, end), its matches those of [first_match,
// end_match), the literals the bytes between.
struct BlockCut {
  std::uint64_t start;
  std::uint64_t end;
  std::size_t first_match;
  std::size_t end_match;
  bool storable;  // its bytes are still in zlib's window when it is sent
  bool last;
};

// A block made apart: its bits from bit 0, or nothing when it is stored.
struct BlockBits {
  std::vector<std::uint8_t> bytes;
  std::size_t bit_count = 0;
  bool stored = false;
};

// What a thread needs to make blocks.
struct BlockMaker {
  huffman::BlockTrees trees;
};

// Where the blocks' matches and bytes are.
struct BlockSource {
  std::span<const Match> matches;
  std::uint64_t match_origin;
  const std::uint8_t* bytes;  // the byte at position `origin`
  std::uint64_t origin;
};

// The blocks of a run, cut in order on the calling thread, made on several
// threads as they are cut, and joined on the calling thread in order as
// they are made.
class BlockLine {
 public:
  struct Calls {
    void* context;
    // Cuts the blocks into `cuts` (up to `most` of them), calling publish()
    // after each; false when it failed.
    bool (*cut)(void* context, BlockLine& line) noexcept;
    // Joins block `b`, made; false to stop.
    bool (*join)(void* context, std::size_t b) noexcept;
  };

  BlockLine(std::vector<BlockCut>& cuts, const BlockSource& source, std::vector<BlockMaker>& makers,
            std::vector<BlockBits>& made) noexcept;
  ~BlockLine();
  BlockLine(const BlockLine&) = delete;
  BlockLine& operator=(const BlockLine&) = delete;

  // Cuts, makes and joins the blocks on up to `threads` threads; `most` is
  // the most blocks the cut can give.  False when memory ran out or a call
  // failed.
  bool run(std::size_t most, unsigned threads, Calls calls) noexcept;
  // The cuts made so far may be made.
  void publish() noexcept;

 private:
  // The waits are on 32-bit atomics, which the kernel waits on directly.
  static constexpr std::uint32_t kWaiting = 0;
  static constexpr std::uint32_t kMade = 1;
  static constexpr std::uint32_t kFailed = 2;
  void make_while_cut(BlockMaker& maker) noexcept;
  void make(std::size_t b, BlockMaker& maker) noexcept;
  bool join_all(Calls calls) noexcept;

  std::vector<BlockCut>& cuts_;
  const BlockSource& source_;
  std::vector<BlockMaker>& makers_;
  std::vector<BlockBits>& made_;
  std::unique_ptr<std::atomic<std::uint32_t>[]> ready_;
  std::atomic<std::uint32_t> published_{0};  // cuts made, and kCutsDone once all are
  std::atomic<std::size_t> next_{0};       // the next block to make
};

}  // namespace velkorenc::core::level6

// The level-6 parse of a long run of input on several threads: the run is
// cut into segments, each parsed from its start at once with a fresh lazy
// state; then, in order, the parse of each segment runs on past its end
// until it meets the next segment's parse at a loop top in the same state,
// where the next segment's matches take over (else it goes on alone).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "huffman.hpp"
#include "velkorenc/core/zlib/deflate.hpp"

namespace velkorenc::core::level6 {

// A segment's parse, kept from run to run for its tables.
struct Segment {
  struct Top {
    std::uint64_t position;
    LazyState state;
    std::uint32_t matches;  // found before it (a segment has far fewer)
  };
  Parser parser;
  std::vector<Match> matches;
  std::vector<Top> tops;  // the loop tops of its first bytes, where a parse may meet it
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

// How many segments (at least 1, at most `threads`, each at least a quarter
// of `segment` bytes) the parse of [from, limit) is cut into.
unsigned segment_count(std::uint64_t from, std::uint64_t limit, unsigned threads,
                       std::uint64_t segment) noexcept;

struct SegmentedRun {
  ParseInput open;   // the input without its end, for parses that stay far from it
  ParseInput whole;  // the input as it is known, its end if known
  std::uint64_t limit;  // where the parse stops: the end, or kLookaheadNeeded before it
  std::uint64_t match_origin;
  std::uint64_t piece;
  std::uint64_t segment;  // the length the segments were counted with
  const RecentLender* lender;  // where the segments' parsers take tables first
};

// Parses from `parser`'s position (given `run.open`) through `run.limit` in
// `count` segments on as many threads, appending the matches to `out` as
// the parse by `parser` alone would.  `parser` then stands where that parse
// would stop, given `run.whole`; `all_met` says whether each segment's
// parse was met (none was parsed again alone).  False when memory ran out.
bool parse_segments(Parser& parser, std::vector<Match>& out, const SegmentedRun& run, unsigned count,
                    std::vector<Segment>& segments, bool& all_met) noexcept;

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

// Makes each block of `cuts` into `made` (as many) on up to `threads`
// threads.  False when memory ran out.
bool make_blocks(std::span<const BlockCut> cuts, const BlockSource& source, unsigned threads,
                 std::vector<BlockMaker>& makers, std::vector<BlockBits>& made) noexcept;

}  // namespace velkorenc::core::level6

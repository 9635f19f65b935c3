// The module's own level-6 deflate: the bytes of zlib.compress(data, 6)
// (zlib's deflate at level 6, window 15, memory level 8, default strategy,
// the whole input given as the interpreter's zlib module gives it) for
// inputs of any size, without the library.
//
// The parse follows zlib's deflate.c (deflate_slow, longest_match,
// fill_window's window slides); zlib is (C) 1995-2024 Jean-loup Gailly and
// Mark Adler, under the zlib licence (see LICENSE).
//
// A parse at a position depends only on the 32 KiB before it, the bytes
// ahead and a small lazy-match state, so a Parser can start anywhere.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "velkorenc/core/keying/keying.hpp"
#include "velkorenc/core/zlib/zlib.hpp"

namespace velkorenc::core {

// Whether this process makes level-6 streams itself: the library is one
// whose deflate is understood, and probes at first use (short, long,
// multi-block, window-sliding and incompressible inputs, and one parsed on
// several threads) give the library's own bytes.  Computed once per process.
bool own_deflate_available() noexcept;

namespace level6 {

inline constexpr std::uint32_t kWindowSize = 32768;
inline constexpr std::uint32_t kMinMatch = 3;
inline constexpr std::uint32_t kMaxMatch = 258;
// zlib keeps this much input ahead of a position while it can.
inline constexpr std::uint32_t kMinLookahead = kMaxMatch + kMinMatch + 1;
inline constexpr std::uint32_t kMaxDistance = kWindowSize - kMinLookahead;  // 32506
// The interpreter's zlib.compress hands zlib its input in pieces of this.
inline constexpr std::uint64_t kLibraryPiece = 0xFFFFFFFFu;
// Bytes past the end of the input that a parse reads: what zlib's window
// holds there, and room for whole-word reads.
inline constexpr std::size_t kTailRoom = kMaxMatch + 16;
// Bytes ahead of a position that a parse needs before the input's end is
// known.
inline constexpr std::uint64_t kLookaheadNeeded = 1024;

// zlib's state at a loop top of its lazy parse (deflate_slow at strstart).
struct LazyState {
  std::uint16_t match_length = kMinMatch - 1;  // found one position back; 2 when none
  std::uint32_t match_distance = 0;            // of that match, when match_length >= 3
  bool match_available = false;                // the byte one position back is not yet sent
  bool operator==(const LazyState&) const = default;
};

// A match of the parse; the literals are the bytes between matches.
struct Match {
  std::uint32_t at;  // its start, from the origin the parse was given
  std::uint16_t length;
  std::uint16_t distance;
};

// zlib's window base (the position at its window's index 0) over the loop
// tops of a parse: zlib moves its window by 32 KiB when it checks its
// lookahead at a loop top (whenever less than kMinLookahead is in the
// window, and where the interpreter hands it the next piece of input) and
// the loop top is far enough into the window.
class WindowSlides {
 public:
  WindowSlides() = default;
  WindowSlides(std::uint64_t base, std::uint64_t first_top, std::uint64_t piece) noexcept;

  std::uint64_t base() const noexcept { return base_; }
  // The input's end, once known.
  void set_end(std::uint64_t end) noexcept;
  // The first position whose loop top (or the first loop top after it) may
  // move the window.
  std::uint64_t next_check() const noexcept { return std::min(threshold_, piece_check_); }
  // Checks the loop top at `position`, the first at or after next_check().
  void check_top(std::uint64_t position) noexcept;

 private:
  void update_threshold() noexcept;

  std::uint64_t base_ = 0;
  std::uint64_t end_ = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t piece_ = kLibraryPiece;
  std::uint64_t threshold_ = 0;    // a loop top at or past it moves the window
  std::uint64_t piece_check_ = 0;  // where the next piece of input is handed over, less its lookahead
};

// What a parse reads: the input's bytes at positions [origin, origin +
// size), including at least the 32 KiB before the window base.  When the
// input ends there, `data` has kTailRoom more bytes that the parse writes.
struct ParseInput {
  std::uint8_t* data = nullptr;
  std::uint64_t origin = 0;  // a multiple of kWindowSize
  std::uint64_t size = 0;
  bool ends = false;
  std::uint64_t end() const noexcept { return origin + size; }
};

// A parser's table of recent positions is four maps of bits, one bit for
// each value of a 21-bit hash of three bytes; each map marks the positions
// of one generation, 32 KiB of positions.
inline constexpr int kRecentBits = 21;
inline constexpr int kGenerationBits = 15;
inline constexpr std::size_t kRecentMapBytes = (std::size_t{1} << kRecentBits) / 8;

// Memory for the parsers' tables of recent positions that a caller has
// and will not use before the stream is made (the text a stored frame will
// need): each table taken once, by any thread.  The parses are the same
// whatever the tables held before.
class RecentLender {
 public:
  static constexpr std::size_t kTableBytes = 4 * kRecentMapBytes;
  // The whole tables that fit in `room`, at most `most` of them, cleared;
  // returns the bytes of `room` they take.
  std::size_t lend(std::span<std::uint8_t> room, std::size_t most) noexcept;
  std::uint8_t* take() const noexcept;

 private:
  static constexpr std::size_t kMost = 8;
  std::uint8_t* tables_[kMost] = {};
  std::size_t count_ = 0;
  mutable std::atomic<std::size_t> next_{0};
};

// Gives a parser's table of recent positions back to the tables kept for
// the process, unless it was lent.
struct RecentTableOwner {
  static std::uint8_t* take() noexcept;
  // Frees the tables kept now.
  static void release_kept() noexcept;
  void operator()(std::uint8_t* table) const noexcept;
  bool lent = false;
};

// zlib's hash table of three bytes, and its chains, a link for each
// position of the window.
inline constexpr std::uint32_t kHashSize = 1u << 15;
inline constexpr std::uint32_t kWindowMask = kWindowSize - 1;

// The three bytes at `p`, the first lowest, in one load (a parse may read
// the byte after them: the input has room past its end).
inline std::uint32_t three_bytes(const std::uint8_t* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v & 0xFFFFFF;
}
// zlib's hash of three bytes, ((p[0] << 10) ^ (p[1] << 5) ^ p[2]) cut to
// 15 bits, from the bytes as three_bytes gives them.
inline std::uint32_t hash_of_three(std::uint32_t three) noexcept {
  return ((three << 10) ^ ((three >> 3) & 0x1FE0) ^ (three >> 16)) & (kHashSize - 1);
}
// The 21-bit hash of three bytes that marks them in a map of recent
// positions.
inline std::uint32_t recent_slot(std::uint32_t three) noexcept {
  return (three * 2654435761u) >> (32 - kRecentBits);
}

// Positions of a run of literals go this many at a time.
inline constexpr std::uint32_t kRunBatch = 16;

// What a run of literals needs of each of a batch's positions, made for the
// whole batch at once: zlib's hash of the position's three bytes, and the
// byte and bit of its 21-bit hash in a map of recent positions.
struct BatchHashes {
  alignas(32) std::uint32_t chain[kRunBatch];
  alignas(32) std::uint32_t byte[kRunBatch];
  alignas(32) std::uint32_t bit[kRunBatch];
};

// The kernels that make them, from the scalar reference up; the choice is
// made once per process, in deflate.cpp.
enum class BatchHashKernel : std::uint8_t { kScalar, kAvx2 };
inline constexpr BatchHashKernel kBatchHashKernels[] = {BatchHashKernel::kScalar,
                                                        BatchHashKernel::kAvx2};
const char* kernel_name(BatchHashKernel kernel) noexcept;
bool can_run(BatchHashKernel kernel) noexcept;
BatchHashKernel chosen_batch_hash_kernel() noexcept;
// The hashes of the kRunBatch positions from `bytes`, with `kernel` where
// this CPU runs it, else with the reference; reads 32 bytes from `bytes`.
void hash_batch(BatchHashKernel kernel, const std::uint8_t* bytes, BatchHashes& out) noexcept;

namespace detail {
// Needs AVX2.
void hash_batch_avx2(const std::uint8_t* bytes, BatchHashes& out) noexcept;
}  // namespace detail

// zlib's level-6 lazy parse over hash chains, from any loop top.
class Parser {
 public:
  Parser() noexcept;

  // Starts a parse at loop top `start` with `state` and `base`, zlib's window
  // base there (a multiple of 32 KiB, at most 64 KiB before `start`), the
  // chains holding the positions from max(start - 32 KiB, base) to `start`
  // as zlib's would; `piece` is how the library is handed its input.
  void begin(const ParseInput& input, std::uint64_t start, LazyState state, std::uint64_t base,
             std::uint64_t piece = kLibraryPiece) noexcept;
  // The same input at the same positions, grown (or its end now known) or
  // moved to other memory, or with bytes before its window dropped.
  void update_input(const ParseInput& input) noexcept;
  // Matches found from here on have `at` from `origin`.
  void set_match_origin(std::uint64_t origin) noexcept { match_origin_ = origin; }
  // Where its table of recent positions comes from first.
  void set_lender(const RecentLender* lender) noexcept { lender_ = lender; }

  // Runs loop tops while the position is below `stop` (and, unless the
  // input ends, at least kLookaheadNeeded before its end), or through the
  // input's end.  `at_top(position, state, matches_so_far)` is called at each
  // loop top and may return true to stop there.  Appends the matches to
  // `out`; returns the loop top it stopped at (the input's end when all is
  // parsed).
  template <class AtTop>
  std::uint64_t run(std::uint64_t stop, std::vector<Match>& out, AtTop&& at_top);
  std::uint64_t run(std::uint64_t stop, std::vector<Match>& out) {
    return run(stop, out, [](std::uint64_t, const LazyState&, std::size_t) { return false; });
  }

  std::uint64_t position() const noexcept { return table_origin_ + top_; }
  LazyState state() const noexcept;
  std::uint64_t base() const noexcept { return slides_.base(); }
  // False when its tables could not be allocated.
  bool ok() const noexcept { return head_ && links_; }
  // Whether the parse has passed its input's end.
  bool done() const noexcept { return done_; }

 private:
  static constexpr std::uint32_t kTooFar = 4096;
  static constexpr std::uint32_t kGoodLength = 8;
  static constexpr std::uint32_t kMaxLazy = 16;
  static constexpr std::uint32_t kNiceLength = 128;
  static constexpr std::uint32_t kMaxChain = 128;

  static std::uint32_t hash(const std::uint8_t* p) noexcept { return hash_of_three(three_bytes(p)); }
  void insert(std::uint32_t top) noexcept {
    const std::uint32_t h = hash(window_ + top);
    link(links_.get(), top, head_[h]);
    head_[h] = static_cast<std::uint16_t>(top);
  }
  // Each position's links: the one before it in its chain (zlib's prev),
  // and the one before that, where known.  A walk follows the second and
  // so waits on one load for every two candidates, where each candidate's
  // link was a load that waited on the one before.  Where the second is
  // not known (a run of literals, which does not read the chain, writes
  // none), it holds the first again, which it can never be otherwise.
  static std::uint32_t links_at(const std::uint16_t* links, std::uint32_t top) noexcept {
    std::uint32_t both;
    std::memcpy(&both, links + 2 * (top & kWindowMask), 4);
    return both;
  }
  static std::uint32_t previous(const std::uint16_t* links, std::uint32_t top) noexcept {
    return links[2 * (top & kWindowMask)];
  }
  // Links `top` to `candidate`, the head of its chain, and to the
  // candidate's own first link.  That is read even where the candidate is
  // none or out of reach: a walk that stops at the first never reads it.
  static void link(std::uint16_t* links, std::uint32_t top, std::uint32_t candidate) noexcept {
    const std::uint32_t both = candidate | previous(links, candidate) << 16;
    std::memcpy(links + 2 * (top & kWindowMask), &both, 4);
  }
  static void link_first(std::uint16_t* links, std::uint32_t top, std::uint32_t candidate) noexcept {
    const std::uint32_t both = candidate * 0x10001u;
    std::memcpy(links + 2 * (top & kWindowMask), &both, 4);
  }
  // zlib's longest_match from `candidate`, the head of the chain at `top`.
  // By two (following the second links) where matches are searched for
  // in full; by one in a run of literals, whose loop it would crowd.
  template <bool kByTwo = true>
  std::uint32_t longest_match(std::uint32_t top, std::uint32_t candidate, std::uint32_t best,
                              std::uint32_t nice) noexcept;
  // Moves table coordinates so that `origin` (the new window base) is
  // their 0, as zlib slides its tables: positions before it are none.
  void rebase(std::uint64_t origin) noexcept;
  void point_window() noexcept;
  // What happens at loop top `top` before its search: window slides; the
  // bytes past the end that a slide changes.
  void check_top(std::uint32_t top) noexcept;
  void write_tail() noexcept;
  // The loop tops from top_ to below `until`; in the tail, those near the
  // input's end, where zlib's lookahead is short.
  template <bool kTail, class AtTop>
  bool loop(std::uint32_t until, std::vector<Match>& out, AtTop& at_top);
  // Loop tops of a run of literals, from `top` while at least kRunBatch are
  // left before `until`; returns the first loop top it did not take.
  template <class AtTop>
  std::uint32_t literal_run(std::uint32_t top, std::uint32_t until, std::size_t matches,
                            AtTop& at_top, bool& stopped) noexcept;
  static_assert((std::uint64_t{1} << kGenerationBits) >= kRunBatch + kMaxDistance);

  // Positions in the tables are table coordinates, position - table_origin_,
  // with table_origin_ zlib's window base, as zlib keeps them (0 is none).
  std::unique_ptr<std::uint16_t[]> head_;
  std::unique_ptr<std::uint16_t[]> links_;  // two per position: see links_at
  // The positions up to recent_upto_ marked by the hash of their three
  // bytes in the map of their generation (the generation's number modulo
  // four picks the map; a run's batch marks the few positions it takes of
  // the generation before in the next one's): where neither the map of a
  // position's generation nor that of the one before has its bit, no
  // position within a search's reach shares its first three bytes.  A map
  // is emptied as its generation begins.  The maps (1 MiB in all) mostly
  // stay in the cache, which a table of positions (4 MiB) did not; smaller
  // maps cost more in the chains walked for bits that other three bytes
  // set.  Taken at the first run of literals past kRunsFrom, from the
  // lender's memory or else from a few tables kept for the process: a fresh
  // one would cost each call its page faults, and unmapping it would stop
  // the process's other threads.  Bits set for no position (left from
  // before, or by inserts undone) only make a search more likely.
  const RecentLender* lender_ = nullptr;
  static constexpr std::uint64_t kRunsFrom = std::uint64_t{256} << 10;
  std::unique_ptr<std::uint8_t[], RecentTableOwner> recent_;
  std::uint64_t recent_upto_ = 0;
  // The newest generation whose map was emptied, while recent_generation_set_.
  std::uint64_t recent_generation_ = 0;
  bool recent_generation_set_ = false;
  // Begins `generation`, emptying those of its map and of the one before
  // that have not begun since they last held another.
  void begin_generation(std::uint64_t generation) noexcept;
  // Begins `generation` unless it or a later one has begun.
  void reach_generation(std::uint64_t generation) noexcept {
    if (!recent_generation_set_ || generation > recent_generation_) begin_generation(generation);
  }
  std::uint8_t* recent_map(std::uint64_t generation) const noexcept {
    return recent_.get() + (generation & 3) * kRecentMapBytes;
  }
  // Runs of literals are taken only from here on: where they keep ending
  // at once (text, with a match every few bytes), the full search goes on
  // alone for a while, twice as long each time, and recent_ catches up only
  // with the positions within reach when they start again.
  std::uint64_t runs_from_ = 0;
  std::uint32_t runs_pause_ = 0;
  // Marks a position of these three bytes in the map of its generation.
  void mark_recent(std::uint64_t at, std::uint32_t first_three) noexcept {
    const std::uint64_t generation = at >> kGenerationBits;
    reach_generation(generation);
    const std::uint32_t slot = recent_slot(first_three);
    recent_map(generation)[slot >> 3] |= static_cast<std::uint8_t>(1u << (slot & 7));
  }
  ParseInput input_;
  const std::uint8_t* window_ = nullptr;  // the byte at table coordinate 0
  std::uint64_t table_origin_ = 0;
  std::uint64_t match_origin_ = 0;
  WindowSlides slides_;
  std::uint32_t top_ = 0;
  std::uint32_t match_length_ = kMinMatch - 1;
  std::uint32_t match_start_ = 0;
  bool match_available_ = false;
  bool done_ = false;
  std::uint64_t tail_base_ = 0;  // the window base the bytes past the end were written for
};

// New input a thread parses at a time.
inline constexpr std::uint64_t kSegment = std::uint64_t{2} << 20;
// The shortest segment a stream may be given (segments at least this long
// leave room for the 32 KiB history and the meeting of two parses).
inline constexpr std::uint64_t kShortestSegment = std::uint64_t{128} << 10;

class BlockLine;

// A level-6 zlib stream made from pieces of input: the bytes of
// zlib.compress of their concatenation, the same for every thread count.
// Keeps the window, the lookahead and the open block, and parses a few MiB
// at a time, in segments of `segment` bytes on up to `threads` threads.
class DeflateStream {
 public:
  // `piece`: how the library is handed the input (the interpreter's way by
  // default).  `segment` is rounded to a multiple of 32 KiB and is at least
  // kShortestSegment.
  explicit DeflateStream(unsigned threads = 1, std::uint64_t piece = kLibraryPiece,
                         std::uint64_t segment = kSegment) noexcept;
  ~DeflateStream();
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;

  // Compresses all of `input`; with `last`, also ends the stream.  False
  // when it failed (out of memory, or the sink has no room); nothing more
  // can be done with it then.
  bool feed(ByteSpan input, bool last, OutputSink& out) noexcept;
  const ZlibFailure& failure() const noexcept { return failure_; }
  // Memory the stream may use until it is destroyed, given before the first
  // feed: for its parsers' tables, one a thread, and then for its input.
  void lend(std::span<std::uint8_t> room) noexcept;
  // The most of such memory that a stream on `threads` threads uses, while
  // its open block is short (as with data that does not compress).
  static std::size_t lendable(unsigned threads) noexcept;
  // The whole input, unchanged in memory until the stream is done, given
  // before the first feed: pieces fed that are its next bytes are parsed
  // where they are, not copied, until the input's end, which the parse
  // needs room after.
  void borrow(ByteSpan whole) noexcept { borrowed_ = whole; }
  // Between feeds: the runs after parse on up to `threads` threads, at most
  // as many as the stream was made for (the stream is the same).
  void use_threads(unsigned threads) noexcept {
    threads_ = std::clamp(threads, 1u, most_threads_);
  }

 private:
  struct State;
  bool start() noexcept;
  bool process(bool last, OutputSink& out) noexcept;
  bool cut_blocks(bool last, std::uint64_t to, BlockLine& line) noexcept;
  bool join_block(std::size_t b, OutputSink& out) noexcept;
  bool out_of_memory() noexcept;
  bool emit(OutputSink& out) noexcept;
  bool own_input(std::size_t room) noexcept;

  std::unique_ptr<State> state_;
  unsigned threads_;
  unsigned most_threads_;  // what the memory is for
  std::uint64_t piece_;
  std::uint64_t segment_;
  RecentLender lender_;
  std::span<std::uint8_t> lent_input_;
  ByteSpan borrowed_;
  bool finished_ = false;
  ZlibFailure failure_;
};

// ---------------------------------------------------------------------------
// The parse loop.

template <bool kByTwo>
inline std::uint32_t Parser::longest_match(std::uint32_t top, std::uint32_t candidate,
                                           std::uint32_t best, std::uint32_t nice) noexcept {
  const auto load16 = [](const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  };
  const auto load64 = [](const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  };
  std::uint32_t chain = best >= kGoodLength ? kMaxChain >> 2 : kMaxChain;
  const std::uint32_t limit = top > kMaxDistance ? top - kMaxDistance : 0;
  const std::uint8_t* scan = window_ + top;
  const std::uint16_t scan_start = load16(scan);
  std::uint16_t scan_end = load16(scan + best - 1);
  const std::uint16_t* const links = links_.get();
  // True when the candidate's match reaches `nice`, which ends the walk.
  const auto examine = [&](std::uint32_t at) {
    const std::uint8_t* match = window_ + at;
    // A candidate can only be longer when these bytes agree.
    if (load16(match + best - 1) != scan_end || load16(match) != scan_start) return false;
    std::uint32_t length = 2;
    for (;;) {
      const std::uint64_t differ = load64(scan + length) ^ load64(match + length);
      if (differ != 0) {
        length += static_cast<std::uint32_t>(std::countr_zero(differ)) >> 3;
        break;
      }
      length += 8;
      if (length >= kMaxMatch) break;
    }
    if (length > kMaxMatch) length = kMaxMatch;
    if (length > best) {
      match_start_ = at;
      best = length;
      if (length >= nice) return true;
      scan_end = load16(scan + best - 1);
    }
    return false;
  };
  // zlib's walk: each candidate while within reach and while the chain
  // allows, two a step where the second link is followed.
  if constexpr (kByTwo) {
    for (;;) {
      if (examine(candidate)) break;
      const std::uint32_t both = links_at(links, candidate);
      const std::uint32_t next = both & 0xFFFF;
      if (next <= limit || --chain == 0) break;
      if (examine(next)) break;
      std::uint32_t after = both >> 16;
      if (after == next) after = previous(links, next);
      if (after <= limit || --chain == 0) break;
      candidate = after;
    }
  } else {
    do {
      if (examine(candidate)) break;
    } while ((candidate = previous(links, candidate)) > limit && --chain != 0);
  }
  return best;
}

// A run of literals: loop tops where no match is pending (the match found
// one position back is none, and that position's byte waits).  There zlib
// inserts the position and walks its chain for a candidate whose first three
// bytes are the position's, which is all that can make a match.  Positions
// go kRunBatch at a time: each is inserted, and where a position of the same
// three bytes may be within reach (see recent_), the first four candidates
// of its chain are checked.  At the first position that may match, or whose
// chain has a fifth candidate, the inserts from it on are undone and that
// loop top is left to the full search.  The hook is called once at each
// loop top taken here.
template <class AtTop>
std::uint32_t Parser::literal_run(std::uint32_t top, std::uint32_t until, std::size_t matches,
                                  AtTop& at_top, bool& stopped) noexcept {
  std::uint16_t* const head = head_.get();
  std::uint16_t* const links = links_.get();
  const std::uint8_t* const window = window_;
  constexpr LazyState kWaiting{kMinMatch - 1, 0, true};
  if (!recent_) {
    // Its pages cost more than a short input's whole parse: the first
    // kRunsFrom bytes are searched in full.
    if (table_origin_ + top < kRunsFrom) {
      runs_from_ = kRunsFrom;
      return top;
    }
    if (std::uint8_t* lent = lender_ ? lender_->take() : nullptr) {
      recent_ = std::unique_ptr<std::uint8_t[], RecentTableOwner>(lent, RecentTableOwner{true});
    } else {
      recent_ = std::unique_ptr<std::uint8_t[], RecentTableOwner>(RecentTableOwner::take(),
                                                                  RecentTableOwner{});
    }
    if (!recent_) {
      runs_from_ = std::numeric_limits<std::uint64_t>::max();  // the full search does without
      return top;
    }
    recent_generation_set_ = false;
  }
  // The positions the full search inserted since the last run, as far back
  // as a search reaches (up to 32 KiB of them after a parse is begun).
  const std::uint64_t reach = table_origin_ + top > kWindowSize ? table_origin_ + top - kWindowSize : 0;
  const std::uint64_t caught_up = table_origin_ + top;
  for (std::uint64_t at = std::max({recent_upto_, table_origin_, reach}); at < caught_up; ++at) {
    mark_recent(at, three_bytes(input_.data + (at - input_.origin)));
  }
  recent_upto_ = caught_up;
  const std::uint32_t first_top = top;
  const BatchHashKernel kernel = chosen_batch_hash_kernel();
  while (until - top >= kRunBatch) {
    // The batch's positions are marked in the map of its last position's
    // generation, and looked for there and in the one before.  A position
    // of the generation before (where the batch crosses into a new one) is
    // among its last kRunBatch, and all within its reach is of its own.
    const std::uint64_t generation = (table_origin_ + top + kRunBatch - 1) >> kGenerationBits;
    reach_generation(generation);
    std::uint8_t* const newest = recent_map(generation);
    const std::uint8_t* const older = recent_map(generation - 1);
    BatchHashes hashes;
    hash_batch(kernel, window + top, hashes);
    std::uint32_t may_match = 0;
    for (std::uint32_t i = 0; i < kRunBatch; ++i) {
      const std::uint32_t p = top + i;
      const std::uint32_t c1 = head[hashes.chain[i]];
      link_first(links, p, c1);
      head[hashes.chain[i]] = static_cast<std::uint16_t>(p);
      const std::uint32_t at = hashes.byte[i];
      const auto bit = static_cast<std::uint8_t>(hashes.bit[i]);
      const bool marked = ((newest[at] | older[at]) & bit) != 0;
      newest[at] |= bit;
      // No position of these three bytes within reach: a literal.
      if (!marked) continue;
      const std::uint32_t limit = p > kMaxDistance ? p - kMaxDistance : 0;
      const std::uint32_t first_three = three_bytes(window + p);
      const auto same = [&](std::uint32_t c) {
        return three_bytes(window + c) == first_three;
      };
      bool hit = false;
      std::uint32_t c = c1;
      if (c != 0 && p - c <= kMaxDistance) {
        // zlib's walk, as far as four candidates; a fifth is left to it.
        // Where the nearest candidate that shares the three bytes is
        // farther than kTooFar, so is any match, and zlib's own search
        // says whether it is longer than those three: if not, it is none,
        // and the position stays a literal, as most such repeats in noise
        // do (the search leaves match_start_ changed, which nothing reads
        // while no match is pending).
        for (int walked = 0;; ++walked) {
          if (walked == 4) {
            hit = true;
            break;
          }
          if (same(c)) {
            hit = p - c <= kTooFar || longest_match<false>(p, c1, kMinMatch - 1, kNiceLength) != kMinMatch;
            break;
          }
          c = previous(links, c);
          if (c <= limit) break;
        }
      }
      may_match |= std::uint32_t{hit} << i;
    }
    const std::uint32_t clean =
        may_match != 0 ? static_cast<std::uint32_t>(std::countr_zero(may_match)) : kRunBatch;
    std::uint32_t taken = clean;
    for (std::uint32_t i = 0; i < clean; ++i) {
      if (at_top(table_origin_ + top + i, kWaiting, matches)) {
        stopped = true;
        taken = i;
        break;
      }
    }
    // The inserts not taken are undone, newest first: each position's link
    // holds the head it replaced.  Their bits stay: the positions are marked
    // again when the next run catches up with them.
    for (std::uint32_t j = kRunBatch; j-- > taken;) {
      const std::uint32_t p = top + j;
      head[hashes.chain[j]] = previous(links, p);
    }
    top += taken;
    recent_upto_ = table_origin_ + top;
    if (taken != kRunBatch) break;
  }
  if (top - first_top < 2 * kRunBatch && !stopped) {
    runs_pause_ = std::min(std::max(2 * runs_pause_, 64u), 1u << 20);
    runs_from_ = table_origin_ + top + runs_pause_;
  } else {
    runs_pause_ = 0;
  }
  return top;
}

template <bool kTail, class AtTop>
bool Parser::loop(std::uint32_t until, std::vector<Match>& out, AtTop& at_top) {
  std::uint32_t top = top_;
  std::uint32_t match_length = match_length_;
  bool match_available = match_available_;
  const auto at_shift = static_cast<std::uint32_t>(table_origin_ - match_origin_);
  const std::uint32_t end =
      kTail ? static_cast<std::uint32_t>(input_.end() - table_origin_) : 0;
  std::uint16_t* const head = head_.get();
  std::uint16_t* const links = links_.get();
  const std::uint8_t* const window = window_;
  bool stopped = false;
  while (top < until) {
    if constexpr (!kTail) {
      if (match_length == kMinMatch - 1 && match_available && until - top >= kRunBatch &&
          table_origin_ + top >= runs_from_) {
        top = literal_run(top, until, out.size(), at_top, stopped);
        if (stopped || top >= until) break;
      }
    }
    if (at_top(table_origin_ + top,
               LazyState{static_cast<std::uint16_t>(match_length),
                         match_length >= kMinMatch ? top - 1 - match_start_ : 0, match_available},
               out.size())) {
      stopped = true;
      break;
    }
    const std::uint32_t lookahead = kTail ? end - top : kMinLookahead;
    std::uint32_t candidate = 0;
    if (!kTail || lookahead >= kMinMatch) {
      const std::uint32_t h = hash(window + top);
      candidate = head[h];
      link(links, top, candidate);
      head[h] = static_cast<std::uint16_t>(top);
      if constexpr (!kTail) {
        // The next position's first candidate, fetched while this one is searched.
        const std::uint32_t ahead = head[hash(window + top + 1)];
        __builtin_prefetch(window + ahead);
        __builtin_prefetch(links + 2 * (ahead & kWindowMask));
      }
    }
    const std::uint32_t prev_length = match_length;
    const std::uint32_t prev_match = match_start_;
    match_length = kMinMatch - 1;
    if (candidate != 0 && top - candidate <= kMaxDistance && prev_length < kMaxLazy) {
      if (kTail) {
        match_length = longest_match(top, candidate, prev_length, std::min(kNiceLength, lookahead));
        match_length = std::min(match_length, lookahead);
      } else {
        match_length = longest_match(top, candidate, prev_length, kNiceLength);
      }
      if (match_length == kMinMatch && top - match_start_ > kTooFar) match_length = kMinMatch - 1;
    }
    if (prev_length >= kMinMatch && match_length <= prev_length) {
      out.push_back({top - 1 + at_shift, static_cast<std::uint16_t>(prev_length),
                     static_cast<std::uint16_t>(top - 1 - prev_match)});
      const std::uint32_t next = top - 1 + prev_length;
      if constexpr (!kTail) {
        // The first candidate of the loop top after the match, fetched while
        // the positions inside it are inserted.
        const std::uint32_t ahead = head[hash(window + next)];
        __builtin_prefetch(window + ahead);
        __builtin_prefetch(links + 2 * (ahead & kWindowMask));
      }
      const std::uint32_t last_insert = kTail ? std::min(next, end - (kMinMatch - 1)) : next;
      for (std::uint32_t at = top + 1; at < last_insert; ++at) {
        const std::uint32_t h = hash(window + at);
        link(links, at, head[h]);
        head[h] = static_cast<std::uint16_t>(at);
      }
      top = next;
      match_available = false;
      match_length = kMinMatch - 1;
    } else {
      match_available = true;
      ++top;
    }
  }
  top_ = top;
  match_length_ = match_length;
  match_available_ = match_available;
  return stopped;
}

template <class AtTop>
std::uint64_t Parser::run(std::uint64_t stop, std::vector<Match>& out, AtTop&& at_top) {
  if (!input_.ends) {
    stop = std::min(stop, input_.end() > kLookaheadNeeded ? input_.end() - kLookaheadNeeded : 0);
  }
  while (!done_) {
    const std::uint64_t here = position();
    if (here >= slides_.next_check()) check_top(top_);
    if (input_.ends && here == input_.end()) {
      done_ = true;
      break;
    }
    if (here >= stop) break;
    std::uint64_t until = std::min(stop, slides_.next_check());
    // The tail: loop tops whose lookahead, match reads or inserts reach the end.
    const std::uint64_t tail = input_.ends && input_.end() > 2 * kMinLookahead
                                   ? input_.end() - 2 * kMinLookahead
                                   : 0;
    bool stopped;
    if (input_.ends && here >= tail) {
      until = std::min(until, input_.end());
      stopped = loop<true>(static_cast<std::uint32_t>(until - table_origin_), out, at_top);
    } else {
      if (input_.ends) until = std::min(until, tail);
      stopped = loop<false>(static_cast<std::uint32_t>(until - table_origin_), out, at_top);
    }
    if (stopped) break;
  }
  return position();
}

}  // namespace level6
}  // namespace velkorenc::core

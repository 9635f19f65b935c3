// The module's own level-6 deflate: window slides, the parser's set-up, the
// blocks cut from the parse, and the stream made from pieces of input.
//
// Follows zlib's deflate.c and trees.c; zlib is (C) 1995-2024 Jean-loup
// Gailly and Mark Adler, under the zlib licence (see LICENSE).
#include "velkorenc/core/zlib/deflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "deflate_parallel.hpp"
#include "huffman.hpp"
#include "velkorenc/core/platform/cpu.hpp"

namespace velkorenc::core {
namespace level6 {
namespace {

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
// How far into its window zlib's position may go before the window moves.
constexpr std::uint64_t kSlideAt = kWindowSize + kMaxDistance;  // 65274

}  // namespace

WindowSlides::WindowSlides(std::uint64_t base, std::uint64_t first_top, std::uint64_t piece) noexcept
    : base_(base), piece_(piece) {
  // zlib checks its lookahead at the first loop top from which less than
  // kMinLookahead of the piece handed over is left.
  const std::uint64_t edge = (first_top + kMinLookahead - 1) / piece_ * piece_ + piece_;
  piece_check_ = edge - (kMinLookahead - 1);
  update_threshold();
}

void WindowSlides::update_threshold() noexcept {
  // From kSlideAt + 1 on, less than kMinLookahead is left in zlib's 64 KiB
  // window; at kSlideAt only when the input ends within it.
  threshold_ = base_ + kSlideAt + (end_ - base_ < 2 * std::uint64_t{kWindowSize} ? 0 : 1);
}

void WindowSlides::set_end(std::uint64_t end) noexcept {
  end_ = end;
  // The last piece is handed over as the end; no check before it.
  if (piece_check_ != kNever && piece_check_ + (kMinLookahead - 1) >= end_) piece_check_ = kNever;
  update_threshold();
}

void WindowSlides::check_top(std::uint64_t position) noexcept {
  const bool piece_edge = position >= piece_check_;
  if (position >= threshold_ || (piece_edge && position - base_ >= kSlideAt)) {
    // Once in zlib; more only for a parse begun with a base left behind.
    do {
      base_ += kWindowSize;
      update_threshold();
    } while (position >= threshold_);
  }
  if (piece_edge) {
    const std::uint64_t edge = (position + kMinLookahead - 1) / piece_ * piece_ + piece_;
    piece_check_ = edge >= end_ ? kNever : edge - (kMinLookahead - 1);
  }
}

namespace {

// Tables of recent positions given back by parsers, for the next ones: a
// few slots, each taken and filled without a lock (a fork taken while
// another thread held one would leave it held in the child).
struct RecentTablePool {
  static constexpr std::size_t kKept = 8;
  // Kept to the process's end, so that a parser on a thread still running
  // then never finds the pool gone.
  std::atomic<std::uint8_t*> slots[kKept] = {};
};

RecentTablePool recent_table_pool;

}  // namespace

static_assert(RecentLender::kTableBytes == kDeflateTableBytes, "lent memory is counted in tables");

std::size_t RecentLender::lend(std::span<std::uint8_t> room, std::size_t most) noexcept {
  const auto begin = reinterpret_cast<std::uintptr_t>(room.data());
  const std::uintptr_t end = begin + room.size();
  auto at = begin;
  most = std::min(most, kMost);
  for (count_ = 0; count_ < most && end > at && end - at >= kTableBytes; ++count_) {
    tables_[count_] = reinterpret_cast<std::uint8_t*>(at);
    // Any content would do (a map is emptied as its generation begins, and
    // bits left make a search only more likely), but none is read unset.
    std::memset(tables_[count_], 0, kTableBytes);
    at += kTableBytes;
  }
  return count_ == 0 ? 0 : static_cast<std::size_t>(at - begin);
}

void DeflateStream::lend(std::span<std::uint8_t> room) noexcept {
  lent_input_ = room.subspan(lender_.lend(room, most_threads_));
}

std::uint8_t* RecentLender::take() const noexcept {
  const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
  return i < count_ ? tables_[i] : nullptr;
}

std::uint8_t* RecentTableOwner::take() noexcept {
  for (auto& slot : recent_table_pool.slots) {
    if (std::uint8_t* table = slot.exchange(nullptr, std::memory_order_acquire)) return table;
  }
  return static_cast<std::uint8_t*>(std::calloc(RecentLender::kTableBytes, 1));
}

void RecentTableOwner::release_kept() noexcept {
  for (auto& slot : recent_table_pool.slots) std::free(slot.exchange(nullptr, std::memory_order_acquire));
}

void RecentTableOwner::operator()(std::uint8_t* table) const noexcept {
  if (lent) return;
  for (auto& slot : recent_table_pool.slots) {
    std::uint8_t* empty = nullptr;
    if (slot.compare_exchange_strong(empty, table, std::memory_order_release)) return;
  }
  std::free(table);
}

const char* kernel_name(BatchHashKernel kernel) noexcept {
  switch (kernel) {
    case BatchHashKernel::kScalar: return "scalar";
    case BatchHashKernel::kAvx2: return "avx2";
  }
  return "unknown";
}

bool can_run(BatchHashKernel kernel) noexcept {
  return kernel == BatchHashKernel::kScalar || cpu_features().avx2;
}

// The one place where the kernel is chosen, once per process.
BatchHashKernel chosen_batch_hash_kernel() noexcept {
  static const BatchHashKernel kernel = fastest_runnable(kBatchHashKernels);
  return kernel;
}

void hash_batch(BatchHashKernel kernel, const std::uint8_t* bytes, BatchHashes& out) noexcept {
  if (kernel == BatchHashKernel::kAvx2 && can_run(kernel)) {
    detail::hash_batch_avx2(bytes, out);
    return;
  }
  for (std::uint32_t i = 0; i < kRunBatch; ++i) {
    const std::uint32_t three = three_bytes(bytes + i);
    const std::uint32_t slot = recent_slot(three);
    out.chain[i] = hash_of_three(three);
    out.byte[i] = slot >> 3;
    out.bit[i] = 1u << (slot & 7);
  }
}

void Parser::begin_generation(std::uint64_t generation) noexcept {
  // A position looks in the maps of its generation and of the one before,
  // the only ones emptied here (those that have not begun since they last
  // held a generation): the others begin before anyone looks in them, and
  // bits left in them meanwhile are never read as a position within reach.
  std::uint64_t first = generation - std::min<std::uint64_t>(generation, 1);
  if (recent_generation_set_) first = std::max(first, recent_generation_ + 1);
  for (std::uint64_t g = first; g <= generation; ++g) std::memset(recent_map(g), 0, kRecentMapBytes);
  recent_generation_ = generation;
  recent_generation_set_ = true;
}

Parser::Parser() noexcept
    : head_(new (std::nothrow) std::uint16_t[kHashSize]),
      links_(new (std::nothrow) std::uint16_t[2 * kWindowSize]()) {}

void Parser::point_window() noexcept { window_ = input_.data + (table_origin_ - input_.origin); }

void Parser::begin(const ParseInput& input, std::uint64_t start, LazyState state, std::uint64_t base,
                   std::uint64_t piece) noexcept {
  input_ = input;
  table_origin_ = base;
  point_window();
  std::fill(head_.get(), head_.get() + kHashSize, std::uint16_t{0});
  slides_ = WindowSlides(base, start, piece);
  if (input.ends) slides_.set_end(input.end());
  done_ = false;
  tail_base_ = kNever;
  const std::uint64_t first = start > kWindowSize ? start - kWindowSize : 0;
  const std::uint64_t last = input.ends ? std::min(start, input.end() - std::min<std::uint64_t>(input.end(), 2)) : start;
  for (std::uint64_t at = std::max(first, base); at < last; ++at) {
    insert(static_cast<std::uint32_t>(at - table_origin_));
  }
  // The positions just inserted join recent_ at the first run of literals,
  // in maps emptied anew.
  recent_upto_ = std::max(first, base);
  recent_generation_set_ = false;
  // Runs of literals pause as long as they did in this parser's last parse:
  // a parser begun again and again (a segment at a time) would otherwise
  // learn anew each time that text has none.
  runs_from_ = start + runs_pause_;
  top_ = static_cast<std::uint32_t>(start - table_origin_);
  match_length_ = state.match_length;
  match_start_ = state.match_length >= kMinMatch ? top_ - 1 - state.match_distance : 0;
  match_available_ = state.match_available;
  if (input.ends) write_tail();
}

void Parser::update_input(const ParseInput& input) noexcept {
  const bool end_now_known = input.ends && !input_.ends;
  input_ = input;
  point_window();
  if (end_now_known) slides_.set_end(input.end());
  if (input.ends) {
    tail_base_ = kNever;
    write_tail();
  }
}

LazyState Parser::state() const noexcept {
  return {static_cast<std::uint16_t>(match_length_),
          match_length_ >= kMinMatch ? top_ - 1 - match_start_ : 0, match_available_};
}

namespace {

// Takes `delta` off each position of a table, positions before it becoming
// none (0), as zlib's slide_hash does: eight at a time with SSE2's
// saturating subtraction, which the compiler does not find by itself.
void slide_positions(std::uint16_t* table, std::size_t size, std::uint16_t delta) noexcept {
#if defined(__SSE2__)
  // (The tables' sizes are multiples of 8.)
  const __m128i by = _mm_set1_epi16(static_cast<short>(delta));
  for (std::size_t i = 0; i < size; i += 8) {
    auto* at = reinterpret_cast<__m128i*>(table + i);
    _mm_storeu_si128(at, _mm_subs_epu16(_mm_loadu_si128(at), by));
  }
#else
  for (std::size_t i = 0; i < size; ++i) {
    table[i] = static_cast<std::uint16_t>(table[i] >= delta ? table[i] - delta : 0);
  }
#endif
}

}  // namespace

void Parser::rebase(std::uint64_t origin) noexcept {
  const auto delta = static_cast<std::uint32_t>(origin - table_origin_);
  // A move past every position a table can hold clears it.
  if (delta > 0xFFFF) {
    std::fill(head_.get(), head_.get() + kHashSize, std::uint16_t{0});
    std::fill(links_.get(), links_.get() + 2 * kWindowSize, std::uint16_t{0});
  } else {
    static_assert(kHashSize % 8 == 0 && kWindowSize % 8 == 0);
    slide_positions(head_.get(), kHashSize, static_cast<std::uint16_t>(delta));
    // Both links of each position: an unknown second link, the first
    // again, stays equal to it.
    slide_positions(links_.get(), 2 * kWindowSize, static_cast<std::uint16_t>(delta));
  }
  match_start_ = match_start_ >= delta ? match_start_ - delta : 0;
  top_ -= delta;
  table_origin_ = origin;
  point_window();
}

void Parser::check_top(std::uint32_t top) noexcept {
  slides_.check_top(table_origin_ + top);
  if (slides_.base() != table_origin_) rebase(slides_.base());
  if (input_.ends) write_tail();
}

// What zlib's window holds past the input's end, where a search may read:
// zeros in the first window, and from the first slide on what the window
// held there 32 KiB earlier (the bytes 32 KiB back).  They never decide a
// match (a search stops at the first match that reaches the end, since the
// nice length is cut to the lookahead), but the reads stay zlib's.
void Parser::write_tail() noexcept {
  const std::uint64_t base = slides_.base();
  if (tail_base_ == base) return;
  tail_base_ = base;
  std::uint8_t* tail = input_.data + input_.size;
  if (base == 0) {
    std::memset(tail, 0, kTailRoom);
  } else {
    const std::uint8_t* back = tail - kWindowSize;
    for (std::size_t i = 0; i < kTailRoom; ++i) tail[i] = back[i];
  }
}

namespace {

// zlib's window base at the loop tops of a parse known only by its matches:
// the positions inside a match (from two past its start) are no loop tops.
class BaseAtTops {
 public:
  explicit BaseAtTops(std::uint64_t piece) noexcept : slides_(0, 0, piece) {}
  void set_end(std::uint64_t end) noexcept { slides_.set_end(end); }
  // The next match, in order.
  void match(std::uint64_t at, std::uint32_t length) noexcept {
    advance(at + 1);
    covered_from_ = at + 2;
    covered_to_ = at + length;
  }
  // The base after the window check at loop top `top`, once the matches
  // before it are known.
  std::uint64_t at(std::uint64_t top) noexcept {
    advance(top);
    return slides_.base();
  }

 private:
  void advance(std::uint64_t top) noexcept {
    for (;;) {
      std::uint64_t check = slides_.next_check();
      if (check >= covered_from_ && check < covered_to_) check = covered_to_;
      if (check > top) return;
      slides_.check_top(check);
    }
  }

  WindowSlides slides_;
  std::uint64_t covered_from_ = 0;
  std::uint64_t covered_to_ = 0;
};

constexpr std::size_t kBlockRoom = huffman::block_room(kBlockSymbols) + 16;
// What stays when the parsed input is dropped: from 32 KiB before the
// window base (at most 96 KiB before the position), and the lookahead.
constexpr std::size_t kKept = 4 * kWindowSize + 2 * kLookaheadNeeded;
// Runs parsed by one thread after segments that were not met.
constexpr unsigned kSerialRunsAfterMiss = 3;

}  // namespace

// The input being parsed: in memory the caller lent while that is large
// enough, else in memory of the stream's own.  Grows keeping its bytes; new
// bytes hold anything.
class InputRoom {
 public:
  void lend(std::span<std::uint8_t> room) noexcept { lent_ = room; }
  std::uint8_t* data() noexcept { return data_; }
  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // Throws std::bad_alloc.
  void resize(std::size_t size) {
    if (size <= lent_.size() && (data_ == nullptr || data_ == lent_.data())) {
      data_ = lent_.data();
    } else {
      const bool from_lent = data_ != nullptr && data_ == lent_.data();
      own_.resize(size);
      if (from_lent) std::memcpy(own_.data(), lent_.data(), size_);
      data_ = own_.data();
    }
    size_ = size;
  }

 private:
  std::span<std::uint8_t> lent_;
  std::vector<std::uint8_t> own_;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

struct DeflateStream::State {
  State(std::uint64_t piece, std::size_t chunk) : chunk(chunk), base(piece) {}

  std::size_t chunk;  // new input parsed at a time
  Parser parser;
  SegmentWork segments;  // the parses of runs on several threads
  unsigned serial_runs_left = 0;
  InputRoom input;  // positions [origin, origin + size), and the tail room
  // The whole input, while the positions are read there instead of `input`.
  ByteSpan borrowed;
  std::uint64_t origin = 0;
  std::size_t size = 0;
  bool parsing = false;
  // The matches from the open block's start on, `at` from there.
  std::vector<Match> matches;
  std::size_t held = 0;  // bytes kept before the window's history, for the open block

  // The open block.
  std::size_t symbol_count = 0;
  std::uint64_t block_start = 0;
  std::uint64_t walked = 0;  // the bytes before it are in blocks
  BaseAtTops base;
  std::vector<BlockCut> cuts;
  std::vector<BlockMaker> makers;
  std::vector<BlockBits> made;

  std::vector<std::uint8_t> out = std::vector<std::uint8_t>(kBlockRoom);
  huffman::BitWriter bits{out.data()};
  std::uint32_t adler = 1;

  // (A parse writes only after an input's end, which it reads in `input`.)
  std::uint8_t* data() {
    return borrowed.empty() ? input.data() : const_cast<std::uint8_t*>(borrowed.data() + origin);
  }
  ParseInput view(bool ends) { return {data(), origin, size, ends}; }
  const std::uint8_t* bytes_at(std::uint64_t position) { return data() + (position - origin); }
};

std::size_t DeflateStream::lendable(unsigned threads) noexcept {
  const std::size_t count = std::max(threads, 1u);
  // The tables, the input of a chunk with what stays of the last, a block of
  // stored bytes held, and the alignment.
  return count * (RecentLender::kTableBytes + kSegment) + kKept + kBlockSymbols + kTailRoom +
         alignof(std::uint32_t);
}

DeflateStream::DeflateStream(unsigned threads, std::uint64_t piece, std::uint64_t segment) noexcept
    : threads_(std::max(threads, 1u)),
      most_threads_(threads_),
      piece_(piece),
      segment_(std::max(segment / kWindowSize * kWindowSize, kShortestSegment)) {}
DeflateStream::~DeflateStream() = default;

bool DeflateStream::start() noexcept {
  try {
    state_ = std::make_unique<State>(piece_, static_cast<std::size_t>(most_threads_ * segment_));
  } catch (const std::bad_alloc&) {
  }
  if (!state_ || !state_->parser.ok()) {
    state_.reset();
    failure_ = {ZlibFailure::Kind::out_of_memory, Z_MEM_ERROR, nullptr};
    return false;
  }
  state_->parser.set_lender(&lender_);
  state_->input.lend(lent_input_);
  state_->borrowed = borrowed_;
  state_->bits.byte(0x78);  // 32 KiB window, deflate
  state_->bits.byte(0x9C);  // level 6, and the header's check
  return true;
}

bool DeflateStream::emit(OutputSink& out) noexcept {
  State& s = *state_;
  if (!copy_to(out, {s.out.data(), s.bits.size()})) {
    failure_ = {ZlibFailure::Kind::no_output_space, Z_BUF_ERROR, nullptr};
    return false;
  }
  s.bits.restart(s.out.data());
  return true;
}

bool DeflateStream::feed(ByteSpan input, bool last, OutputSink& out) noexcept {
  if (failure_) return false;
  if (finished_) {
    failure_ = {ZlibFailure::Kind::zlib, Z_STREAM_ERROR, nullptr};
    return false;
  }
  if (!state_ && !start()) return false;
  State& s = *state_;
  s.adler = adler32(s.adler, input);
  while (!input.empty()) {
    const std::size_t room = s.chunk + kKept + s.held - s.size;
    const std::size_t take = std::min(room, input.size());
    const std::uint64_t next = s.origin + s.size;
    const bool in_place = !s.borrowed.empty() && input.data() == s.borrowed.data() + next &&
                          take <= s.borrowed.size() - next;
    if (!in_place) {
      if (!s.borrowed.empty() && !own_input(s.chunk + kKept + s.held + kTailRoom)) return false;
      try {
        // Only an input given whole in one piece gets room for just itself;
        // any other is likely long, and its room goes to the full chunk at
        // once, with no copies on the way.
        if (s.input.size() < s.size + take + kTailRoom) {
          const bool whole = s.input.empty() && last && take == input.size();
          s.input.resize((whole ? take : s.chunk + kKept + s.held) + kTailRoom);
        }
      } catch (const std::bad_alloc&) {
        return out_of_memory();
      }
      std::memcpy(s.input.data() + s.size, input.data(), take);
    }
    s.size += take;
    input = input.subspan(take);
    if (s.size == s.chunk + kKept + s.held && !process(false, out)) return false;
  }
  if (last) {
    finished_ = true;
    return process(true, out);
  }
  return true;
}

// Moves the positions held from the borrowed input to the stream's own
// room of `room` bytes; the input is read there from then on.
bool DeflateStream::own_input(std::size_t room) noexcept {
  State& s = *state_;
  const std::uint8_t* held = s.borrowed.data() + s.origin;
  try {
    s.input.resize(room);
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
  std::memcpy(s.input.data(), held, s.size);
  s.borrowed = {};
  return true;
}

bool DeflateStream::process(bool last, OutputSink& out) noexcept {
  State& s = *state_;
  // The parse writes after the input's end: in the stream's own room.
  if (last && !s.borrowed.empty() && !own_input(s.size + kTailRoom)) return false;
  if (s.borrowed.empty() && s.input.size() < s.size + kTailRoom) {
    try {
      s.input.resize(s.size + kTailRoom);
    } catch (const std::bad_alloc&) {
      failure_ = {ZlibFailure::Kind::out_of_memory, Z_MEM_ERROR, nullptr};
      return false;
    }
  }
  if (!s.parsing) {
    s.parser.begin(s.view(last), 0, LazyState{}, 0, piece_);
    s.parsing = true;
  } else {
    s.parser.update_input(s.view(last));
  }
  if (last) s.base.set_end(s.origin + s.size);
  const std::uint64_t from = s.parser.position();
  const std::uint64_t match_origin = s.block_start;
  s.parser.set_match_origin(match_origin);
  const std::uint64_t end = s.origin + s.size;
  const std::uint64_t limit = last ? end : end - std::min<std::uint64_t>(end, kLookaheadNeeded);
  const unsigned segments = s.serial_runs_left > 0 ? 1 : segment_count(from, limit, threads_, segment_);
  bool parsed = true;
  try {
    if (segments > 1) {
      const SegmentedRun run{s.view(false), s.view(last), limit, match_origin, piece_, segment_,
                             &lender_};
      bool all_met;
      parsed = parse_segments(s.parser, s.matches, run, segments, s.segments, all_met);
      // Where parses do not meet (long matches out of phase) the threads
      // only add work: the next runs are parsed by one.
      if (!all_met) s.serial_runs_left = kSerialRunsAfterMiss;
    } else {
      s.parser.run(kNever, s.matches);
      if (s.serial_runs_left > 0) --s.serial_runs_left;
    }
  } catch (const std::bad_alloc&) {
    parsed = false;
  }
  if (!parsed) return out_of_memory();
  const std::uint64_t top = s.parser.position();
  const std::uint64_t to = last ? end : top - (s.parser.state().match_available ? 1 : 0);

  // The blocks are cut here while the other threads make them; they are
  // joined here in order: a stored block's padding depends on the bit it
  // starts at.
  struct Blocks {
    DeflateStream* stream;
    bool last;
    std::uint64_t to;
    OutputSink* out;
  } blocks{this, last, to, &out};
  const BlockLine::Calls calls{
      &blocks,
      [](void* context, BlockLine& line) noexcept {
        const auto& b = *static_cast<Blocks*>(context);
        return b.stream->cut_blocks(b.last, b.to, line);
      },
      [](void* context, std::size_t block) noexcept {
        const auto& b = *static_cast<Blocks*>(context);
        return b.stream->join_block(block, *b.out);
      }};
  const BlockSource source{s.matches, match_origin, s.data(), s.origin};
  BlockLine line(s.cuts, source, s.makers, s.made);
  // Each block but the last holds kBlockSymbols symbols of a byte or more.
  const std::size_t most =
      static_cast<std::size_t>((s.symbol_count + (to > s.walked ? to - s.walked : 0)) / kBlockSymbols + 2);
  if (!line.run(most, threads_, calls)) return failure_ ? false : out_of_memory();
  if (last) {
    for (int shift = 24; shift >= 0; shift -= 8) s.bits.byte(static_cast<std::uint8_t>(s.adler >> shift));
    const bool sent = emit(out);
    state_.reset();
    return sent;
  }

  // The open block's matches stay, from its start.
  const std::size_t first = s.cuts.empty() ? 0 : s.cuts.back().end_match;
  const auto shift = static_cast<std::uint32_t>(s.block_start - match_origin);
  s.matches.erase(s.matches.begin(), s.matches.begin() + static_cast<std::ptrdiff_t>(first));
  for (Match& m : s.matches) m.at -= shift;

  // Drop what no search, window byte or block can need any more.
  const std::uint64_t base = s.parser.base();
  const std::uint64_t history = base >= kWindowSize ? (base - kWindowSize) & ~std::uint64_t{kWindowSize - 1} : 0;
  const std::uint64_t keep = std::min(history, s.block_start);
  s.held = static_cast<std::size_t>(history - keep);
  if (keep > s.origin) {
    const std::size_t drop = static_cast<std::size_t>(keep - s.origin);
    if (s.borrowed.empty()) std::memmove(s.input.data(), s.input.data() + drop, s.size - drop);
    s.size -= drop;
    s.origin = keep;
    s.parser.update_input(s.view(false));
  }
  return true;
}

bool DeflateStream::join_block(std::size_t b, OutputSink& out) noexcept {
  State& s = *state_;
  const BlockCut& cut = s.cuts[b];
  const BlockBits& made = s.made[b];
  if (!made.stored) {
    s.bits.append(made.bytes.data(), made.bit_count);
    if (cut.last) s.bits.align();
    return emit(out);
  }
  // A stored block's bytes go to the sink as the input's own, with no copy
  // here.
  const auto length = static_cast<std::size_t>(cut.end - cut.start);
  huffman::send_stored_header(length, cut.last, s.bits);
  if (!emit(out)) return false;
  if (!out.put_input(cut.start, {s.bytes_at(cut.start), length})) {
    failure_ = {ZlibFailure::Kind::no_output_space, Z_BUF_ERROR, nullptr};
    return false;
  }
  return true;
}

// Cuts the blocks of the matches parsed, through `to` (the input's end when
// `last`): a block is cut when it holds kBlockSymbols symbols, at the loop
// top after its last symbol's start, and may be stored only while its bytes
// are still in zlib's window then.  The last byte, when a literal, is sent
// after zlib's loop and never cuts a block.  Each block cut is published
// to `line` at once.
bool DeflateStream::cut_blocks(bool last, std::uint64_t to, BlockLine& line) noexcept {
  State& s = *state_;
  std::size_t first = 0;
  try {
    const auto cut = [&](std::uint64_t end, std::uint64_t top_after, std::size_t end_match, bool final) {
      s.cuts.push_back({s.block_start, end, first, end_match, s.block_start >= s.base.at(top_after), final});
      line.publish();
      s.block_start = end;
      s.symbol_count = 0;
      first = end_match;
    };
    const auto literals = [&](std::uint64_t until, std::size_t next_match) {
      while (s.walked < until) {
        const std::uint64_t take = std::min<std::uint64_t>(until - s.walked, kBlockSymbols - s.symbol_count);
        s.symbol_count += static_cast<std::size_t>(take);
        s.walked += take;
        if (s.symbol_count == kBlockSymbols) cut(s.walked, s.walked, next_match, false);
      }
    };
    const std::uint64_t match_origin = s.block_start;
    for (std::size_t i = 0; i < s.matches.size(); ++i) {
      const Match& m = s.matches[i];
      const std::uint64_t at = match_origin + m.at;
      if (at < s.walked) continue;  // carried over, already counted
      literals(at, i);
      s.base.match(at, m.length);
      ++s.symbol_count;
      s.walked = at + m.length;
      if (s.symbol_count == kBlockSymbols) cut(s.walked, at + 1, i + 1, false);
    }
    if (last) {
      if (s.walked < to) {
        literals(to - 1, s.matches.size());
        ++s.symbol_count;
        s.walked = to;
      }
      cut(to, to, s.matches.size(), true);
    } else {
      literals(to, s.matches.size());
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool DeflateStream::out_of_memory() noexcept {
  failure_ = {ZlibFailure::Kind::out_of_memory, Z_MEM_ERROR, nullptr};
  return false;
}

}  // namespace level6
}  // namespace velkorenc::core

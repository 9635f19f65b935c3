#include <algorithm>
#include <memory>
#include <new>

#include "velkorenc/core/platform/workers.hpp"
#include "velkorenc/core/stream/frame.hpp"
#include "velkorenc/core/zlib/zlib.hpp"

namespace velkorenc::core {
namespace {

constexpr std::size_t kStride = kTokenLength + 1;
// The tokens of a run of the token reader, a valid body's kTextPiece
// characters: a run ends just before a delimiter.
constexpr std::size_t kRunTokens = (kTextPiece + 1) / kStride;
static_assert(kRunTokens * kStride - 1 == kTextPiece, "a run is whole tokens");

// Undoes each run it is given with `inverse`, when there is one, and asks
// `checkpoint` after it.
class UndoSink final : public RunSink {
 public:
  UndoSink(InversePass* inverse, Checkpoint& checkpoint) noexcept
      : inverse_(inverse), checkpoint_(checkpoint) {}

  bool take(std::uint8_t* bytes, std::size_t size) noexcept override {
    if (inverse_) inverse_->append(size, inverse_->undo_at(bytes, size, inverse_->position()));
    return checkpoint_.resume();
  }

 private:
  InversePass* inverse_;
  Checkpoint& checkpoint_;
};

// The runs of a valid body read on several threads.  A run that is not
// whole tokens with a delimiter after it fails, and the one-thread read
// takes over from its start: it finds there the first bad piece, which no
// earlier run has.  Returns the runs that were read and undone, or -1 when
// the checkpoint said to stop.
template <class Char>
std::ptrdiff_t read_runs_shared(const DecodeTable& table, std::span<const Char> body,
                                std::uint32_t delimiter, std::uint8_t* out,
                                InversePass* inverse, Checkpoint& checkpoint, unsigned threads,
                                std::size_t tokens, std::size_t runs,
                                OrderedMapping* mapping) noexcept {
  std::unique_ptr<std::uint32_t[]> crcs(new (std::nothrow) std::uint32_t[runs]);
  if (!crcs) return 0;
  const std::uint64_t position = inverse ? inverse->position() : 0;
  auto run_tokens = [&](std::size_t run) {
    return std::min(kRunTokens, tokens - run * kRunTokens);
  };
  const auto map = [&] { return !mapping || mapping->map(checkpoint); };
  const SharedPieces shared = share_pieces(threads, runs, checkpoint, map, [&](std::size_t run) {
    const std::size_t first = run * kRunTokens;
    const std::size_t count = run_tokens(run);
    if (mapping) mapping->wait_for(first + count);
    const std::size_t begin = first * kStride;
    const bool last = run + 1 == runs;
    const std::size_t end = last ? body.size() : begin + count * kStride - 1;
    const ReadResult r = read_tokens(table, body.subspan(begin, end - begin), delimiter,
                                     out + first);
    // The delimiter after the run is looked at once the run is read: before,
    // it is far ahead of anything in the caches, a miss each run.
    if (!r.ok || r.count != count || (!last && body[end] != delimiter)) return false;
    if (inverse) crcs[run] = inverse->undo_at(out + first, count, position + first);
    return true;
  });
  if (shared.stopped) return -1;
  if (inverse) {
    for (std::size_t run = 0; run < shared.first_failed; ++run) {
      inverse->append(run_tokens(run), crcs[run]);
    }
  }
  return static_cast<std::ptrdiff_t>(shared.first_failed);
}

template <class Char>
ReadResult read_body(const DecodeTable& table, std::span<const Char> body,
                     std::uint32_t delimiter, std::uint8_t* out, InversePass* inverse,
                     Checkpoint& checkpoint, unsigned threads, OrderedMapping* mapping) noexcept {
  const auto tokens = static_cast<std::size_t>(max_tokens(body.size()));
  const std::size_t runs = (tokens + kRunTokens - 1) / kRunTokens;
  std::size_t done = 0;
  if (threads > 1 && runs > 1) {
    const std::ptrdiff_t shared = read_runs_shared(table, body, delimiter, out, inverse,
                                                   checkpoint, threads, tokens, runs, mapping);
    if (shared < 0) return {false, 0, 0, 0};
    done = static_cast<std::size_t>(shared);
    if (done == runs) return {true, tokens, 0, 0};
  }
  // Read on this thread alone: mapped in first, in one go.
  if (done == 0 && mapping && !mapping->map(checkpoint)) return {false, 0, 0, 0};
  const std::size_t first = done * kRunTokens;
  const std::size_t begin = first * kStride;
  UndoSink sink(inverse, checkpoint);
  const ReadResult r = read_tokens_in_pieces(table, body.subspan(begin), delimiter,
                                             out + first, kTextPiece, sink);
  return {r.ok, first + r.count, begin + r.bad_begin, begin + r.bad_end};
}

}  // namespace

std::uint32_t InversePass::undo_at(std::uint8_t* bytes, std::size_t size,
                                   std::uint64_t position) const noexcept {
  // A long run goes in cache-sized slices, each transformed and then summed.
  constexpr std::size_t kSlice = std::size_t{64} << 10;
  std::uint32_t crc = 0;
  for (std::size_t done = 0; done < size;) {
    const std::size_t length = std::min(size - done, kSlice);
    std::uint8_t* slice = bytes + done;
    const std::uint64_t at = position + done;
    transform_inverse(ByteSpan(slice, length), key_, at, slice);
    if (at < crc_length_) {
      const std::uint64_t left = crc_length_ - at;
      crc = crc32(crc, ByteSpan(slice, length < left ? length : static_cast<std::size_t>(left)));
    }
    done += length;
  }
  return crc;
}

void InversePass::append(std::size_t size, std::uint32_t crc) noexcept {
  if (position_ < crc_length_) {
    const std::uint64_t left = crc_length_ - position_;
    crc_ = crc32_combine(crc_, crc, size < left ? size : left);
  }
  position_ += size;
}

bool InversePass::take(std::uint8_t* bytes, std::size_t size) noexcept {
  append(size, undo_at(bytes, size, position_));
  return checkpoint_.resume();
}

ReadResult read_frame_body(const DecodeTable& table, std::span<const std::uint8_t> body,
                           std::uint32_t delimiter, std::uint8_t* out, InversePass* inverse,
                           Checkpoint& checkpoint, unsigned threads,
                           OrderedMapping* mapping) noexcept {
  return read_body(table, body, delimiter, out, inverse, checkpoint, threads, mapping);
}

ReadResult read_frame_body(const DecodeTable& table, std::span<const std::uint16_t> body,
                           std::uint32_t delimiter, std::uint8_t* out, InversePass* inverse,
                           Checkpoint& checkpoint, unsigned threads,
                           OrderedMapping* mapping) noexcept {
  return read_body(table, body, delimiter, out, inverse, checkpoint, threads, mapping);
}

ReadResult read_frame_body(const DecodeTable& table, std::span<const std::uint32_t> body,
                           std::uint32_t delimiter, std::uint8_t* out, InversePass* inverse,
                           Checkpoint& checkpoint, unsigned threads,
                           OrderedMapping* mapping) noexcept {
  return read_body(table, body, delimiter, out, inverse, checkpoint, threads, mapping);
}

bool undo_frame_bytes(InversePass& inverse, std::span<std::uint8_t> bytes,
                      Checkpoint& checkpoint, unsigned threads) noexcept {
  const std::size_t size = bytes.size();
  const std::size_t pieces = (size + kFramePiece - 1) / kFramePiece;
  auto piece_size = [&](std::size_t p) { return std::min(kFramePiece, size - p * kFramePiece); };
  std::unique_ptr<std::uint32_t[]> crcs;
  if (threads > 1 && pieces > 1) crcs.reset(new (std::nothrow) std::uint32_t[pieces]);
  if (!crcs) {
    UndoSink sink(&inverse, checkpoint);
    for (std::size_t p = 0; p < pieces; ++p) {
      if (!sink.take(bytes.data() + p * kFramePiece, piece_size(p))) return false;
    }
    return true;
  }
  const std::uint64_t position = inverse.position();
  const SharedPieces shared = share_pieces(threads, pieces, checkpoint, [&](std::size_t p) {
    const std::size_t at = p * kFramePiece;
    crcs[p] = inverse.undo_at(bytes.data() + at, piece_size(p), position + at);
    return true;
  });
  if (shared.stopped) return false;
  for (std::size_t p = 0; p < pieces; ++p) inverse.append(piece_size(p), crcs[p]);
  return true;
}

}  // namespace velkorenc::core

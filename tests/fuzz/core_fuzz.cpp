// libFuzzer target for the core: the token reader against a plain reference
// reader in all three code-unit widths, whole and in runs, the vector readers
// of narrow bodies against the scalar one, the transform against its
// per-byte definition, the CRC-32 kernels against zlib, the streams made
// without zlib (short, and of any size) against zlib's, and the round
// trips between bytes and text.
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "fuzz_case.hpp"
#include "velkorenc/core/zlib/deflate.hpp"
#include "velkorenc/core/zlib/small_deflate.hpp"
#include "velkorenc/core/zlib/zlib.hpp"

namespace velkorenc::fuzz {
namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "core_fuzz: %s\n", what);
  std::abort();
}

void require(bool condition, const char* what) {
  if (!condition) fail(what);
}

// The reader's contract the plain way: split at the delimiter, look each
// piece up; a piece matches only when it is eight ASCII characters.
template <class Char>
core::ReadResult reference_read(const Tables& t, const std::vector<Char>& body,
                                std::uint32_t delimiter, std::vector<std::uint8_t>& out) {
  std::size_t pos = 0;
  for (;;) {
    std::size_t end = pos;
    while (end < body.size() && body[end] != delimiter) ++end;
    std::string piece;
    bool ascii = end - pos == core::kTokenLength;
    for (std::size_t i = pos; ascii && i < end; ++i) {
      ascii = body[i] < 0x80;
      piece += static_cast<char>(body[i]);
    }
    const auto it = ascii ? t.plain.find(piece) : t.plain.end();
    if (it == t.plain.end()) return {false, out.size(), pos, end};
    out.push_back(it->second);
    if (end == body.size()) return {true, out.size(), 0, 0};
    pos = end + 1;
  }
}

// Every narrow reader that this CPU runs gives the scalar reader's result
// and leaves the same bytes in the whole output buffer.
void compare_narrow_readers(const Tables& t, const std::vector<std::uint8_t>& body,
                            std::uint32_t delimiter) {
  const std::size_t room = core::max_tokens(body.size());
  std::unique_ptr<std::uint8_t[]> want(new std::uint8_t[room ? room : 1]);
  std::unique_ptr<std::uint8_t[]> got(new std::uint8_t[room ? room : 1]);
  std::memset(want.get(), 0xA5, room);
  const std::span<const std::uint8_t> units(body.data(), body.size());
  const core::ReadResult w = core::read_tokens_with(core::NarrowReader::kScalar, t.dec, units,
                                                    delimiter, room ? want.get() : nullptr);
  for (core::NarrowReader reader : core::kNarrowReaders) {
    if (reader == core::NarrowReader::kScalar || !core::can_run(reader)) continue;
    std::memset(got.get(), 0xA5, room);
    const core::ReadResult g =
        core::read_tokens_with(reader, t.dec, units, delimiter, room ? got.get() : nullptr);
    require(g.ok == w.ok && g.count == w.count && g.bad_begin == w.bad_begin &&
                g.bad_end == w.bad_end,
            "a vector reader and the scalar reader disagree on the result");
    require(std::memcmp(got.get(), want.get(), room) == 0,
            "a vector reader and the scalar reader write different bytes");
  }
}

// Runs the reader on `body` into a buffer of exactly the documented size, so
// that any write past it is caught, and compares with the reference.
template <class Char>
core::ReadResult checked_read(const Tables& t, const std::vector<Char>& body,
                              std::uint32_t delimiter, std::vector<std::uint8_t>& bytes) {
  const std::size_t room = core::max_tokens(body.size());
  std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[room ? room : 1]);
  const core::ReadResult got =
      core::read_tokens(t.dec, std::span<const Char>(body.data(), body.size()), delimiter,
                        room ? out.get() : nullptr);
  std::vector<std::uint8_t> expected;
  const core::ReadResult want = reference_read(t, body, delimiter, expected);
  require(got.ok == want.ok, "reader and reference disagree on success");
  require(got.count == want.count, "reader and reference disagree on the count");
  if (!got.ok) {
    require(got.bad_begin == want.bad_begin && got.bad_end == want.bad_end,
            "reader and reference disagree on the bad piece");
  }
  require(got.count <= room, "reader claims more tokens than fit");
  if constexpr (sizeof(Char) == 1) compare_narrow_readers(t, body, delimiter);
  // Read in runs cut at delimiters, the body reads the same.
  struct AnyRun final : core::RunSink {
    bool take(std::uint8_t*, std::size_t) noexcept override { return true; }
  } runs;
  std::unique_ptr<std::uint8_t[]> in_runs(new std::uint8_t[room ? room : 1]);
  const std::size_t piece = body.empty() ? 0 : body[0] % 32;
  const core::ReadResult run_read = core::read_tokens_in_pieces(
      t.dec, std::span<const Char>(body.data(), body.size()), delimiter,
      room ? in_runs.get() : nullptr, piece, runs);
  require(run_read.ok == got.ok && run_read.count == got.count &&
              (got.ok || (run_read.bad_begin == got.bad_begin && run_read.bad_end == got.bad_end)),
          "reading in runs and reading whole disagree on the result");
  require(std::equal(expected.begin(), expected.end(), in_runs.get()),
          "reading in runs and reading whole disagree on the bytes");
  require(std::equal(expected.begin(), expected.end(), out.get()),
          "reader and reference disagree on the bytes");
  bytes = std::move(expected);
  return got;
}

// Wider code units: bytes from 0xF8 up become characters whose low byte is
// a letter or the delimiter, so that a reader looking only at low bytes
// would take them for one.
template <class Char>
std::vector<Char> widen(const std::vector<std::uint8_t>& body, std::uint32_t high) {
  static constexpr char kLookalikes[] = {'q', 'z', '~', 'q', 'z', '~', 'q', 'z'};
  std::vector<Char> wide;
  for (std::uint8_t b : body) {
    wide.push_back(static_cast<Char>(b < 0xF8 ? b : high + kLookalikes[b - 0xF8]));
  }
  return wide;
}

std::uint8_t reference_byte(std::uint8_t b, const std::vector<std::uint8_t>& key,
                            std::uint64_t i, bool forward) {
  const unsigned s = i & 7;
  const std::uint8_t offset = static_cast<std::uint8_t>(19u * i + 7u);
  const std::uint8_t k = key[i % key.size()];
  if (forward) {
    const std::uint8_t x = b ^ k;
    const std::uint8_t r = static_cast<std::uint8_t>(s ? (x << s) | (x >> (8 - s)) : x);
    return static_cast<std::uint8_t>(r + offset);
  }
  const std::uint8_t x = static_cast<std::uint8_t>(b - offset);
  const std::uint8_t r = static_cast<std::uint8_t>(s ? (x >> s) | (x << (8 - s)) : x);
  return r ^ k;
}

std::vector<std::uint8_t> reference_transform(const std::vector<std::uint8_t>& in,
                                              const std::vector<std::uint8_t>& key,
                                              std::uint64_t start, bool forward) {
  std::vector<std::uint8_t> out(in.size());
  for (std::size_t t = 0; t < in.size(); ++t) {
    out[t] = reference_byte(in[t], key, start + t, forward);
  }
  return out;
}

// Both directions at an arbitrary start, out of place and in place, whole and
// in two pieces.
void check_transform(const std::vector<std::uint8_t>& data, const std::vector<std::uint8_t>& key,
                     std::uint64_t start, std::size_t split) {
  const std::size_t n = data.size();
  std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[n ? n : 1]);
  if (key.empty()) {
    require(core::transform_forward(data, key, start, out.get()) == (n == 0),
            "empty key accepted for data");
    require(core::transform_inverse(data, key, start, out.get()) == (n == 0),
            "empty key accepted for data");
    return;
  }
  for (bool forward : {true, false}) {
    const auto run = forward ? core::transform_forward : core::transform_inverse;
    const std::vector<std::uint8_t> want = reference_transform(data, key, start, forward);
    require(run(data, key, start, out.get()), "transform refused");
    require(std::equal(want.begin(), want.end(), out.get()), "transform differs from reference");
    std::vector<std::uint8_t> in_place = data;
    const core::ByteSpan first(in_place.data(), split);
    require(run(first, key, start, in_place.data()), "transform refused");
    const core::ByteSpan rest(in_place.data() + split, n - split);
    require(run(rest, key, start + split, in_place.data() + split), "transform refused");
    require(in_place == want, "transform in two pieces differs");
    std::vector<std::uint8_t> back(n);
    const auto undo = forward ? core::transform_inverse : core::transform_forward;
    require(undo(core::ByteSpan(out.get(), n), key, start, back.data()), "transform refused");
    require(back == data, "transform does not undo");
  }
}

// Every CRC-32 kernel that this CPU runs gives zlib's value.
void check_crc(const std::vector<std::uint8_t>& bytes, std::uint32_t start) {
  const std::uint32_t want = core::crc32_with(core::CrcKernel::kZlib, start, bytes);
  for (core::CrcKernel kernel : core::kCrcKernels) {
    if (!core::can_run(kernel)) continue;
    require(core::crc32_with(kernel, start, bytes) == want, "a CRC-32 kernel differs from zlib");
  }
}

// A body whose match searches zlib never cuts short gets zlib's own stream
// without the library.
void check_small_deflate(const std::vector<std::uint8_t>& bytes) {
  if (!core::searched_in_full(bytes)) return;
  std::array<std::uint8_t, core::kSmallDeflateRoom> got;
  const std::size_t length = core::deflate_small(bytes, got);
  uLongf want_length = compressBound(static_cast<uLong>(bytes.size()));
  std::vector<std::uint8_t> want(want_length);
  require(compress2(want.data(), &want_length, bytes.data(), static_cast<uLong>(bytes.size()), 6) ==
              Z_OK,
          "zlib refused");
  require(length == want_length && std::equal(want.begin(), want.begin() + length, got.begin()),
          "the stream made without zlib differs from zlib's");
}

// The own deflate gives zlib's stream, in two pieces cut at `split`: for the
// body, and (with `tile`) for the body repeated past 64 KiB, where zlib's window moves
// and its lookahead runs out inside long matches.
void check_own_deflate(const std::vector<std::uint8_t>& body, std::size_t split, bool tile,
                       std::size_t extra) {
  if (!core::own_deflate_available()) fail("the own deflate is off");
  std::vector<std::uint8_t> tiled;
  if (tile && !body.empty()) {
    while (tiled.size() < 65536 + extra) tiled.insert(tiled.end(), body.begin(), body.end());
    tiled.resize(65536 + extra);
  }
  const std::vector<std::uint8_t>* const inputs[] = {&body, &tiled};
  for (const std::vector<std::uint8_t>* bytes : inputs) {
    uLongf want_length = compressBound(static_cast<uLong>(bytes->size()));
    std::vector<std::uint8_t> want(want_length), got(core::Deflater::bound(bytes->size()));
    require(compress2(want.data(), &want_length, bytes->data(), static_cast<uLong>(bytes->size()), 6) ==
                Z_OK,
            "zlib refused");
    core::FixedSink sink(got);
    core::level6::DeflateStream stream;
    const core::ByteSpan all(*bytes);
    const std::size_t head = std::min(split, all.size());
    require(stream.feed(all.first(head), false, sink) && stream.feed(all.subspan(head), true, sink),
            "the own deflate failed");
    require(sink.filled() == want_length && std::equal(want.begin(), want.begin() + want_length, got.begin()),
            "the own deflate differs from zlib");
  }
}

void check_case(const std::uint8_t* input, std::size_t size) {
  const Case c = parse(input, size);
  const Tables t = make_tables(c);
  const std::size_t n = c.body.size();

  std::vector<std::uint8_t> read;
  const core::ReadResult narrow = checked_read(t, c.body, c.delimiter, read);
  std::vector<std::uint8_t> ignored;
  checked_read(t, widen<std::uint16_t>(c.body, 0x100), c.delimiter, ignored);
  checked_read(t, widen<std::uint32_t>(c.body, 0x10000), c.delimiter, ignored);
  checked_read(t, widen<std::uint32_t>(c.body, 0xFFFFFF00u), c.delimiter, ignored);

  // A start position from the key's first six bytes: far into a frame, yet
  // nowhere near wrapping a 64-bit position.
  std::uint64_t start = 0;
  for (std::size_t i = 0; i < c.key.size() && i < 6; ++i) start = start << 8 | c.key[i];
  const std::size_t split = n ? c.options % (n + 1) : 0;
  check_transform(c.body, c.key, start, split);
  check_crc(c.body, static_cast<std::uint32_t>(start));
  check_small_deflate(c.body);
  // One case in eight also tiles its body past 64 KiB, which takes a while.
  check_own_deflate(c.body, split, (c.options >> 5) == 7, c.options * 37u % 600u);

  const bool letter_delimiter = c.delimiter == core::kOneLetter;
  if (c.delimiter > 0x7F || !t.bijective) return;  // the writer needs an ASCII delimiter
  const char delimiter = static_cast<char>(c.delimiter);

  // A body the reader accepts is a text the writer would give for the frame
  // that it carries.
  if (narrow.ok && !c.key.empty()) {
    std::vector<std::uint8_t> frame(read.size());
    require(core::transform_inverse(read, c.key, 0, frame.data()), "transform refused");
    const std::size_t head = split < frame.size() ? split : frame.size();
    std::string text(core::joined_length(frame.size()), '\0');
    require(core::write_frame_text(t.enc, core::ByteSpan(frame.data(), head),
                                   core::ByteSpan(frame.data() + head, frame.size() - head),
                                   c.key, delimiter, text.data()),
            "writer refused");
    require(std::equal(text.begin(), text.end(), c.body.begin(), c.body.end()),
            "text read and written again differs");
  }

  // Any bytes taken as a frame come back from their text.
  const std::size_t head = split;
  std::string text(core::joined_length(n), '\0');
  const bool written = core::write_frame_text(t.enc, core::ByteSpan(c.body.data(), head),
                                              core::ByteSpan(c.body.data() + head, n - head),
                                              c.key, delimiter, text.data());
  require(written == core::can_transform(c.key.size(), n), "writer refusal is wrong");
  if (!written || n == 0) return;
  std::string want;
  const std::vector<std::uint8_t> transformed = reference_transform(c.body, c.key, 0, true);
  for (std::size_t i = 0; i < n; ++i) {
    if (i) want += delimiter;
    want += t.by_value[transformed[i]];
  }
  require(text == want, "writer differs from the plain join");
  if (letter_delimiter) return;  // the text is then not split back into its tokens
  std::vector<std::uint8_t> back;
  const std::vector<std::uint8_t> text_units(text.begin(), text.end());
  const core::ReadResult again = checked_read(t, text_units, c.delimiter, back);
  require(again.ok && back == transformed, "written text does not read back");
}

}  // namespace
}  // namespace velkorenc::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  namespace core = velkorenc::core;
  std::fprintf(stderr, "core_fuzz: token readers compared with the scalar one:");
  for (core::NarrowReader reader : core::kNarrowReaders) {
    if (reader != core::NarrowReader::kScalar && core::can_run(reader)) {
      std::fprintf(stderr, " %s", core::reader_name(reader));
    }
  }
  std::fprintf(stderr, "; CRC-32 kernels compared with zlib's:");
  for (core::CrcKernel kernel : core::kCrcKernels) {
    if (kernel != core::CrcKernel::kZlib && core::can_run(kernel)) {
      std::fprintf(stderr, " %s", core::kernel_name(kernel));
    }
  }
  std::fprintf(stderr, "\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velkorenc::fuzz::check_case(data, size);
  return 0;
}

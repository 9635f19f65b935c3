// Inputs for comparing the own level-6 deflate with zlib, by family, and
// zlib's own streams of them; shared by the C++ tests and the corpus run.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <span>
#include <vector>

#include "velkorenc/core/zlib/deflate.hpp"

namespace velkorenc::core::testing {

using Bytes = std::vector<std::uint8_t>;

enum class Family {
  kRandom,       // every byte value
  kFewValues,    // 2 to 16 values
  kText,         // words, spaces and newlines
  kPeriodic,     // a random unit of 1 to 300 bytes repeated, a few bytes changed
  kRuns,         // runs of one byte, of random lengths
  kFarCopies,    // random bytes and copies of them from far back, near the window's reach
  kCollisions,   // strings that share their hash but not their first byte
};
inline constexpr Family kFamilies[] = {Family::kRandom, Family::kFewValues, Family::kText,
                                       Family::kPeriodic, Family::kRuns, Family::kFarCopies,
                                       Family::kCollisions};

inline const char* family_name(Family f) {
  static constexpr const char* kNames[] = {"random", "few values", "text", "periodic",
                                           "runs", "far copies", "collisions"};
  return kNames[static_cast<int>(f)];
}

// `size` bytes of `family` from `seed`.
inline Bytes family_input(Family family, std::size_t size, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out;
  out.reserve(size);
  const auto random_byte = [&] { return static_cast<std::uint8_t>(gen()); };
  switch (family) {
    case Family::kRandom:
      while (out.size() < size) out.push_back(random_byte());
      break;
    case Family::kFewValues: {
      const unsigned values = 2 + gen() % 15;
      while (out.size() < size) out.push_back(static_cast<std::uint8_t>('a' + gen() % values));
      break;
    }
    case Family::kText: {
      static constexpr const char* kWords[] = {"the", "of", "window", "deflate", "a", "match",
                                               "return", "self", "def", "import", "block", "tree"};
      while (out.size() < size) {
        const std::string word = kWords[gen() % std::size(kWords)];
        out.insert(out.end(), word.begin(), word.end());
        out.push_back(gen() % 9 == 0 ? '\n' : ' ');
      }
      break;
    }
    case Family::kPeriodic: {
      Bytes unit(1 + gen() % 300);
      for (auto& b : unit) b = random_byte();
      const unsigned changes = gen() % 4;  // one change in about 2^(12 - 3 changes) bytes
      for (std::size_t i = 0; out.size() < size; ++i) {
        const bool change = changes != 0 && gen() % (1u << (12 - 3 * changes)) == 0;
        out.push_back(change ? random_byte() : unit[i % unit.size()]);
      }
      break;
    }
    case Family::kRuns:
      while (out.size() < size) {
        const std::uint8_t b = static_cast<std::uint8_t>(gen() % 4);
        const std::size_t length = gen() % 2 ? 1 + gen() % 8 : 1 + gen() % 600;
        out.insert(out.end(), length, b);
      }
      break;
    case Family::kFarCopies: {
      // Distances near the farthest a match may reach (32506), the window
      // (32768), and the codes' edges.
      static constexpr std::size_t kDistances[] = {1,     2,     4096,  4097,  8193,  16385,
                                                   24577, 32505, 32506, 32507, 32767, 32768};
      while (out.size() < size) {
        const std::size_t distance = gen() % 3 ? kDistances[gen() % std::size(kDistances)]
                                               : 1 + gen() % 32768;
        const std::size_t length = gen() % 2 ? 3 + gen() % 6 : 3 + gen() % 300;
        if (out.size() < distance || gen() % 4 == 0) {
          for (std::size_t i = 0; i < 1 + gen() % 64; ++i) out.push_back(random_byte());
          continue;
        }
        for (std::size_t i = 0; i < length; ++i) out.push_back(out[out.size() - distance]);
      }
      break;
    }
    case Family::kCollisions: {
      // The hash keeps five bits of the first byte and, of the second, what
      // the third can cancel: 64 strings of three bytes share each hash.
      const std::uint8_t first = random_byte(), second = random_byte(), third = random_byte();
      const unsigned width = 1 + gen() % 64;  // how many of them are used
      while (out.size() < size) {
        const unsigned v = gen() % width;
        out.push_back(static_cast<std::uint8_t>(first ^ ((v & 7) << 5)));
        out.push_back(static_cast<std::uint8_t>(second ^ (v >> 3)));
        out.push_back(static_cast<std::uint8_t>(third ^ ((v >> 3) << 5)));
        if (gen() % 3 == 0) out.push_back(static_cast<std::uint8_t>(gen() % 4));
      }
      break;
    }
  }
  out.resize(size);
  return out;
}

// A unit of 1000 random bytes over and over: parses begun in different
// places step through matches of 258 out of phase and never meet.
inline Bytes unit_repeated(std::size_t size) {
  Bytes data = family_input(Family::kRandom, 1000, 12);
  for (std::size_t i = 1000; i < size; ++i) data.push_back(data[i - 1000]);
  return data;
}

// zlib's stream of `data` at level 6, handed over in pieces of `piece`
// bytes as the interpreter's zlib.compress hands over pieces of 4 GiB.
inline Bytes library_deflate(const Bytes& data, std::size_t piece = 0xFFFFFFFFu) {
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&stream, static_cast<uLong>(data.size())) + 64);
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  std::size_t left = data.size();
  int flush;
  do {
    stream.avail_in = static_cast<uInt>(std::min(left, piece));
    left -= stream.avail_in;
    flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    deflate(&stream, flush);
  } while (flush != Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// How the own stream reads its input: copied piece by piece, or where it
// is (borrowed whole), or so until the pieces come from a copy of it, from
// `copy_from` on.
struct Borrowing {
  bool borrowed = false;
  std::size_t copy_from = SIZE_MAX;
};

// The own stream of `data`, fed in the pieces that `cuts` (sizes, taken in
// turn) give, parsed on `threads` threads in segments of `segment` bytes;
// empty on failure.
inline Bytes own_deflate(const Bytes& data, const std::vector<std::size_t>& cuts,
                         std::uint64_t library_piece = level6::kLibraryPiece, unsigned threads = 1,
                         std::uint64_t segment = level6::kSegment, Borrowing borrowing = {},
                         std::span<const unsigned> threads_by_piece = {}) {
  Bytes out(Deflater::bound(data.size()));
  FixedSink sink(out);
  level6::DeflateStream stream(threads, library_piece, segment);
  if (borrowing.borrowed) stream.borrow(data);
  const Bytes copy = borrowing.copy_from < data.size() ? data : Bytes();
  std::size_t at = 0, cut = 0;
  do {
    if (!threads_by_piece.empty()) stream.use_threads(threads_by_piece[cut % threads_by_piece.size()]);
    const std::size_t size = std::min(cuts[cut++ % cuts.size()], data.size() - at);
    const std::uint8_t* from = (at >= borrowing.copy_from ? copy : data).data() + at;
    if (!stream.feed(ByteSpan(from, size), at + size == data.size(), sink)) return {};
    at += size;
  } while (at < data.size());
  out.resize(sink.filled());
  return out;
}

}  // namespace velkorenc::core::testing

#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <random>
#include <vector>

#include "velkorenc/core/stream/frame.hpp"
#include "velkorenc/core/platform/memory.hpp"

#include "counting_checkpoint.hpp"

namespace velkorenc::core {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test_support::CountingCheckpoint;

std::uint32_t library_crc(const Bytes& data, std::size_t length) {
  return static_cast<std::uint32_t>(::crc32(0, data.data(), static_cast<uInt>(length)));
}

// Runs of any length, one longer than the pass's cache-sized slice among
// them, give back the frame and the CRC-32 of its first crc_length bytes.
TEST(InversePass, UndoesTheTransformAndSumsThePrefixRunByRun) {
  std::mt19937 gen(1);
  Bytes frame(150000);
  for (auto& b : frame) b = static_cast<std::uint8_t>(gen());
  const Bytes key = {'k', 0xC3, 0xA9, 'y', '!'};
  Bytes transformed(frame.size());
  ASSERT_TRUE(transform_forward(frame, key, 0, transformed.data()));
  for (std::uint64_t crc_length : {0u, 1u, 4096u, 149996u, 150000u, 200000u}) {
    for (std::size_t longest : {1u, 700u, 70000u}) {
      Bytes bytes = transformed;
      CountingCheckpoint checkpoint;
      InversePass pass(key, crc_length, checkpoint);
      std::size_t runs = 0;
      for (std::size_t at = 0; at < bytes.size(); ++runs) {
        const std::size_t size = std::min<std::size_t>(gen() % (longest + 1), bytes.size() - at);
        ASSERT_TRUE(pass.take(bytes.data() + at, size));
        at += size;
      }
      EXPECT_EQ(bytes, frame) << crc_length << " " << longest;
      EXPECT_EQ(pass.position(), frame.size());
      const std::size_t summed = std::min<std::uint64_t>(crc_length, frame.size());
      EXPECT_EQ(pass.crc(), library_crc(frame, summed)) << crc_length << " " << longest;
      EXPECT_EQ(checkpoint.calls, runs);
    }
  }
  CountingCheckpoint stop(1);
  InversePass pass(key, 10, stop);
  EXPECT_FALSE(pass.take(transformed.data(), 5));
}

TEST(Pieces, CoverTheRangeInOrderAndStopWhenTold) {
  std::vector<std::pair<std::size_t, std::size_t>> seen;
  CountingCheckpoint every;
  EXPECT_TRUE(in_pieces(10, 4, every, [&](std::size_t at, std::size_t n) {
    seen.emplace_back(at, n);
  }));
  EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 4}, {4, 4}, {8, 2}}));
  EXPECT_EQ(every.calls, 2u);
  seen.clear();
  CountingCheckpoint stop(1);
  EXPECT_FALSE(in_pieces(10, 4, stop, [&](std::size_t at, std::size_t n) {
    seen.emplace_back(at, n);
  }));
  EXPECT_EQ(seen.size(), 1u);
  // Mapping a large buffer in goes piece by piece too, and leaves it as it was.
  const std::size_t size = 3 * kMapPiece;
  auto* buffer = static_cast<std::uint8_t*>(std::malloc(size));
  ASSERT_NE(buffer, nullptr);
  buffer[0] = 1;
  buffer[size - 1] = 2;
  CountingCheckpoint mapped;
  EXPECT_TRUE(prepare_for_writing(buffer, size, mapped));
  EXPECT_GE(mapped.calls, 1u);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[size - 1], 2);
  CountingCheckpoint stop_mapping(1);
  EXPECT_FALSE(prepare_for_writing(buffer, size, stop_mapping));
  // On another thread, while this one writes the buffer: it only maps.
  for (bool stop : {false, true}) {
    BackgroundMapping mapping;
    ASSERT_TRUE(mapping.start(buffer, size));
    std::memset(buffer + size / 2, 7, size / 2);
    mapping.finish(stop);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[size - 1], 7);
  }
  std::free(buffer);
}

// The text of a frame's bytes in the unshuffled alphabet, joined by '~'.
std::string text_of(const Bytes& bytes) {
  EncodeTable enc;
  for (int v = 0; v < 256; ++v) {
    const auto token = base_token(static_cast<std::uint8_t>(v));
    char letters[kTokenLength];
    std::memcpy(letters, token.data(), kTokenLength);
    enc.set(static_cast<std::uint8_t>(v), letters);
  }
  std::string text(joined_length(bytes.size()), '\0');
  write_tokens(enc, bytes, '~', false, text.data());
  return text;
}

struct BodyRead {
  ReadResult result;
  Bytes out;
  std::uint32_t crc;
};

template <class Char>
BodyRead read_body(const DecodeTable& dec, const std::vector<Char>& body, ByteSpan key,
                   std::uint64_t crc_length, unsigned threads) {
  BodyRead read{{}, Bytes(max_tokens(body.size())), 0};
  CountingCheckpoint checkpoint;
  InversePass pass(key, crc_length, checkpoint);
  read.result = read_frame_body(dec, std::span<const Char>(body.data(), body.size()), '~',
                                read.out.data(), &pass, checkpoint, threads);
  read.out.resize(read.result.count);
  read.crc = pass.crc();
  EXPECT_EQ(pass.position(), read.result.ok ? read.result.count : pass.position());
  return read;
}

// Bodies of several runs read on 1 to 4 threads: the bytes and CRC of a
// valid one, and the first bad piece of a damaged one, wherever the damage
// lies among the runs, are the one-thread read's.
TEST(FrameBody, AnyThreadCountReadsAsOneThreadDoes) {
  constexpr std::size_t kRunTokens = (kTextPiece + 1) / (kTokenLength + 1);
  std::mt19937 gen(2);
  Bytes frame(3 * kRunTokens + 1234);
  for (auto& b : frame) b = static_cast<std::uint8_t>(gen());
  const Bytes key = {'k', 'e', 'y'};
  Bytes transformed(frame.size());
  ASSERT_TRUE(transform_forward(frame, key, 0, transformed.data()));
  const std::string text = text_of(transformed);
  const std::size_t cut = kTextPiece;  // the delimiter after the first run
  const std::size_t last = text.size() - 5;
  DecodeTable dec;
  for (int v = 0; v < 256; ++v) {
    const auto token = base_token(static_cast<std::uint8_t>(v));
    char letters[kTokenLength];
    std::memcpy(letters, token.data(), kTokenLength);
    ASSERT_TRUE(dec.add(letters, static_cast<std::uint8_t>(v)));
  }
  const std::vector<std::pair<const char*, std::function<void(std::string&)>>> damages = {
      {"none", [](std::string&) {}},
      {"first run", [](std::string& t) { t[100] = 'x'; }},
      {"last run", [&](std::string& t) { t[last] = 'x'; }},
      {"delimiter lost between runs", [&](std::string& t) { t[cut] = 'z'; }},
      {"delimiter doubled between runs", [&](std::string& t) { t.insert(cut, 1, '~'); }},
      {"token before the cut", [&](std::string& t) { t[cut - 1] = 'Q'; }},
      {"token after the cut", [&](std::string& t) { t[cut + 1] = 'Q'; }},
      {"character lost in a later run", [&](std::string& t) { t.erase(2 * cut + 50, 1); }},
      {"the earlier of two", [&](std::string& t) { t[2 * cut + 7] = 'x', t[cut + 20] = 'x'; }},
      {"cut short", [](std::string& t) { t.resize(t.size() - 3); }},
      {"one character more", [](std::string& t) { t += 'z'; }},
  };
  for (const auto& [name, damage] : damages) {
    std::string body = text;
    damage(body);
    const std::vector<std::uint8_t> narrow(body.begin(), body.end());
    const std::vector<std::uint16_t> wide(body.begin(), body.end());
    for (std::uint64_t crc_length : {frame.size() - 4, std::uint64_t{kRunTokens + 9}}) {
      const BodyRead one = read_body(dec, narrow, key, crc_length, 1);
      if (std::string(name) == "none") {
        ASSERT_TRUE(one.result.ok);
        EXPECT_EQ(one.out, frame);
        EXPECT_EQ(one.crc, library_crc(frame, crc_length));
      } else {
        EXPECT_FALSE(one.result.ok) << name;
      }
      for (unsigned threads = 2; threads <= 4; ++threads) {
        const BodyRead many = read_body(dec, narrow, key, crc_length, threads);
        const BodyRead many_wide = read_body(dec, wide, key, crc_length, threads);
        for (const BodyRead* read : {&many, &many_wide}) {
          EXPECT_EQ(read->result.ok, one.result.ok) << name << " " << threads;
          EXPECT_EQ(read->result.count, one.result.count) << name << " " << threads;
          EXPECT_EQ(read->result.bad_begin, one.result.bad_begin) << name << " " << threads;
          EXPECT_EQ(read->result.bad_end, one.result.bad_end) << name << " " << threads;
          if (one.result.ok) {
            EXPECT_EQ(read->out, one.out) << name << " " << threads;
            EXPECT_EQ(read->crc, one.crc) << name << " " << threads;
          }
        }
      }
    }
  }
}

// Frame bytes transformed back and summed on 1 to 4 threads, whatever part
// of them the CRC covers.
TEST(FrameBody, UndoingOnThreadsGivesTheFrameAndItsCrc) {
  std::mt19937 gen(3);
  Bytes frame(3 * kFramePiece + kFramePiece / 2);
  for (auto& b : frame) b = static_cast<std::uint8_t>(gen());
  const Bytes key = {'k', 0xC3, 0xA9};
  Bytes transformed(frame.size());
  ASSERT_TRUE(transform_forward(frame, key, 0, transformed.data()));
  for (std::uint64_t crc_length : {frame.size() - 4, kFramePiece + 7, std::size_t{0}}) {
    for (unsigned threads = 1; threads <= 4; ++threads) {
      Bytes bytes = transformed;
      CountingCheckpoint checkpoint;
      InversePass pass(key, crc_length, checkpoint);
      ASSERT_TRUE(pass.take(bytes.data(), 1));
      EXPECT_TRUE(undo_frame_bytes(pass, std::span(bytes).subspan(1), checkpoint, threads));
      EXPECT_EQ(bytes, frame) << threads;
      EXPECT_EQ(pass.position(), frame.size());
      EXPECT_EQ(pass.crc(), library_crc(frame, crc_length)) << crc_length << " " << threads;
    }
  }
  Bytes bytes = transformed;
  CountingCheckpoint stop(1);
  InversePass pass(key, 0, stop);
  EXPECT_FALSE(undo_frame_bytes(pass, bytes, stop, 2));
}

}  // namespace
}  // namespace velkorenc::core

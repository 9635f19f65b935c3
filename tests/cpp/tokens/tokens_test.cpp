#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "velkorenc/core/tokens/token_kernels.hpp"
#include "velkorenc/core/keying/generator.hpp"
#include "velkorenc/core/tokens/tokens.hpp"

#include "counting_checkpoint.hpp"

namespace velkorenc::core {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Eight characters: a letter and a seven-digit number.
std::string numbered_token(char letter, std::size_t number) {
  char text[kTokenLength + 1];
  std::snprintf(text, sizeof text, "%c%07zu", letter, number);
  return text;
}

std::string token_string(std::uint8_t v) {
  const auto t = base_token(v);
  return std::string(t.begin(), t.end());
}

// A key-like permutation of the alphabet.
std::vector<std::string> shuffled_tokens(std::uint32_t seed) {
  std::vector<std::string> tokens;
  for (int v = 0; v < 256; ++v) tokens.push_back(token_string(static_cast<std::uint8_t>(v)));
  std::shuffle(tokens.begin(), tokens.end(), std::mt19937(seed));
  return tokens;
}

struct Tables {
  EncodeTable enc;
  DecodeTable dec;
};

Tables tables_for(const std::vector<std::string>& tokens) {
  Tables t;
  for (int v = 0; v < 256; ++v) {
    char letters[kTokenLength];
    std::copy_n(tokens[v].data(), kTokenLength, letters);
    t.enc.set(static_cast<std::uint8_t>(v), letters);
    EXPECT_TRUE(t.dec.add(letters, static_cast<std::uint8_t>(v)));
  }
  return t;
}

std::string joined(const std::vector<std::string>& tokens, const Bytes& bytes, char delimiter) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) text += delimiter;
    text += tokens[bytes[i]];
  }
  return text;
}

std::string written(const EncodeTable& enc, const Bytes& bytes, char delimiter) {
  std::string text(joined_length(bytes.size()), '\0');
  char* end = write_tokens(enc, bytes, delimiter, false, text.data());
  EXPECT_EQ(end, text.data() + text.size());
  return text;
}

// The reader's contract, written the plain way: split, then look up.
ReadResult reference_read(const std::vector<std::string>& tokens, const std::string& body,
                          char delimiter, Bytes& out) {
  std::size_t pos = 0;
  for (;;) {
    std::size_t end = body.find(delimiter, pos);
    if (end == std::string::npos) end = body.size();
    const std::string piece = body.substr(pos, end - pos);
    const auto it = std::find(tokens.begin(), tokens.end(), piece);
    if (it == tokens.end()) return {false, out.size(), pos, end};
    out.push_back(static_cast<std::uint8_t>(it - tokens.begin()));
    if (end == body.size()) return {true, out.size(), 0, 0};
    pos = end + 1;
  }
}

ReadResult read(const DecodeTable& dec, const std::string& body, char delimiter, Bytes& out) {
  out.assign(max_tokens(body.size()) + 1, 0);
  const auto* units = reinterpret_cast<const std::uint8_t*>(body.data());
  const ReadResult r = read_tokens(dec, std::span(units, body.size()),
                                   static_cast<std::uint8_t>(delimiter), out.data());
  out.resize(r.count);
  return r;
}

void expect_same(const ReadResult& a, const ReadResult& b, const std::string& body) {
  EXPECT_EQ(a.ok, b.ok) << body;
  EXPECT_EQ(a.count, b.count) << body;
  if (!a.ok && !b.ok) {
    EXPECT_EQ(a.bad_begin, b.bad_begin) << body;
    EXPECT_EQ(a.bad_end, b.bad_end) << body;
  }
}

TEST(Alphabet, EntriesAreTheBitPatterns) {
  EXPECT_EQ(token_string(0), "zzzzzzzz");
  EXPECT_EQ(token_string(1), "zzzzzzzq");
  EXPECT_EQ(token_string(2), "zzzzzzqz");
  EXPECT_EQ(token_string(127), "zqqqqqqq");
  EXPECT_EQ(token_string(128), "qzzzzzzz");
  EXPECT_EQ(token_string(254), "qqqqqqqz");
  EXPECT_EQ(token_string(255), "qqqqqqqq");
  std::set<std::string> all;
  for (int v = 0; v < 256; ++v) all.insert(token_string(static_cast<std::uint8_t>(v)));
  EXPECT_EQ(all.size(), 256u);
}

TEST(Alphabet, TextLengths) {
  EXPECT_EQ(joined_length(0), 0u);
  EXPECT_EQ(joined_length(1), 8u);
  EXPECT_EQ(joined_length(5), 44u);
  EXPECT_EQ(max_tokens(44), 5u);
  EXPECT_EQ(max_tokens(43), 4u);
  EXPECT_EQ(max_tokens(7), 0u);
}

TEST(Writer, WritesTokensJoinedByTheDelimiter) {
  const auto tokens = shuffled_tokens(1);
  const Tables t = tables_for(tokens);
  Bytes every(256);
  for (int v = 0; v < 256; ++v) every[v] = static_cast<std::uint8_t>(v);
  EXPECT_EQ(written(t.enc, every, '~'), joined(tokens, every, '~'));
  EXPECT_EQ(written(t.enc, Bytes{}, '~'), "");
  EXPECT_EQ(written(t.enc, Bytes{200}, '~'), tokens[200]);
}

TEST(Writer, FrameTextIsTheTransformedFrameWritten) {
  // Letter tokens, which the vector writer takes where the CPU has it, and
  // a table with one other token, which the scalar writer takes.
  auto other = shuffled_tokens(2);
  other[200] = "q0000000";
  for (const auto& tokens : {shuffled_tokens(2), other}) {
    const Tables t = tables_for(tokens);
    const Bytes key = {'k', 0xC3, 0xA9, 'y'};
    std::mt19937 gen(3);
    // Frames of 4 MiB and more are written past the caches, at any alignment
    // of the text.
    for (std::size_t n : {0u, 1u, 4095u, 4096u, 4097u, 10000u, (4u << 20) + 4093u}) {
      Bytes head(n);
      for (auto& b : head) b = static_cast<std::uint8_t>(gen());
      const Bytes tail = {1, 2, 3, 4};
      Bytes frame = head;
      frame.insert(frame.end(), tail.begin(), tail.end());
      Bytes transformed(frame.size());
      ASSERT_TRUE(transform_forward(frame, key, 0, transformed.data()));
      const std::string expected = joined(tokens, transformed, '~');
      for (std::size_t offset : {0u, 7u}) {
        std::string text(offset + joined_length(frame.size()) + 3, '#');
        ASSERT_TRUE(write_frame_text(t.enc, head, tail, key, '~', text.data() + offset));
        // Compared whole, not printed: a frame's text is 36 MiB.
        EXPECT_TRUE(text.compare(offset, expected.size(), expected) == 0) << "n=" << n << ", offset " << offset;
        EXPECT_EQ(text.substr(0, offset) + text.substr(offset + expected.size()), std::string(offset + 3, '#'))
            << "n=" << n << ", offset " << offset;
      }
    }
    std::string untouched = "unchanged";
    EXPECT_FALSE(write_frame_text(t.enc, Bytes{1}, Bytes{}, Bytes{}, '~', untouched.data()));
    EXPECT_EQ(untouched, "unchanged");
  }
}

// Every writer, and the vector kernel streaming past the caches, writes the
// reference's characters and nothing around them, at every alignment of the
// text, with and without a leading delimiter, for counts around whole groups
// of 64 tokens and their lines.
TEST(Writer, EveryWriterWritesWhatTheReferenceWrites) {
  const auto letters = shuffled_tokens(21);
  std::vector<std::string> one_other = letters;
  one_other[77] = "q0000000";
  struct Case {
    const char* name;
    std::vector<std::string> tokens;
  };
  const Case tables[] = {{"letters", letters}, {"one token not letters", one_other}};
  Bytes values(1100);
  std::mt19937 gen(22);
  for (auto& b : values) b = static_cast<std::uint8_t>(gen());
  constexpr std::size_t kGuard = 80;
  for (const Case& table : tables) {
    const EncodeTable enc = tables_for(table.tokens).enc;
    for (std::size_t count : {0u, 1u, 15u, 16u, 17u, 56u, 63u, 64u, 65u, 128u, 575u, 577u, 1100u}) {
      const ByteSpan some(values.data(), count);
      for (bool leading : {false, true}) {
        std::string expected(leading && count ? 1 : 0, '~');
        expected += joined(table.tokens, Bytes(some.begin(), some.end()), '~');
        for (std::size_t offset = 0; offset < 64; ++offset) {
          const auto check = [&](const char* writer, auto write) {
            alignas(64) static char buffer[kGuard + 1100 * (kTokenLength + 1) + kGuard];
            std::memset(buffer, '#', sizeof buffer);
            char* out = buffer + kGuard + offset;
            char* end = write(out);
            const std::string context = std::string(writer) + ", " + table.name + ", count " +
                                        std::to_string(count) + ", leading " +
                                        std::to_string(leading) + ", offset " + std::to_string(offset);
            ASSERT_EQ(end - out, static_cast<std::ptrdiff_t>(expected.size())) << context;
            EXPECT_EQ(std::string(out, expected.size()), expected) << context;
            EXPECT_EQ(std::string(buffer, out) + std::string(end, buffer + sizeof buffer),
                      std::string(sizeof buffer - expected.size(), '#'))
                << context;
          };
          for (TokenWriter writer : kTokenWriters) {
            if (!can_run(writer)) continue;
            check(writer_name(writer), [&](char* out) {
              return write_tokens_with(writer, enc, some, '~', leading, out);
            });
          }
          if (can_run(TokenWriter::kAvx512) && enc.letters_only()) {
            check("avx512 streamed", [&](char* out) {
              return detail::write_letter_tokens_avx512(enc.letter_bits().data(), some.data(),
                                                        count, '~', leading, out, true);
            });
          }
        }
      }
    }
  }
}

TEST(Writer, TablesAreLettersOnlyWhileEveryTokenIs) {
  const auto tokens = shuffled_tokens(23);
  EncodeTable enc;
  EXPECT_FALSE(enc.letters_only());
  for (int v = 0; v < 256; ++v) {
    EXPECT_FALSE(enc.letters_only()) << v << " tokens set";
    char letters[kTokenLength];
    std::copy_n(tokens[v].data(), kTokenLength, letters);
    enc.set(static_cast<std::uint8_t>(v), letters);
  }
  EXPECT_TRUE(enc.letters_only());
  char other[kTokenLength] = {'q', 'z', 'q', 'z', 'q', 'z', 'q', 'Q'};
  enc.set(9, other);
  EXPECT_FALSE(enc.letters_only());
  other[7] = 'z';
  enc.set(9, other);
  enc.set(9, other);  // set twice: still counted once
  EXPECT_TRUE(enc.letters_only());
  EXPECT_EQ(enc.letter_bits()[9], 0b01010101);
  // The shuffled alphabet's table is the same table as one set token by token.
  AlphabetPositions position;
  for (std::size_t u = 0; u < position.size(); ++u) position[u] = static_cast<std::uint8_t>(255 - u);
  EncodeTable shuffled;
  shuffled.set_alphabet(position);
  EncodeTable by_token;
  for (int v = 0; v < 256; ++v) {
    const auto token = base_token(static_cast<std::uint8_t>(255 - v));
    char letters[kTokenLength];
    std::copy_n(token.data(), kTokenLength, letters);
    by_token.set(static_cast<std::uint8_t>(v), letters);
  }
  EXPECT_TRUE(shuffled == by_token);
}

using test_support::CountingCheckpoint;

TEST(Writer, FrameTextAsksTheCheckpointAfterEachPiece) {
  const Tables t = tables_for(shuffled_tokens(13));
  const Bytes key = {'Q', 'J', 'X'};
  Bytes frame(2 * kFramePiece + 3);
  std::mt19937 gen(14);
  for (auto& b : frame) b = static_cast<std::uint8_t>(gen());
  // Parts that do not end at piece or block boundaries.
  const ByteSpan all(frame);
  const ByteSpan parts[] = {all.first(1), all.subspan(1, kFramePiece + 6),
                            all.subspan(kFramePiece + 7)};
  std::string plain(joined_length(frame.size()), '\0');
  ASSERT_TRUE(write_frame_text(t.enc, parts, key, '~', plain.data()));
  std::string checked(plain.size(), '\0');
  CountingCheckpoint every;
  ASSERT_TRUE(write_frame_text(t.enc, parts, key, '~', checked.data(), every));
  EXPECT_EQ(checked, plain);
  EXPECT_EQ(every.calls, 2u);
  CountingCheckpoint stop(1);
  EXPECT_FALSE(write_frame_text(t.enc, parts, key, '~', checked.data(), stop));
  EXPECT_EQ(stop.calls, 1u);
  // On several threads, each piece's text lands in its own place.
  for (unsigned threads : {2u, 3u, 5u}) {
    std::string shared(plain.size(), '\0');
    NoCheckpoint always;
    ASSERT_TRUE(write_frame_text(t.enc, parts, key, '~', shared.data(), always, threads));
    EXPECT_EQ(shared, plain) << threads << " threads";
  }
}

TEST(Reader, ReadsBackWhatWasWrittenForEveryDelimiter) {
  const auto tokens = shuffled_tokens(4);
  const Tables t = tables_for(tokens);
  ASSERT_TRUE(t.dec.letters_only());
  Bytes data(3000);
  std::mt19937 gen(5);
  for (auto& b : data) b = static_cast<std::uint8_t>(gen());
  for (char delimiter : {'~', ',', 'q', 'z', '\n'}) {
    Bytes out;
    const ReadResult r = read(t.dec, written(t.enc, data, delimiter), delimiter, out);
    if (delimiter == 'q' || delimiter == 'z') {
      // A letter as delimiter splits inside tokens: the first piece is short.
      EXPECT_FALSE(r.ok);
      continue;
    }
    EXPECT_TRUE(r.ok) << delimiter;
    EXPECT_EQ(out, data) << delimiter;
  }
}

TEST(Reader, ReportsTheFirstPieceThatIsNotAToken) {
  const auto tokens = shuffled_tokens(6);
  const Tables t = tables_for(tokens);
  const std::string a = tokens[10], b = tokens[20];
  struct Case {
    std::string body;
    std::size_t count, begin, end;
  };
  const Case cases[] = {
      {a + "~", 1, 9, 9},                        // trailing delimiter: empty last piece
      {"~" + a, 0, 0, 0},                        // leading delimiter
      {"~", 0, 0, 0},                            // two empty pieces, the first reported
      {a + "~~" + b, 1, 9, 9},                   // empty piece in the middle
      {a + "\n", 0, 0, 9},                       // line feed stays inside the piece
      {a + "~" + b.substr(0, 7), 1, 9, 16},      // cut inside a token
      {a + "~" + b + "q", 1, 9, 18},             // nine letters
      {"QZZZZZZZ~" + a, 0, 0, 8},                // upper case
      {a + "~" + "zzzzzzza", 1, 9, 17},          // another letter
      {a + "~" + a + "~" + a + " ", 2, 18, 27},  // space at the end
  };
  for (const Case& c : cases) {
    Bytes out;
    const ReadResult r = read(t.dec, c.body, '~', out);
    EXPECT_FALSE(r.ok) << c.body;
    EXPECT_EQ(r.count, c.count) << c.body;
    EXPECT_EQ(r.bad_begin, c.begin) << c.body;
    EXPECT_EQ(r.bad_end, c.end) << c.body;
  }
}

// An empty body, as an empty span with no storage behind it, is one empty
// piece; nothing may be read through its null pointer.
TEST(Reader, EmptyBodyIsOneEmptyPiece) {
  const Tables t = tables_for(shuffled_tokens(7));
  for (std::uint32_t delimiter : {std::uint32_t{'~'}, std::uint32_t{'q'}, std::uint32_t{0x17E}}) {
    const ReadResult results[] = {
        read_tokens(t.dec, std::span<const std::uint8_t>(), delimiter, nullptr),
        read_tokens(t.dec, std::span<const std::uint16_t>(), delimiter, nullptr),
        read_tokens(t.dec, std::span<const std::uint32_t>(), delimiter, nullptr)};
    for (const ReadResult& r : results) {
      EXPECT_FALSE(r.ok);
      EXPECT_EQ(r.count, 0u);
      EXPECT_EQ(r.bad_begin, 0u);
      EXPECT_EQ(r.bad_end, 0u);
    }
  }
}

TEST(Reader, TablesOfOtherAsciiTokensUseTheGeneralLookup) {
  std::vector<std::string> tokens;
  for (int v = 0; v < 256; ++v) tokens.push_back(numbered_token('T', 1000000 + v));
  const Tables t = tables_for(tokens);
  EXPECT_FALSE(t.dec.letters_only());
  const Bytes data = {0, 255, 17, 17, 128};
  Bytes out;
  EXPECT_TRUE(read(t.dec, written(t.enc, data, '~'), '~', out).ok);
  EXPECT_EQ(out, data);
  EXPECT_FALSE(read(t.dec, "T1000000~zzzzzzzz", '~', out).ok);
}

TEST(Reader, PartialTablesMissTheAbsentTokens) {
  DecodeTable dec;
  EXPECT_TRUE(dec.add({'z', 'z', 'z', 'z', 'z', 'z', 'z', 'q'}, 9));
  Bytes out;
  const ReadResult r = read(dec, "zzzzzzzq~zzzzzzzq~zzzzzzzz", '~', out);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(out, (Bytes{9, 9}));
  EXPECT_EQ(r.bad_begin, 18u);
}

// A table set from a shuffled alphabet is the one built token by token, and
// stays whole when a token that is not made of letters joins it later.
TEST(Reader, ShuffledAlphabetTablesEqualTablesBuiltByToken) {
  const AlphabetPositions position = alphabet_positions(12345);
  std::vector<std::string> tokens;
  for (std::uint8_t u : order_of(position)) tokens.push_back(token_string(u));
  const Tables built = tables_for(tokens);
  EncodeTable enc;
  enc.set_alphabet(position);
  DecodeTable dec;
  dec.set_alphabet(position);
  std::uint8_t value = 0;
  for (int v = 0; v < 256; ++v) {
    EXPECT_EQ(enc.word(static_cast<std::uint8_t>(v)), built.enc.word(static_cast<std::uint8_t>(v)));
    std::uint64_t packed;
    std::memcpy(&packed, tokens[v].data(), kTokenLength);
    ASSERT_TRUE(dec.find(packed, value));
    EXPECT_EQ(value, v);
  }
  EXPECT_TRUE(dec.letters_only());
  ASSERT_TRUE(dec.add({'T', '0', '0', '0', '0', '0', '0', '0'}, 7));
  EXPECT_FALSE(dec.letters_only());
  Bytes out;
  EXPECT_TRUE(read(dec, tokens[200] + "~T0000000~" + tokens[3], '~', out).ok);
  EXPECT_EQ(out, (Bytes{200, 7, 3}));
}

TEST(Reader, RefusesTablesBeyondItsCapacity) {
  DecodeTable dec;
  for (std::size_t i = 0; i < DecodeTable::kCapacity; ++i) {
    const std::string token = numbered_token('X', 1000000 + i);
    char letters[kTokenLength];
    std::copy_n(token.data(), kTokenLength, letters);
    ASSERT_TRUE(dec.add(letters, 1));
  }
  EXPECT_FALSE(dec.add({'z', 'z', 'z', 'z', 'z', 'z', 'z', 'z'}, 2));
  // Replacing a token already held still works.
  EXPECT_TRUE(dec.add({'X', '1', '0', '0', '0', '0', '0', '0'}, 3));
}

TEST(Reader, WideBodiesAreReadLikeNarrowOnes) {
  const auto tokens = shuffled_tokens(7);
  const Tables t = tables_for(tokens);
  const Bytes data = {1, 2, 3, 250};
  const std::string text = written(t.enc, data, '~');
  std::vector<std::uint16_t> wide(text.begin(), text.end());
  Bytes out(8);
  ReadResult r = read_tokens(t.dec, std::span<const std::uint16_t>(wide), '~', out.data());
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + r.count), data);
  wide[12] = 0x0171;  // a letter's low byte in a non-ASCII character
  r = read_tokens(t.dec, std::span<const std::uint16_t>(wide), '~', out.data());
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.bad_begin, 9u);
  std::vector<std::uint32_t> wider(text.begin(), text.end());
  wider.push_back(0x1F600);
  r = read_tokens(t.dec, std::span<const std::uint32_t>(wider), '~', out.data());
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.bad_begin, 27u);
  EXPECT_EQ(r.bad_end, 36u);
}

TEST(Reader, AgreesWithThePlainReaderOnDamagedBodies) {
  const auto tokens = shuffled_tokens(8);
  const Tables t = tables_for(tokens);
  std::mt19937 gen(9);
  const char noise[] = {'q', 'z', '~', 'Q', 'x', '\n', ' '};
  for (int round = 0; round < 3000; ++round) {
    Bytes data(1 + gen() % 40);
    for (auto& b : data) b = static_cast<std::uint8_t>(gen());
    std::string body = written(t.enc, data, '~');
    const int edits = static_cast<int>(gen() % 3);
    for (int e = 0; e < edits && !body.empty(); ++e) {
      const std::size_t at = gen() % body.size();
      switch (gen() % 3) {
        case 0: body[at] = noise[gen() % sizeof noise]; break;
        case 1: body.erase(at, 1 + gen() % 9); break;
        default: body.insert(at, 1, noise[gen() % sizeof noise]); break;
      }
    }
    Bytes fast, plain;
    const ReadResult a = read(t.dec, body, '~', fast);
    const ReadResult b = reference_read(tokens, body, '~', plain);
    expect_same(a, b, body);
    EXPECT_EQ(fast, plain) << body;
  }
}

// The vector readers against the scalar one on `body`: the same result and
// the same bytes in the whole output buffer, sized as documented so that a
// write past it shows under the sanitizers.
::testing::AssertionResult readers_agree(const DecodeTable& dec, const std::string& body,
                                         std::uint32_t delimiter) {
  const std::span units(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
  const std::size_t room = max_tokens(body.size());
  Bytes want(room, 0xA5);
  const ReadResult w = read_tokens_with(NarrowReader::kScalar, dec, units, delimiter, want.data());
  for (NarrowReader reader : kNarrowReaders) {
    Bytes got(room, 0xA5);
    const ReadResult g = read_tokens_with(reader, dec, units, delimiter, got.data());
    if (g.ok != w.ok || g.count != w.count || g.bad_begin != w.bad_begin ||
        g.bad_end != w.bad_end || got != want) {
      return ::testing::AssertionFailure()
             << reader_name(reader) << " read ok=" << g.ok << " count=" << g.count << " bad=["
             << g.bad_begin << ", " << g.bad_end << ") bytes " << (got == want ? "same" : "differ")
             << "; scalar read ok=" << w.ok << " count=" << w.count << " bad=[" << w.bad_begin
             << ", " << w.bad_end << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

// Tables the readers meet: a key's; one that lacks a token and has another
// re-added under a new value; one with a token that is not letters.
struct ReaderTable {
  const char* name;
  DecodeTable dec;
};

constexpr std::uint8_t kMissingValue = 3;

std::vector<ReaderTable> reader_tables(const std::vector<std::string>& tokens) {
  std::vector<ReaderTable> tables(3);
  tables[0].name = "full";
  tables[1].name = "partial";
  tables[2].name = "not letters";
  for (int v = 0; v < 256; ++v) {
    char letters[kTokenLength];
    std::copy_n(tokens[v].data(), kTokenLength, letters);
    for (ReaderTable& t : tables) {
      if (&t != &tables[1] || v != kMissingValue) t.dec.add(letters, static_cast<std::uint8_t>(v));
    }
  }
  char again[kTokenLength];
  std::copy_n(tokens[5].data(), kTokenLength, again);
  tables[1].dec.add(again, 9);
  tables[2].dec.add({'T', '1', '2', '3', '4', '5', '6', '7'}, 1);
  return tables;
}

class VectorReader : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!can_run(NarrowReader::kAvx2)) GTEST_SKIP() << "this CPU has no AVX2 and BMI2";
  }
};

// Three whole blocks and a few tokens more, at every offset of every kind of
// damage, and cut to every length.
TEST_F(VectorReader, AgreesWithTheScalarReaderOnEveryBody) {
  const auto tokens = shuffled_tokens(10);
  const auto tables = reader_tables(tokens);
  constexpr std::size_t kPieces = 3 * detail::kBlockTokens + 5;
  Bytes data(kPieces);
  std::mt19937 gen(11);
  for (auto& b : data) {
    b = static_cast<std::uint8_t>(gen());
    if (b == kMissingValue) ++b;  // only the damage below puts it in
  }
  const std::string letters = "qzzqqzqzqzzqqzqzz";
  using Damage = std::function<void(std::string&, std::size_t, char)>;
  std::vector<std::pair<std::string, Damage>> damages;
  for (std::size_t length = 0; length <= letters.size(); ++length) {
    damages.emplace_back("letters of length " + std::to_string(length),
                         [&letters, length](std::string& body, std::size_t at, char) {
                           body.replace(at, kTokenLength, letters, 0, length);
                         });
  }
  const std::pair<std::size_t, char> strays[] = {{0, 'x'}, {3, 'Q'}, {5, '\xF1'}, {7, '\0'}};
  for (const auto& [offset, stray] : strays) {
    damages.emplace_back(std::string("stray character ") + std::to_string(stray & 0xFF),
                         [offset, stray](std::string& body, std::size_t at, char) {
                           body[at + offset] = stray;
                         });
  }
  damages.emplace_back("delimiter in front", [](std::string& body, std::size_t at, char d) {
    body.insert(at, 1, d);
  });
  damages.emplace_back("delimiter doubled", [](std::string& body, std::size_t at, char d) {
    body.insert(at + kTokenLength, 1, d);
  });
  damages.emplace_back("delimiter lost", [](std::string& body, std::size_t at, char) {
    if (at + kTokenLength < body.size()) body[at + kTokenLength] = 'z';
  });
  damages.emplace_back("token not in the table", [&tokens](std::string& body, std::size_t at,
                                                           char) {
    body.replace(at, kTokenLength, tokens[kMissingValue]);
  });

  const char delimiters[] = {'~', '\0', '\xE9', 'q'};
  for (const ReaderTable& table : tables) {
    for (char delimiter : delimiters) {
      const auto d = static_cast<std::uint8_t>(delimiter);
      const std::string body = joined(tokens, data, delimiter);
      for (std::size_t length = 0; length <= body.size(); ++length) {
        ASSERT_TRUE(readers_agree(table.dec, body.substr(0, length), d))
            << table.name << " table, delimiter " << int{d} << ", cut to " << length;
      }
      for (const auto& [name, damage] : damages) {
        for (std::size_t piece = 0; piece < kPieces; ++piece) {
          std::string damaged = body;
          damage(damaged, piece * (kTokenLength + 1), delimiter);
          ASSERT_TRUE(readers_agree(table.dec, damaged, d))
              << table.name << " table, delimiter " << int{d} << ", " << name << " at piece "
              << piece;
        }
      }
    }
  }
}

// The kernels do read whole blocks of a valid body, and stop before the block
// with a bad piece, so the comparisons above cover them and not only the
// scalar code they hand over to.
TEST_F(VectorReader, KernelsReadWholeBlocksUpToTheBadOne) {
  EXPECT_NE(chosen_reader(), NarrowReader::kScalar);
  const auto tokens = shuffled_tokens(12);
  const Tables t = tables_for(tokens);
  constexpr std::size_t kBlock = detail::kBlockTokens;
  struct Case {
    std::size_t pieces;
    std::size_t bad_piece;  // kNone for a valid body
    std::size_t read;
  };
  constexpr std::size_t kNone = ~std::size_t{0};
  const Case cases[] = {
      {kBlock, kNone, 0},  // the last token has no delimiter after it
      {kBlock + 1, kNone, kBlock},
      {3 * kBlock + 5, kNone, 3 * kBlock},
      {3 * kBlock + 5, 0, 0},
      {3 * kBlock + 5, 2 * kBlock - 1, kBlock},
      {3 * kBlock + 5, 2 * kBlock, 2 * kBlock},
  };
  const decltype(&detail::read_letter_blocks_avx2) kernels[] = {
      detail::read_letter_blocks_avx2, detail::read_letter_blocks_avx2_pext};
  for (const auto kernel : kernels) {
    for (const Case& c : cases) {
      Bytes data(c.pieces);
      for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
      std::string body = joined(tokens, data, '~');
      if (c.bad_piece != kNone) body[c.bad_piece * (kTokenLength + 1) + 2] = 'Z';
      Bytes out(max_tokens(body.size()));
      const auto* units = reinterpret_cast<const std::uint8_t*>(body.data());
      const std::size_t read = kernel(t.dec, units, body.size(), '~', out.data());
      EXPECT_EQ(read, c.read) << c.pieces << " pieces, bad at " << c.bad_piece;
      EXPECT_TRUE(std::equal(out.begin(), out.begin() + read, data.begin()));
    }
  }
}


// The AVX-512 kernel loads whole cache lines where it can, which depends on
// where the body lies: at every offset from a line, with a valid body and
// with damage before, at and after the first block that starts a line, it
// reads like the scalar reader, and it does read blocks.
TEST_F(VectorReader, AgreesAtEveryAlignment) {
  if (!can_run(NarrowReader::kAvx512)) GTEST_SKIP() << "this CPU has no AVX-512 VBMI";
  const auto tokens = shuffled_tokens(17);
  const Tables t = tables_for(tokens);
  Bytes data(5 * detail::kBlockTokens + 3);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 11);
  const std::string body = joined(tokens, data, '~');
  std::vector<std::string> bodies = {body};
  for (std::size_t piece : {0u, 40u, 63u, 64u, 100u, 127u, 128u, 200u}) {
    std::string damaged = body;
    damaged[piece * (kTokenLength + 1) + 4] = 'x';
    bodies.push_back(damaged);
  }
  alignas(64) static char buffer[64 + 8192];
  for (std::size_t offset = 0; offset < 64; ++offset) {
    for (const std::string& b : bodies) {
      std::copy(b.begin(), b.end(), buffer + offset);
      const auto* units = reinterpret_cast<const std::uint8_t*>(buffer + offset);
      const std::span<const std::uint8_t> span(units, b.size());
      Bytes want(max_tokens(b.size()), 0xA5), got(want);
      const ReadResult w = read_tokens_with(NarrowReader::kScalar, t.dec, span, '~', want.data());
      const ReadResult g = read_tokens_with(NarrowReader::kAvx512, t.dec, span, '~', got.data());
      ASSERT_TRUE(w.ok == g.ok && w.count == g.count && w.bad_begin == g.bad_begin &&
                  got == want)
          << "offset " << offset << ", bad piece at " << w.bad_begin;
    }
    Bytes out(max_tokens(body.size()));
    const auto* units = reinterpret_cast<const std::uint8_t*>(buffer + offset);
    std::copy(body.begin(), body.end(), buffer + offset);
    EXPECT_GE(detail::read_letter_blocks_avx512(t.dec, units, body.size(), '~', out.data()),
              3 * detail::kBlockTokens)
        << "offset " << offset;
  }
}

// Records the runs it is given; says stop after the `stop_at`-th.
class RecordingSink final : public RunSink {
 public:
  explicit RecordingSink(std::size_t stop_at = 0) : stop_at_(stop_at) {}
  bool take(std::uint8_t* bytes, std::size_t size) noexcept override {
    runs.emplace_back(bytes, bytes + size);
    return runs.size() != stop_at_;
  }
  std::vector<Bytes> runs;

 private:
  std::size_t stop_at_;
};

template <class Char>
ReadResult read_wide(const DecodeTable& dec, const std::string& body, Bytes& out,
                     std::size_t piece, RunSink* sink) {
  const std::vector<Char> units(body.begin(), body.end());
  out.assign(max_tokens(body.size()), 0xA5);  // exactly the documented room
  const ReadResult r = sink ? read_tokens_in_pieces(dec, std::span<const Char>(units), '~',
                                                    out.data(), piece, *sink)
                            : read_tokens(dec, std::span<const Char>(units), '~', out.data());
  out.resize(r.count);
  return r;
}

// Cut at delimiters, a body reads as it reads whole, in every width: the
// same result, the same bytes, and those bytes handed over run by run.
TEST(Reader, InPiecesReadsWhatTheWholeBodyReads) {
  const auto tokens = shuffled_tokens(15);
  const Tables t = tables_for(tokens);
  std::mt19937 gen(16);
  const char noise[] = {'q', 'z', '~', 'x'};
  using Reader = ReadResult (*)(const DecodeTable&, const std::string&, Bytes&, std::size_t,
                                RunSink*);
  const Reader widths[] = {read_wide<std::uint8_t>, read_wide<std::uint16_t>,
                           read_wide<std::uint32_t>};
  for (int round = 0; round < 400; ++round) {
    Bytes data(1 + gen() % 300);
    for (auto& b : data) b = static_cast<std::uint8_t>(gen());
    std::string body = written(t.enc, data, '~');
    for (int e = static_cast<int>(gen() % 3); e > 0; --e) {
      const std::size_t at = gen() % body.size();
      if (gen() % 2) {
        body[at] = noise[gen() % sizeof noise];
      } else {
        body.erase(at, 1 + gen() % 9);
        if (body.empty()) body.push_back('~');
      }
    }
    for (const Reader read_as : widths) {
      Bytes whole;
      const ReadResult w = read_as(t.dec, body, whole, 0, nullptr);
      for (std::size_t piece : {0u, 1u, 8u, 9u, 80u, 575u, 100000u}) {
        Bytes got;
        RecordingSink sink;
        const ReadResult g = read_as(t.dec, body, got, piece, &sink);
        expect_same(g, w, body);
        EXPECT_EQ(got, whole) << body;
        Bytes handed;
        for (const Bytes& run : sink.runs) handed.insert(handed.end(), run.begin(), run.end());
        // Only the run with the bad piece is not handed over.
        EXPECT_EQ(handed, Bytes(got.begin(), got.begin() + handed.size())) << body;
        if (w.ok) {
          EXPECT_EQ(handed.size(), got.size()) << body;
        }
      }
    }
  }
  // A sink that says stop ends the reading after its run.
  const Bytes data(100, 7);
  Bytes got;
  RecordingSink stop(2);
  const std::string body = written(t.enc, data, '~');
  EXPECT_FALSE(read_wide<std::uint8_t>(t.dec, body, got, 9 * 10 - 1, &stop).ok);
  EXPECT_EQ(stop.runs.size(), 2u);
}

}  // namespace
}  // namespace velkorenc::core

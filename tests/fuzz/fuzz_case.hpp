// What one fuzz input stands for, shared by the fuzz target and the tool
// that writes its seed corpus.
//
// Layout: byte 0 holds the options, byte 1 the key length (taken mod 33),
// then the key bytes, then the text.  A text that starts with the header has
// it removed; the rest is the body that the reader splits.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "velkorenc/core/keying/keying.hpp"
#include "velkorenc/core/tokens/tokens.hpp"

namespace velkorenc::fuzz {

inline constexpr char kHeader[] = "VELKORENCV2:";
inline constexpr std::size_t kHeaderLength = sizeof kHeader - 1;
inline constexpr std::size_t kMaxKey = 32;

// Option bits.
inline constexpr std::uint8_t kDelimiterMask = 0x03;  // '~', '~', 'q', 0x17E
inline constexpr std::uint8_t kOddTokens = 0x04;      // a few tokens not made of letters

struct Case {
  std::uint8_t options = 0;
  std::vector<std::uint8_t> key;
  std::vector<std::uint8_t> body;
  std::uint32_t delimiter = '~';
};

inline Case parse(const std::uint8_t* data, std::size_t size) {
  Case c;
  if (size < 2) return c;
  c.options = data[0];
  const std::size_t key_length = std::min<std::size_t>(data[1] % (kMaxKey + 1), size - 2);
  c.key.assign(data + 2, data + 2 + key_length);
  const std::uint8_t* text = data + 2 + key_length;
  std::size_t text_size = size - 2 - key_length;
  if (text_size >= kHeaderLength && std::memcmp(text, kHeader, kHeaderLength) == 0) {
    text += kHeaderLength;
    text_size -= kHeaderLength;
  }
  c.body.assign(text, text + text_size);
  static constexpr std::uint32_t kDelimiters[] = {'~', '~', 'q', 0x17E};
  c.delimiter = kDelimiters[c.options & kDelimiterMask];
  return c;
}

// A key's tables: the 256 letter tokens in an order drawn from the key's
// seed, and the same token-to-byte map kept plainly for the reference reader.
struct Tables {
  core::EncodeTable enc;
  core::DecodeTable dec;
  std::map<std::string, std::uint8_t> plain;
  std::vector<std::string> by_value;  // enc as strings
  bool bijective = true;
};

inline Tables make_tables(const Case& c) {
  std::vector<std::string> tokens;
  for (int v = 0; v < 256; ++v) {
    const auto t = core::base_token(static_cast<std::uint8_t>(v));
    tokens.emplace_back(t.begin(), t.end());
  }
  std::uint64_t state = 0x9E3779B97F4A7C15ULL ^ core::fold_seed(c.key);
  for (std::size_t i = tokens.size() - 1; i > 0; --i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    std::swap(tokens[i], tokens[state % (i + 1)]);
  }
  Tables t;
  t.by_value = tokens;
  auto add = [&t](const std::string& token, std::uint8_t value) {
    char letters[core::kTokenLength];
    std::memcpy(letters, token.data(), core::kTokenLength);
    if (!t.dec.add(letters, value)) __builtin_trap();  // far below capacity
    t.plain[token] = value;
  };
  for (int v = 0; v < 256; ++v) {
    char letters[core::kTokenLength];
    std::memcpy(letters, tokens[v].data(), core::kTokenLength);
    t.enc.set(static_cast<std::uint8_t>(v), letters);
    add(tokens[v], static_cast<std::uint8_t>(v));
  }
  if (c.options & kOddTokens) {
    // Extra tokens of any ASCII characters, taken from the key, and one that
    // repeats a letter token under another value: the later one wins.
    for (std::size_t k = 0; k + core::kTokenLength <= c.key.size(); k += core::kTokenLength) {
      std::string token;
      for (std::size_t p = 0; p < core::kTokenLength; ++p) {
        token += static_cast<char>(c.key[k + p] & 0x7F);
      }
      add(token, c.key[k]);
    }
    add(tokens[0], 1);
    t.bijective = false;
  }
  return t;
}

}  // namespace velkorenc::fuzz

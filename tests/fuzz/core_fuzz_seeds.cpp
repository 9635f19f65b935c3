// Writes the fuzz target's seed corpus: well-formed texts (header, then the
// tokens of a frame under the key's table) for assorted keys and lengths, so
// that fuzzing starts from inputs that the reader accepts whole.
#include <cstdio>
#include <string>

#include "fuzz_case.hpp"

namespace {

using velkorenc::fuzz::Case;

std::string seed(std::uint8_t options, const std::string& key, std::size_t frame_size,
                 std::uint32_t salt) {
  Case c;
  c.options = options;
  c.key.assign(key.begin(), key.end());
  const auto tables = velkorenc::fuzz::make_tables(c);
  std::vector<std::uint8_t> frame(frame_size);
  std::uint32_t x = salt * 2654435761u + 1;
  for (auto& b : frame) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  std::string text(velkorenc::core::joined_length(frame_size), '\0');
  velkorenc::core::write_frame_text(tables.enc, frame, {}, c.key, '~', text.data());
  std::string input;
  input += static_cast<char>(options);
  input += static_cast<char>(key.size());
  input += key;
  input += velkorenc::fuzz::kHeader;
  input += text;
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::string keys[] = {"QJX", "k", "a key of twenty-nine bytes...", "\xd0\xba\xd0\xbb"};
  const std::size_t sizes[] = {5, 6, 9, 17, 64, 300};
  int count = 0;
  for (const std::string& key : keys) {
    for (std::size_t size : sizes) {
      // Options 0 give the '~' delimiter and the letter-only table.
      const std::string input = seed(0, key, size, static_cast<std::uint32_t>(count));
      const std::string path = std::string(argv[1]) + "/seed-" + std::to_string(count++);
      std::FILE* f = std::fopen(path.c_str(), "wb");
      if (!f || std::fwrite(input.data(), 1, input.size(), f) != input.size() ||
          std::fclose(f) != 0) {
        std::perror(path.c_str());
        return 1;
      }
    }
  }
  std::printf("wrote %d seeds to %s\n", count, argv[1]);
  return 0;
}

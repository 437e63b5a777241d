// Random buffers built from the bytes that matter to the tokenizer, with lengths that cross the
// scanner's 64-byte blocks: shared by the property tests.
#pragma once

#include <cstdint>
#include <iterator>
#include <random>
#include <string>

namespace quorle::engine::testing {

struct Options {
  std::uint8_t delimiter;
  std::uint8_t quote;
  bool repair;
};

class RandomBuffers {
 public:
  explicit RandomBuffers(std::uint64_t seed) : rng_(seed) {}

  std::uint64_t below(std::uint64_t n) { return rng_() % n; }

  Options options() {
    static constexpr std::uint8_t delimiters[] = {',', ',', ';', '\t', ' ', '|', 0xA7, 0xC3, '"'};
    static constexpr std::uint8_t quotes[] = {'"', '"', '\'', ' ', 0xA7};
    return {delimiters[below(std::size(delimiters))], quotes[below(std::size(quotes))],
            below(4) != 0};
  }

  // Mostly special bytes, some text and some UTF-8 fragments, now and then long plain runs.
  std::string buffer(const Options& o, std::size_t max_length) {
    const std::size_t length = below(max_length + 1);
    std::string s;
    if (below(8) == 0) s = "\xEF\xBB\xBF";
    while (s.size() < length) {
      switch (below(16)) {
        case 0:
        case 1: s += static_cast<char>(o.delimiter); break;
        case 2:
        case 3:
        case 4: s += static_cast<char>(o.quote); break;
        case 5: s += '\n'; break;
        case 6: s += '\r'; break;
        case 7: s += below(2) ? ' ' : '\t'; break;
        case 8: s += '\0'; break;
        case 9: s += "\xC3\xA9"; break;
        case 10: s += static_cast<char>(0x80 + below(128)); break;
        case 11: s += "\xE2\x80\xA8"; break;
        case 12: s.append(below(100), 'x'); break;
        default: s += static_cast<char>('a' + below(3)); break;
      }
    }
    return s;
  }

 private:
  std::mt19937_64 rng_;
};

}  // namespace quorle::engine::testing

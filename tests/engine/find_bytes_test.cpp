// Every byte-search kernel and block classifier of this build and processor against a byte-by-byte
// reading, on random buffers at every alignment, with every byte value somewhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/block_masks.hpp"
#include "engine/find_bytes.hpp"

namespace quorle::engine {
namespace {

// Runs of the bytes searched for, their neighbours (one bit apart, and 0x80 apart, where a
// carry or a sign could leak), NUL, high bytes and any byte at all.
std::string random_bytes(std::mt19937_64& rng, std::size_t length, std::uint8_t a, std::uint8_t b) {
  std::string s;
  while (s.size() < length) {
    const std::uint64_t r = rng();
    const std::uint8_t pick = (r >> 8) & 1 ? a : b;
    switch (r % 8) {
      case 0:
      case 1: s += static_cast<char>(pick); break;
      case 2: s += static_cast<char>(pick ^ (1u << ((r >> 9) % 8))); break;
      case 3: s += static_cast<char>(pick ^ 0x80); break;
      case 4: s += '\0'; break;
      case 5: s += static_cast<char>(0x80 | (r >> 16)); break;
      default: s += static_cast<char>(r >> 16); break;
    }
  }
  return s;
}

// The needles of a case: any byte value, NUL and 0xFF included, sometimes twice the same.
std::uint8_t random_needle(std::mt19937_64& rng) {
  static constexpr std::uint8_t usual[] = {',', '"', '\n', '\r', 0, 0x7F, 0x80, 0xFF};
  const std::uint64_t r = rng();
  return r % 2 ? usual[(r >> 1) % std::size(usual)] : static_cast<std::uint8_t>(r >> 8);
}

template <class K>
void check_kernel() {
  std::mt19937_64 rng(K::width);
  // The text sits at every offset of a larger buffer, so that loads start at every alignment.
  std::string buffer(300, '\0');
  for (int i = 0; i < 20000; ++i) {
    const std::uint8_t a = random_needle(rng), b = rng() % 4 ? random_needle(rng) : a;
    const std::size_t length = rng() % 3 ? rng() % 40 : rng() % 200;
    const std::string text = random_bytes(rng, length, a, b);
    const std::size_t offset = rng() % 64;
    // Bytes around the text that match: a search must not see them.
    buffer.assign(buffer.size(), static_cast<char>(a));
    buffer.replace(offset, text.size(), text);
    const char* p = buffer.data() + offset;
    SCOPED_TRACE(::testing::PrintToString(text) + " a " + std::to_string(a) + " b " +
                 std::to_string(b) + " offset " + std::to_string(offset));

    std::vector<std::size_t> expected, got;
    for (std::size_t k = 0; k < text.size(); ++k) {
      const auto c = static_cast<std::uint8_t>(text[k]);
      if (c == a || c == b) expected.push_back(k);
    }
    find_bytes::for_each_match<K>(
        p, text.size(), [&](std::size_t at) { got.push_back(at); }, a, b);
    ASSERT_EQ(got, expected);
    ASSERT_EQ(find_bytes::count<K>(p, text.size(), a),
              static_cast<std::size_t>(std::count(text.begin(), text.end(), static_cast<char>(a))));
    ASSERT_EQ(find_bytes::contains_any<K>(p, text.size(), a, b, a, b), !expected.empty());
    const auto high = std::find_if(text.begin(), text.end(),
                                   [](char c) { return static_cast<std::uint8_t>(c) >= 0x80; });
    ASSERT_EQ(find_bytes::first_high<K>(p, text.size()),
              static_cast<std::size_t>(high - text.begin()));
    // Stopping early: the search ends at the first match that says so.
    std::vector<std::size_t> of_a;
    for (std::size_t k : expected) {
      if (static_cast<std::uint8_t>(text[k]) == a) of_a.push_back(k);
    }
    if (!of_a.empty()) {
      of_a.resize(1 + rng() % of_a.size());
      got.clear();
      const bool finished = find_bytes::for_each_match<K>(
          p, text.size(),
          [&](std::size_t at) {
            got.push_back(at);
            return at != of_a.back();
          },
          a);
      ASSERT_FALSE(finished);
      ASSERT_EQ(got, of_a);
    }
  }
}

TEST(ByteSearch, WordsKernelMatchesByteByByte) {
  check_kernel<find_bytes::Words>();
}

TEST(ByteSearch, NativeKernelMatchesByteByByte) {
  check_kernel<find_bytes::Native>();
}

// Whichever classifier this process picked (the dispatch reads the processor), it runs here and
// reads every block as the scalar twin does.
TEST(ByteSearch, ChosenClassifierMatchesScalar) {
  const ClassifyBlock chosen = best_block_classifier();
  ASSERT_NE(chosen, nullptr);
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) {
    const std::uint8_t delimiter = random_needle(rng), quote = random_needle(rng);
    const std::string text = random_bytes(rng, 64, delimiter, quote);
    const auto* block = reinterpret_cast<const std::uint8_t*>(text.data());
    const BlockMasks want = classify_block_scalar(block, delimiter, quote);
    const BlockMasks got = chosen(block, delimiter, quote);
    ASSERT_EQ(got.delimiter, want.delimiter) << "case " << i;
    ASSERT_EQ(got.stop, want.stop) << "case " << i;
    ASSERT_EQ(got.high, want.high) << "case " << i;
  }
}

BlockMasks classify_bytewise(const std::uint8_t* block, std::uint8_t delimiter,
                             std::uint8_t quote) {
  BlockMasks m;
  for (int i = 0; i < 64; ++i) {
    const std::uint8_t c = block[i];
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (c == delimiter) m.delimiter |= bit;
    if (c == quote || c == '\r' || c == '\n') m.stop |= bit;
    if (c >= 0x80) m.high |= bit;
  }
  return m;
}

class BlockClassifier : public ::testing::TestWithParam<std::string_view> {};

TEST_P(BlockClassifier, MatchesByteByByte) {
  const ClassifyBlock classify = block_classifier(GetParam());
  if (!classify) GTEST_SKIP() << GetParam() << " is not available here";
  std::mt19937_64 rng(64);
  std::string buffer(64 + 63, '\0');
  for (int i = 0; i < 20000; ++i) {
    const std::uint8_t delimiter = random_needle(rng), quote = random_needle(rng);
    const std::size_t offset = rng() % 64;
    buffer.replace(offset, 64, random_bytes(rng, 64, delimiter, rng() % 2 ? quote : '\n'));
    const auto* block = reinterpret_cast<const std::uint8_t*>(buffer.data() + offset);
    const BlockMasks want = classify_bytewise(block, delimiter, quote);
    const BlockMasks got = classify(block, delimiter, quote);
    ASSERT_EQ(got.delimiter, want.delimiter) << "case " << i;
    ASSERT_EQ(got.stop, want.stop) << "case " << i;
    ASSERT_EQ(got.high, want.high) << "case " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(EachInstructionSet, BlockClassifier,
                         ::testing::ValuesIn(BLOCK_CLASSIFIERS));

}  // namespace
}  // namespace quorle::engine

#include "engine/transcode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace quorle::engine {
namespace {

std::string utf8(std::uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | cp >> 6);
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xE0 | cp >> 12);
    s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

constexpr std::uint32_t NONE = 0xFFFFFFFF;  // an undefined byte

SingleByteTable table_of(const std::vector<std::uint32_t>& cps) {
  SingleByteTable t;
  for (std::size_t b = 0; b < 256; ++b) {
    if (cps[b] == NONE) continue;
    const std::string s = utf8(cps[b]);
    t.size[b] = static_cast<std::uint8_t>(s.size());
    std::memcpy(t.utf8[b].data(), s.data(), s.size());
  }
  return t;
}

// Latin-1 with Windows-1252's euro sign and its five undefined bytes: every length and a gap.
SingleByteTable latin1_with_gaps() {
  std::vector<std::uint32_t> cps(256);
  for (std::uint32_t b = 0; b < 256; ++b)
    cps[b] = b;
  cps[0x80] = 0x20AC;
  for (std::uint8_t b : {0x81, 0x8D, 0x8F, 0x90, 0x9D})
    cps[b] = NONE;
  return table_of(cps);
}

struct Result {
  std::string text;
  std::uint64_t replaced = 0;
  std::vector<std::uint64_t> lines;
};

// The conversion fed in pieces that end at `cuts`.
Result run(const SingleByteTable& table, const std::string& in, std::vector<std::size_t> cuts) {
  SingleByteTranscoder t(table);
  Result r;
  cuts.push_back(in.size());
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    std::vector<std::uint8_t> out(SingleByteTranscoder::max_output(cut - from));
    const std::size_t n =
        t.convert(reinterpret_cast<const std::uint8_t*>(in.data()) + from, cut - from, out.data());
    r.text.append(reinterpret_cast<const char*>(out.data()), n);
    from = cut;
  }
  r.replaced = t.replaced();
  r.lines.assign(t.first_lines().begin(), t.first_lines().end());
  return r;
}

// Byte by byte, lines counted from the start for every undefined byte.
Result reference(const SingleByteTable& table, const std::string& in) {
  Result r;
  auto is = [&](std::uint8_t b, char c) {
    return table.size[b] == 1 && table.utf8[b][0] == static_cast<std::uint8_t>(c);
  };
  for (std::size_t i = 0; i < in.size(); ++i) {
    const auto b = static_cast<std::uint8_t>(in[i]);
    if (table.size[b] != 0) {
      r.text.append(reinterpret_cast<const char*>(table.utf8[b].data()), table.size[b]);
      continue;
    }
    r.text += "\xEF\xBF\xBD";
    ++r.replaced;
    std::uint64_t line = 1;
    for (std::size_t j = 0; j < i; ++j) {
      const auto c = static_cast<std::uint8_t>(in[j]);
      const bool crlf_end = is(c, '\n') && j > 0 && is(static_cast<std::uint8_t>(in[j - 1]), '\r');
      line += is(c, '\r') || (is(c, '\n') && !crlf_end);
    }
    if (r.lines.size() < 10 && (r.lines.empty() || r.lines.back() != line)) r.lines.push_back(line);
  }
  return r;
}

TEST(Transcode, Cases) {
  struct Case {
    std::string in, text;
    std::uint64_t replaced;
    std::vector<std::uint64_t> lines;
  };
  const SingleByteTable t = latin1_with_gaps();
  for (const Case& c : std::vector<Case>{
           {"", "", 0, {}},
           {"plain ascii, longer than one word\r\n",
            "plain ascii, longer than one word\r\n",
            0,
            {}},
           {"caf\xE9 \x80 \xFF", "caf\xC3\xA9 \xE2\x82\xAC \xC3\xBF", 0, {}},
           {std::string("a\0b", 3), std::string("a\0b", 3), 0, {}},
           {"\x81", "\xEF\xBF\xBD", 1, {1}},
           {"a\r\nb\x81\rc\x8D\x8D\n",
            "a\r\nb\xEF\xBF\xBD\rc\xEF\xBF\xBD\xEF\xBF\xBD\n",
            3,
            {2, 3}},
           {"x\n\r\n\r\r\x90", "x\n\r\n\r\r\xEF\xBF\xBD", 1, {5}},
           {"0123456789abcdef\r\n\x9D 0123456789\n\x8F", "", 2, {2, 3}},
       }) {
    const Result r = run(t, c.in, {});
    if (!c.text.empty() || c.in.empty()) {
      EXPECT_EQ(r.text, c.text) << c.in;
    }
    EXPECT_EQ(r.replaced, c.replaced) << c.in;
    EXPECT_EQ(r.lines, c.lines) << c.in;
  }
}

TEST(Transcode, AtMostTenLinesEachOnce) {
  std::string in;
  for (int i = 0; i < 30; ++i)
    in += "row,\x81\x81\n";
  const Result r = run(latin1_with_gaps(), in, {});
  EXPECT_EQ(r.replaced, 60u);
  EXPECT_EQ(r.lines, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST(Transcode, PackedTable) {
  std::string packed(1024, '\0');
  packed[4 * 'A'] = 1;
  packed[4 * 'A' + 1] = 'A';
  packed[4 * 0xE9] = 2;
  packed[4 * 0xE9 + 1] = '\xC3';
  packed[4 * 0xE9 + 2] = '\xA9';
  const auto t = SingleByteTable::from_packed(packed);
  ASSERT_TRUE(t);
  EXPECT_EQ(run(*t,
                "A\xE9"
                "B",
                {})
                .text,
            "A\xC3\xA9\xEF\xBF\xBD");
  EXPECT_FALSE(SingleByteTable::from_packed(packed.substr(4)));
  packed[0] = 4;
  EXPECT_FALSE(SingleByteTable::from_packed(packed));
}

// Random tables (ASCII as is, or shuffled so the word paths are off), random bytes biased to
// line breaks and undefined bytes, random cuts into pieces: the same as byte by byte.
TEST(Transcode, MatchesReferenceOnRandomInputAndCuts) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 400; ++round) {
    std::vector<std::uint32_t> cps(256);
    const int mode = round % 3;  // the fixed table, a random high half, a shuffled whole table
    for (std::uint32_t b = 0; b < 256; ++b) {
      const std::uint32_t kind = rng() % 8;
      cps[b] = b < 0x80 && mode != 2 ? b
               : kind == 0           ? NONE
               : kind < 4            ? 0x80 + rng() % 0x780
                                     : 0x800 + rng() % 0xD000;
    }
    if (mode == 2) std::shuffle(cps.begin(), cps.end(), rng);
    if (mode == 2) cps[rng() % 256] = '\n', cps[rng() % 256] = '\r';
    SingleByteTable table = mode == 0 ? latin1_with_gaps() : table_of(cps);
    std::string in(rng() % 300, '\0');
    const std::string common =
        "\r\n\x81\x8D\x90"
        "ab,";
    for (char& c : in) {
      const std::uint32_t r = rng() % 10;
      c = r < 5   ? 'a' + static_cast<char>(r)
          : r < 8 ? common[rng() % common.size()]
                  : static_cast<char>(rng());
    }
    if (round % 10 == 9) {  // long, with a few undefined bytes far apart: breaks counted in bulk
      in.assign(3000 + rng() % 5000, 'a');
      for (char& c : in)
        c = "aaaaaa\r\n"[rng() % 8];
      table.size[0x81] = 0;
      for (int k = 0; k < 12; ++k)
        in[rng() % in.size()] = '\x81';
    }
    std::vector<std::size_t> cuts;
    for (std::size_t p = 0; p < in.size(); p += 1 + rng() % (in.size() > 300 ? 3000 : 40)) {
      cuts.push_back(p);
    }
    const Result want = reference(table, in);
    const Result got = run(table, in, cuts);
    ASSERT_EQ(got.text, want.text) << "round " << round;
    ASSERT_EQ(got.replaced, want.replaced) << "round " << round;
    ASSERT_EQ(got.lines, want.lines) << "round " << round;
  }
}

}  // namespace
}  // namespace quorle::engine

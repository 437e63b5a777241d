#include "engine/utf8_check.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace quorle::engine {
namespace {

const std::vector<std::string> PIECES = {
    "a", ",", "\n", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF",
    "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEF\xBF\xBF", "\xC2\x80",
    // ill-formed: stray, cut, overlong, surrogate, too large
    "\x80", "\xBF", "\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xC0\xAF", "\xC1\xBF", "\xE0\x9F\xBF",
    "\xED\xA0\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\xFE"};

Utf8Check run(CheckUtf8 check, const std::string& s) {
  return check(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

void expect_same(CheckUtf8 vector, const std::string& s) {
  const Utf8Check want = run(&check_utf8_scalar, s), got = run(vector, s);
  ASSERT_EQ(got.valid, want.valid) << testing::PrintToString(s);
  ASSERT_EQ(got.leads, want.leads) << testing::PrintToString(s);
}

class EachChecker : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    check_ = utf8_checker(GetParam());
    if (check_ == nullptr) GTEST_SKIP() << GetParam() << " is not available here";
  }
  CheckUtf8 check_ = nullptr;
};

// Random strings of characters and faults, mostly well-formed so that a fault is alone, at every
// length and so at every position around the 16- and 32-byte lanes.
TEST_P(EachChecker, AgreesWithTheCharacterByCharacterCheck) {
  std::mt19937 rng(11);
  for (int round = 0; round < 20000; ++round) {
    const int faults_in = 1 + static_cast<int>(rng() % 40);  // one piece in that many ill-formed
    const std::size_t pieces = rng() % (round % 10 == 0 ? 400 : 60);
    std::string s;
    for (std::size_t i = 0; i < pieces; ++i) {
      const bool fault = static_cast<int>(rng() % static_cast<unsigned>(faults_in)) == 0;
      s += fault ? PIECES[11 + rng() % (PIECES.size() - 11)] : PIECES[rng() % 11];
    }
    expect_same(check_, s);
  }
}

// Every pair and every lead with two following bytes, placed across the lanes' seams.
TEST_P(EachChecker, AgreesOnEveryPairAcrossTheSeams) {
  const std::vector<int> bytes = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                  0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0,
                                  0xF1, 0xF3, 0xF4, 0xF5, 0xF8, 0xFF};
  for (const std::size_t at : {0u, 14u, 15u, 30u, 31u, 32u, 46u, 62u, 63u}) {
    for (int a : bytes) {
      for (int b : bytes) {
        for (int c : {0x41, 0x80, 0x9F, 0xBF}) {
          std::string s(at, 'x');
          s += static_cast<char>(a);
          s += static_cast<char>(b);
          s += static_cast<char>(c);
          expect_same(check_, s);
          s += "\xBFyz";
          expect_same(check_, s);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Utf8Check, EachChecker, testing::Values("scalar", "avx2"));

}  // namespace
}  // namespace quorle::engine

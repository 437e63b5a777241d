#include "engine/utf8_check.hpp"

#include <bit>
#include <cstring>

#include "engine/find_bytes.hpp"
#include "engine/utf8.hpp"

#if QUORLE_SEARCH_SSE2 && defined(__x86_64__)
#include <immintrin.h>
#define QUORLE_UTF8_AVX2 1
#endif

namespace quorle::engine {

Utf8Check check_utf8_scalar(const std::uint8_t* p, std::size_t n) {
  Utf8Check c;
  c.valid = is_valid_utf8_bytewise(p, n);
  for (std::size_t i = 0; i < n; ++i)
    c.leads += p[i] >= 0xC0;
  return c;
}

namespace {

#if QUORLE_UTF8_AVX2
// Each byte and the one before it give three table entries whose AND is not zero exactly when
// the pair cannot occur in UTF-8; a bit names the fault it stands for.
constexpr std::uint8_t TOO_SHORT = 1 << 0;   // a lead byte not followed by a continuation
constexpr std::uint8_t TOO_LONG = 1 << 1;    // a continuation after ASCII
constexpr std::uint8_t OVERLONG_3 = 1 << 2;  // E0 80..9F
constexpr std::uint8_t TOO_LARGE = 1 << 3;   // above U+10FFFF
constexpr std::uint8_t SURROGATE = 1 << 4;   // ED A0..BF
constexpr std::uint8_t OVERLONG_2 = 1 << 5;  // C0, C1
constexpr std::uint8_t TOO_LARGE_1000 = 1 << 6;
constexpr std::uint8_t OVERLONG_4 = 1 << 6;  // F0 80..8F
constexpr std::uint8_t TWO_CONTS = 1 << 7;   // a continuation after a continuation
constexpr std::uint8_t CARRY = TOO_SHORT | TOO_LONG | TWO_CONTS;

#define Q(x) static_cast<char>(x)
#define TABLE(...) _mm256_setr_epi8(__VA_ARGS__, __VA_ARGS__)

__attribute__((target("avx2"))) __m256i high_nibbles(__m256i v) {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// The `n` bytes before each byte of `in`, the earlier ones taken from `prev`.
template <int N>
__attribute__((target("avx2"))) __m256i before(__m256i in, __m256i prev) {
  return _mm256_alignr_epi8(in, _mm256_permute2x128_si256(prev, in, 0x21), 16 - N);
}

__attribute__((target("avx2"))) Utf8Check avx2(const std::uint8_t* p, std::size_t n) {
  const __m256i first_high = TABLE(
      Q(TOO_LONG), Q(TOO_LONG), Q(TOO_LONG), Q(TOO_LONG), Q(TOO_LONG), Q(TOO_LONG), Q(TOO_LONG),
      Q(TOO_LONG), Q(TWO_CONTS), Q(TWO_CONTS), Q(TWO_CONTS), Q(TWO_CONTS),
      Q(TOO_SHORT | OVERLONG_2), Q(TOO_SHORT), Q(TOO_SHORT | OVERLONG_3 | SURROGATE),
      Q(TOO_SHORT | TOO_LARGE | TOO_LARGE_1000 | OVERLONG_4));
  const __m256i first_low = TABLE(
      Q(CARRY | OVERLONG_3 | OVERLONG_2 | OVERLONG_4), Q(CARRY | OVERLONG_2), Q(CARRY), Q(CARRY),
      Q(CARRY | TOO_LARGE), Q(CARRY | TOO_LARGE | TOO_LARGE_1000),
      Q(CARRY | TOO_LARGE | TOO_LARGE_1000), Q(CARRY | TOO_LARGE | TOO_LARGE_1000),
      Q(CARRY | TOO_LARGE | TOO_LARGE_1000), Q(CARRY | TOO_LARGE | TOO_LARGE_1000),
      Q(CARRY | TOO_LARGE | TOO_LARGE_1000), Q(CARRY | TOO_LARGE | TOO_LARGE_1000),
      Q(CARRY | TOO_LARGE | TOO_LARGE_1000), Q(CARRY | TOO_LARGE | TOO_LARGE_1000 | SURROGATE),
      Q(CARRY | TOO_LARGE | TOO_LARGE_1000), Q(CARRY | TOO_LARGE | TOO_LARGE_1000));
  const __m256i second_high = TABLE(
      Q(TOO_SHORT), Q(TOO_SHORT), Q(TOO_SHORT), Q(TOO_SHORT), Q(TOO_SHORT), Q(TOO_SHORT),
      Q(TOO_SHORT), Q(TOO_SHORT),
      Q(TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE_1000 | OVERLONG_4),
      Q(TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE),
      Q(TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE | TOO_LARGE),
      Q(TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE | TOO_LARGE), Q(TOO_SHORT), Q(TOO_SHORT),
      Q(TOO_SHORT), Q(TOO_SHORT));
  // The last three bytes of a block that leave a character unfinished: a lead of two bytes or
  // more last, of three or more second to last, of four third to last.
  const __m256i unfinished_above = _mm256_setr_epi8(
      Q(255), Q(255), Q(255), Q(255), Q(255), Q(255), Q(255), Q(255), Q(255), Q(255), Q(255),
      Q(255), Q(255), Q(255), Q(255), Q(255), Q(255), Q(255), Q(255), Q(255), Q(255), Q(255),
      Q(255), Q(255), Q(255), Q(255), Q(255), Q(255), Q(255), Q(0xF0 - 1), Q(0xE0 - 1),
      Q(0xC0 - 1));
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i below_leads = _mm256_set1_epi8(Q(0xBF));

  __m256i prev = _mm256_setzero_si256(), error = _mm256_setzero_si256(),
          unfinished = _mm256_setzero_si256();
  std::uint64_t leads = 0;
  auto step = [&](__m256i in) __attribute__((target("avx2"))) {
    const auto high = static_cast<std::uint32_t>(_mm256_movemask_epi8(in));
    if (high == 0) {
      error = _mm256_or_si256(error, unfinished);  // ASCII right after an unfinished character
    } else {
      const __m256i prev1 = before<1>(in, prev);
      const __m256i pairs = _mm256_and_si256(
          _mm256_and_si256(_mm256_shuffle_epi8(first_high, high_nibbles(prev1)),
                           _mm256_shuffle_epi8(first_low, _mm256_and_si256(prev1, nibble))),
          _mm256_shuffle_epi8(second_high, high_nibbles(in)));
      // The third and fourth bytes of a character must be continuations, and only they may
      // follow a continuation: the TWO_CONTS bit of `pairs` must match.
      const __m256i third = _mm256_subs_epu8(before<2>(in, prev), _mm256_set1_epi8(Q(0xE0 - 0x80)));
      const __m256i fourth = _mm256_subs_epu8(before<3>(in, prev), _mm256_set1_epi8(Q(0xF0 - 0x80)));
      const __m256i must_continue =
          _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(Q(0x80)));
      error = _mm256_or_si256(error, _mm256_xor_si256(must_continue, pairs));
      unfinished = _mm256_subs_epu8(in, unfinished_above);
      // Bytes of 0xC0 and above: negative, and above 0xBF as signed bytes.
      const auto leading = static_cast<std::uint32_t>(_mm256_movemask_epi8(
          _mm256_cmpgt_epi8(in, below_leads)));
      leads += static_cast<std::uint64_t>(std::popcount(leading & high));
    }
    prev = in;
  };
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32)
    step(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
  if (i < n) {
    alignas(32) std::uint8_t tail[32] = {};  // padded with ASCII NULs
    std::memcpy(tail, p + i, n - i);
    step(_mm256_load_si256(reinterpret_cast<const __m256i*>(tail)));
  }
  error = _mm256_or_si256(error, unfinished);
  return {_mm256_testz_si256(error, error) != 0, leads};
}

#undef TABLE
#undef Q
#endif

}  // namespace

CheckUtf8 utf8_checker(std::string_view name) {
  if (name == "scalar") return &check_utf8_scalar;
#if QUORLE_UTF8_AVX2
  if (name == "avx2") return __builtin_cpu_supports("avx2") ? &avx2 : nullptr;
#endif
  return nullptr;
}

CheckUtf8 best_utf8_checker() {
  static const CheckUtf8 best = [] {
    if (CheckUtf8 f = utf8_checker("avx2")) return f;
    return &check_utf8_scalar;
  }();
  return best;
}

}  // namespace quorle::engine

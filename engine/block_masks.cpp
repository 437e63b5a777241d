#include "engine/block_masks.hpp"

#include <atomic>

#include "engine/find_bytes.hpp"

#if QUORLE_SEARCH_SSE2 && defined(__x86_64__)
#include <immintrin.h>
#define QUORLE_CLASSIFY_AVX 1
#endif

namespace quorle::engine {

BlockMasks classify_block_scalar(const std::uint8_t* block, std::uint8_t delimiter,
                                 std::uint8_t quote) {
  using K = find_bytes::Words;
  const K::Vec d = K::splat(delimiter), q = K::splat(quote), cr = K::splat('\r'),
               lf = K::splat('\n');
  // Gathers the high bit of each byte into the eight bits of one byte, no two products
  // overlapping.
  auto gather = [](K::Vec v) { return ((v >> 7) * 0x0102040810204080ull) >> 56; };
  BlockMasks m;
  for (int i = 0; i < 8; ++i) {
    const K::Vec v = K::load(reinterpret_cast<const char*>(block) + 8 * i);
    const int at = 8 * i;
    m.delimiter |= gather(K::equal(v, d)) << at;
    m.stop |= gather(K::equal(v, q) | K::equal(v, cr) | K::equal(v, lf)) << at;
    m.high |= gather(v & 0x8080808080808080ull) << at;
  }
  return m;
}

namespace {

#if QUORLE_SEARCH_SSE2
BlockMasks sse2(const std::uint8_t* block, std::uint8_t delimiter, std::uint8_t quote) {
  const __m128i d = _mm_set1_epi8(static_cast<char>(delimiter));
  const __m128i q = _mm_set1_epi8(static_cast<char>(quote));
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  BlockMasks m;
  for (int i = 0; i < 4; ++i) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
    const __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(v, q),
                                      _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
    auto bits = [&](__m128i x) {
      return std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(x))} << (16 * i);
    };
    m.delimiter |= bits(_mm_cmpeq_epi8(v, d));
    m.stop |= bits(stop);
    m.high |= bits(v);
  }
  return m;
}
#endif

#if QUORLE_CLASSIFY_AVX
__attribute__((target("avx2"))) BlockMasks avx2(const std::uint8_t* block, std::uint8_t delimiter,
                                                std::uint8_t quote) {
  const __m256i d = _mm256_set1_epi8(static_cast<char>(delimiter));
  const __m256i q = _mm256_set1_epi8(static_cast<char>(quote));
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i lf = _mm256_set1_epi8('\n');
  BlockMasks m;
  for (int i = 0; i < 2; ++i) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * i));
    const __m256i stop =
        _mm256_or_si256(_mm256_cmpeq_epi8(v, q),
                        _mm256_or_si256(_mm256_cmpeq_epi8(v, cr), _mm256_cmpeq_epi8(v, lf)));
    // (no lambda: it would not inherit the target attribute)
    const int shift = 32 * i;
    m.delimiter |=
        std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, d)))}
        << shift;
    m.stop |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(stop))} << shift;
    m.high |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(v))} << shift;
  }
  return m;
}

__attribute__((target("avx512f,avx512bw"))) BlockMasks avx512(const std::uint8_t* block,
                                                              std::uint8_t delimiter,
                                                              std::uint8_t quote) {
  const __m512i v = _mm512_loadu_si512(block);
  BlockMasks m;
  m.delimiter = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(delimiter)));
  m.stop = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(quote))) |
           _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\r')) |
           _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\n'));
  m.high = _mm512_movepi8_mask(v);
  return m;
}
#endif

#if QUORLE_SEARCH_NEON
// One bit per byte from four vectors of 0x00/0xFF bytes: each byte keeps its own bit of eight,
// and three rounds of pairwise additions pack them into the 64 bits in order.
std::uint64_t neon_bits(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d) {
  const uint8x16_t weight = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  uint8x16_t ab = vpaddq_u8(vandq_u8(a, weight), vandq_u8(b, weight));
  const uint8x16_t cd = vpaddq_u8(vandq_u8(c, weight), vandq_u8(d, weight));
  ab = vpaddq_u8(ab, cd);
  ab = vpaddq_u8(ab, ab);
  return vgetq_lane_u64(vreinterpretq_u64_u8(ab), 0);
}

BlockMasks neon(const std::uint8_t* block, std::uint8_t delimiter, std::uint8_t quote) {
  const uint8x16_t d = vdupq_n_u8(delimiter), q = vdupq_n_u8(quote), cr = vdupq_n_u8('\r'),
                   lf = vdupq_n_u8('\n');
  const uint8x16_t v0 = vld1q_u8(block), v1 = vld1q_u8(block + 16), v2 = vld1q_u8(block + 32),
                   v3 = vld1q_u8(block + 48);
  auto delimiters = [&](uint8x16_t v) { return vceqq_u8(v, d); };
  auto stops = [&](uint8x16_t v) {
    return vorrq_u8(vceqq_u8(v, q), vorrq_u8(vceqq_u8(v, cr), vceqq_u8(v, lf)));
  };
  auto highs = [](uint8x16_t v) { return vcltzq_s8(vreinterpretq_s8_u8(v)); };
  BlockMasks m;
  m.delimiter = neon_bits(delimiters(v0), delimiters(v1), delimiters(v2), delimiters(v3));
  m.stop = neon_bits(stops(v0), stops(v1), stops(v2), stops(v3));
  m.high = neon_bits(highs(v0), highs(v1), highs(v2), highs(v3));
  return m;
}
#endif

}  // namespace

ClassifyBlock block_classifier(std::string_view name) {
  if (name == "scalar") return &classify_block_scalar;
#if QUORLE_SEARCH_SSE2
  if (name == "sse2") return &sse2;
#endif
#if QUORLE_CLASSIFY_AVX
  if (name == "avx2") return __builtin_cpu_supports("avx2") ? &avx2 : nullptr;
  if (name == "avx512") {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") ? &avx512
                                                                                   : nullptr;
  }
#endif
#if QUORLE_SEARCH_NEON
  if (name == "neon") return &neon;  // every aarch64 processor has it
#endif
  return nullptr;
}

namespace {
std::atomic<ClassifyBlock> chosen{nullptr};
}

void use_block_classifier(ClassifyBlock classify) {
  chosen.store(classify);
}

ClassifyBlock best_block_classifier() {
  if (ClassifyBlock c = chosen.load(std::memory_order_relaxed)) return c;
  static const ClassifyBlock best = [] {
    for (const std::string_view name : {"avx512", "avx2", "sse2", "neon"}) {
      if (ClassifyBlock f = block_classifier(name)) return f;
    }
    return &classify_block_scalar;
  }();
  return best;
}

}  // namespace quorle::engine

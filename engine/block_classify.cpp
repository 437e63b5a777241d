#include "engine/block_classify.hpp"

#include <immintrin.h>

#include <atomic>

namespace quorle::engine {

BlockMasks classify_block_sse2(const std::uint8_t* block, std::uint8_t delimiter,
                               std::uint8_t quote) {
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

namespace {

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

}  // namespace

ClassifyBlock classify_block_avx2() {
  return __builtin_cpu_supports("avx2") ? &avx2 : nullptr;
}

ClassifyBlock classify_block_avx512() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") ? &avx512
                                                                                 : nullptr;
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
    if (ClassifyBlock f = classify_block_avx512()) return f;
    if (ClassifyBlock f = classify_block_avx2()) return f;
    return &classify_block_sse2;
  }();
  return best;
}

}  // namespace quorle::engine

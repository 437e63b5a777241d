// Bulk scanning: finds the next byte that the tokenizer's rules must look at, 64 bytes at a time,
// so that runs of ordinary bytes cost a few instructions per block instead of a branch per byte.
#pragma once

#include <emmintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorle::engine {

/// Walks a buffer forward in 64-byte blocks, each described by a bit mask of its "special" bytes
/// (delimiter, quote, CR, LF) and a mask of its bytes of 0x80 and above.
class SpecialScanner {
 public:
  SpecialScanner(const std::uint8_t* data, std::size_t size, std::uint8_t delimiter,
                 std::uint8_t quote)
      : data_(data),
        size_(size),
        delimiter_(_mm_set1_epi8(static_cast<char>(delimiter))),
        quote_(_mm_set1_epi8(static_cast<char>(quote))) {}

  /// First offset at or after `p` holding a special byte; the buffer size when there is none.
  std::size_t next(std::size_t p) {
    std::size_t rel = p - base_;  // wraps to a huge value when p lies before the block
    if (rel >= 64) {
      if (p >= size_) return size_;
      load(p & ~std::size_t{63});
      rel = p - base_;
    }
    std::uint64_t m = special_ & (~std::uint64_t{0} << rel);
    while (m == 0) {
      const std::size_t next_base = base_ + 64;
      if (next_base >= size_) return size_;
      load(next_base);
      m = special_;
    }
    return base_ + static_cast<std::size_t>(std::countr_zero(m));
  }

  /// Starts tracking bytes of 0x80 and above from offset `p` on (the start of a record).
  void mark(std::size_t p) {
    const std::size_t rel = p - base_;
    high_seen_ = rel < 64 && (high_ >> rel) != 0;
  }
  /// Records a byte that the rules consumed one at a time, outside the bulk scan.
  void note(std::uint8_t byte) { high_seen_ |= byte >= 0x80; }
  /// Whether a byte of 0x80 or above may lie between the mark and the blocks scanned so far.
  /// False means certainly none: ASCII text needs no UTF-8 check.
  bool high_seen() const { return high_seen_; }

 private:
  static std::uint32_t special_bits(__m128i v, __m128i d, __m128i q) {
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, d), _mm_cmpeq_epi8(v, q)),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(hit));
  }

  void load(std::size_t base) {
    base_ = base;
    const std::uint8_t* src = data_ + base;
    alignas(16) std::uint8_t tail[64];
    std::size_t valid = size_ - base;
    if (valid < 64) {  // the last, partial block: copy it so that no load reads past the end
      std::memcpy(tail, src, valid);
      std::memset(tail + valid, 0, 64 - valid);
      src = tail;
    }
    std::uint64_t special = 0, high = 0;
    for (int i = 0; i < 4; ++i) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16 * i));
      special |= std::uint64_t{special_bits(v, delimiter_, quote_)} << (16 * i);
      high |= std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(v))} << (16 * i);
    }
    if (valid < 64) {
      const std::uint64_t keep = (std::uint64_t{1} << valid) - 1;
      special &= keep;
      high &= keep;
    }
    special_ = special;
    high_ = high;
    high_seen_ |= high != 0;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  __m128i delimiter_;
  __m128i quote_;
  std::size_t base_ = static_cast<std::size_t>(-128);  // no block loaded yet
  std::uint64_t special_ = 0;
  std::uint64_t high_ = 0;
  bool high_seen_ = false;
};

}  // namespace quorle::engine

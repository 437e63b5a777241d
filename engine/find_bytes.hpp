// Finding a few byte values in a byte string: splitting a stored row into its fields,
// counting its delimiters, deciding whether a field needs quoting, passing over ASCII text.
// Together with block_masks.cpp this is the only code that knows instruction sets: SSE2 on
// x86-64, NEON on aarch64, and a portable kernel of 64-bit words everywhere (the only one when
// built with QUORLE_NO_SIMD). The kernel is chosen when compiling, since every processor of the
// target has it and a row is too short for a call through a pointer.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if !defined(QUORLE_NO_SIMD) && defined(__SSE2__)
#include <emmintrin.h>
#define QUORLE_SEARCH_SSE2 1
#elif !defined(QUORLE_NO_SIMD) && defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#define QUORLE_SEARCH_NEON 1
#endif

namespace quorle::engine::find_bytes {

// A kernel compares `width` bytes at once. Its masks hold one bit per matching byte, byte i at bit
// i << shift, so that std::popcount counts matches and m &= m - 1 drops the first.

/// Eight bytes in a 64-bit word; a matching byte gets its high bit.
struct Words {
  static constexpr const char* name = "words";
  static constexpr std::size_t width = 8;
  static constexpr int shift = 3;
  using Vec = std::uint64_t;
  static Vec splat(std::uint8_t b) { return b * 0x0101010101010101ull; }
  static Vec load(const char* p) {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = byteswap(v);
    return v;
  }
  // Exact, with no carry from one byte into the next: the high bit of each byte that equals `b`.
  static Vec equal(Vec v, Vec b) {
    constexpr Vec LOW7 = 0x7F7F7F7F7F7F7F7Full;
    const Vec x = v ^ b;
    return ~(((x & LOW7) + LOW7) | x | LOW7);
  }
  static Vec either(Vec a, Vec b) { return a | b; }
  static Vec high(Vec v) { return v & 0x8080808080808080ull; }
  static std::uint64_t mask(Vec v) { return v; }

 private:
  static Vec byteswap(Vec v) {
    Vec r = 0;
    for (int i = 0; i < 8; ++i, v >>= 8)
      r = r << 8 | (v & 0xFF);
    return r;
  }
};

#if QUORLE_SEARCH_SSE2
struct Sse2 {
  static constexpr const char* name = "sse2";
  static constexpr std::size_t width = 16;
  static constexpr int shift = 0;
  using Vec = __m128i;
  static Vec splat(std::uint8_t b) { return _mm_set1_epi8(static_cast<char>(b)); }
  static Vec load(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static Vec equal(Vec v, Vec b) { return _mm_cmpeq_epi8(v, b); }
  static Vec either(Vec a, Vec b) { return _mm_or_si128(a, b); }
  static Vec high(Vec v) { return v; }  // the mask reads each byte's high bit
  static std::uint64_t mask(Vec v) { return static_cast<std::uint16_t>(_mm_movemask_epi8(v)); }
};
using Native = Sse2;
#elif QUORLE_SEARCH_NEON
struct Neon {
  static constexpr const char* name = "neon";
  static constexpr std::size_t width = 16;
  static constexpr int shift = 2;
  using Vec = uint8x16_t;
  static Vec splat(std::uint8_t b) { return vdupq_n_u8(b); }
  static Vec load(const char* p) { return vld1q_u8(reinterpret_cast<const std::uint8_t*>(p)); }
  static Vec equal(Vec v, Vec b) { return vceqq_u8(v, b); }
  static Vec either(Vec a, Vec b) { return vorrq_u8(a, b); }
  static Vec high(Vec v) { return vcgeq_u8(v, vdupq_n_u8(0x80)); }
  // NEON has no movemask: narrowing each 16-bit lane by four bits leaves four bits per byte, of
  // which one is kept.
  static std::uint64_t mask(Vec v) {
    const uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(v), 4);
    return vget_lane_u64(vreinterpret_u64_u8(nibbles), 0) & 0x8888888888888888ull;
  }
};
using Native = Neon;
#else
using Native = Words;
#endif

/// The bytes of `v` equal to any of `wanted`, as a vector of the kernel.
template <class K, class... Wanted>
typename K::Vec equal_any(typename K::Vec v, typename K::Vec first, Wanted... wanted) {
  typename K::Vec hit = K::equal(v, first);
  ((hit = K::either(hit, K::equal(v, wanted))), ...);
  return hit;
}

/// Calls on_match(i) for each offset i of [p, p + n) that holds one of `bytes`, in order. When
/// on_match returns bool, false stops the search and makes it return false.
template <class K = Native, class OnMatch, class... Bytes>
bool for_each_match(const char* p, std::size_t n, OnMatch&& on_match, Bytes... bytes) {
  static_assert(sizeof...(Bytes) >= 1 && (std::is_same_v<Bytes, std::uint8_t> && ...));
  auto hits_at = [... wanted = K::splat(bytes)](const char* from) {
    return K::mask(equal_any<K>(K::load(from), wanted...));
  };
  auto report = [&](std::size_t base, std::uint64_t hits) {
    for (; hits; hits &= hits - 1) {
      const std::size_t at = base + (static_cast<std::size_t>(std::countr_zero(hits)) >> K::shift);
      if constexpr (std::is_void_v<decltype(on_match(at))>) {
        on_match(at);
      } else if (!on_match(at)) {
        return false;
      }
    }
    return true;
  };
  std::size_t i = 0;
  for (; i + K::width <= n; i += K::width) {
    if (!report(i, hits_at(p + i))) return false;
  }
  if (i == n) return true;
  // The rest: the last `width` bytes without those already seen; a short string is copied
  // first, so that nothing beyond it is read.
  if (n >= K::width) {
    const std::size_t at = n - K::width;
    const int seen = static_cast<int>(i - at) << K::shift;
    return report(at, hits_at(p + at) >> seen << seen);
  }
  char tail[K::width] = {};
  std::memcpy(tail, p, n);
  return report(0, hits_at(tail) & ((std::uint64_t{1} << (n << K::shift)) - 1));
}

/// Whether [p, p + n) holds any of `bytes`. Inlined, so that constant bytes need no broadcast.
template <class K = Native, class... Bytes>
[[gnu::always_inline]] inline bool contains_any(const char* p, std::size_t n, Bytes... bytes) {
  static_assert(sizeof...(Bytes) >= 1 && (std::is_same_v<Bytes, std::uint8_t> && ...));
  if (n < K::width) {
    for (std::size_t i = 0; i < n; ++i) {
      const auto c = static_cast<std::uint8_t>(p[i]);
      if (((c == bytes) || ...)) return true;
    }
    return false;
  }
  auto any_at = [... wanted = K::splat(bytes)](const char* from) {
    return K::mask(equal_any<K>(K::load(from), wanted...)) != 0;
  };
  const char* const end = p + n;
  for (; n >= K::width; p += K::width, n -= K::width) {
    if (any_at(p)) return true;
  }
  // The rest within the last `width` bytes: looking again at some costs nothing here.
  return n != 0 && any_at(end - K::width);
}

/// The offset of the first byte of 0x80 or above in [p, p + n); n when all are ASCII.
template <class K = Native>
std::size_t first_high(const char* p, std::size_t n) {
  std::size_t i = 0;
  for (; i + K::width <= n; i += K::width) {
    const std::uint64_t hits = K::mask(K::high(K::load(p + i)));
    if (hits != 0) return i + (static_cast<std::size_t>(std::countr_zero(hits)) >> K::shift);
  }
  for (; i < n; ++i) {
    if (static_cast<std::uint8_t>(p[i]) >= 0x80) return i;
  }
  return n;
}

/// How many bytes of [p, p + n) equal `byte`.
template <class K = Native>
std::size_t count(const char* p, std::size_t n, std::uint8_t byte) {
  const typename K::Vec wanted = K::splat(byte);
  std::size_t total = 0, i = 0;
  for (; i + K::width <= n; i += K::width)
    total += static_cast<std::size_t>(std::popcount(K::mask(K::equal(K::load(p + i), wanted))));
  for (; i < n; ++i)
    total += static_cast<std::uint8_t>(p[i]) == byte;
  return total;
}

}  // namespace quorle::engine::find_bytes

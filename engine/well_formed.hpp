// Splitting a well-formed record: every field that holds a quote is enclosed in quotes, with each
// quote inside doubled. Quotes then only toggle "inside quotes", and a delimiter outside quotes
// ends a field.
#pragma once

#include <emmintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorle::engine {

/// Calls on_field(begin, end, quotes) for each field of `raw`: the field's bytes are
/// [begin, end) and hold `quotes` quote bytes (0 for an unquoted field; 2 for a quoted field
/// without a doubled quote inside).
template <class OnField>
void for_each_well_formed_field(std::string_view raw, std::uint8_t delimiter, std::uint8_t quote,
                                OnField&& on_field) {
  const char* s = raw.data();
  const std::size_t n = raw.size();
  const char q = static_cast<char>(quote);
  std::size_t start = 0, quotes = 0;
  bool inside = false;
  auto event = [&](std::size_t at) {
    if (s[at] == q) {
      inside = !inside;
      ++quotes;
    } else if (!inside) {
      on_field(start, at, quotes);
      start = at + 1;
      quotes = 0;
    }
  };
  const __m128i d = _mm_set1_epi8(static_cast<char>(delimiter));
  const __m128i qq = _mm_set1_epi8(q);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    unsigned hits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, d), _mm_cmpeq_epi8(v, qq))));
    for (; hits; hits &= hits - 1)
      event(i + static_cast<std::size_t>(std::countr_zero(hits)));
  }
  for (; i < n; ++i) {
    if (static_cast<std::uint8_t>(s[i]) == delimiter || s[i] == q) event(i);
  }
  on_field(start, n, quotes);
}

/// Appends the text of a quoted field [begin, end) of `s` (enclosing quotes included) with each
/// doubled quote made one.
template <class String>
void append_unescaped(String& out, const char* s, std::size_t begin, std::size_t end, char quote) {
  for (std::size_t i = begin + 1; i + 1 < end; ++i) {
    out.push_back(s[i]);
    if (s[i] == quote) ++i;  // the second of a doubled pair
  }
}

}  // namespace quorle::engine

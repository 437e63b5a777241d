// The fields of a verbatim row, one at a time: a verbatim row's bytes are a well-formed encoding
// of its fields, so every field that holds a quote is enclosed in quotes, each quote inside
// doubled. Quotes then only toggle "inside quotes", and a delimiter outside quotes ends a field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/find_bytes.hpp"

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
  find_bytes::for_each_match(s, n, event, delimiter, quote);
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

/// Copies the inside of a quoted field (`size` bytes without the enclosing quotes, each quote in
/// it doubled) to `out` with each doubled quote made one; returns the end of what it wrote.
inline char* copy_unescaped(char* out, const char* text, std::size_t size, char quote) {
  const char* const end = text + size;
  while (text < end) {
    const void* hit = std::memchr(text, quote, static_cast<std::size_t>(end - text));
    const char* stop = hit ? static_cast<const char*>(hit) + 1 : end;  // the first of the pair
    std::memcpy(out, text, static_cast<std::size_t>(stop - text));
    out += stop - text;
    text = hit ? stop + 1 : end;
  }
  return out;
}

/// Calls on_text(text) for each field of a verbatim row, in order. A text with doubled quotes is
/// unescaped into `unescaped` first, so it is valid only during its call.
template <class OnText>
void for_each_verbatim_text(std::string_view raw, std::uint8_t delimiter, std::uint8_t quote,
                            bool quote_free, std::string& unescaped, OnText&& on_text) {
  const char* s = raw.data();
  if (quote_free) {
    std::size_t start = 0;
    find_bytes::for_each_match(
        s, raw.size(),
        [&](std::size_t at) {
          on_text(std::string_view(s + start, at - start));
          start = at + 1;
        },
        delimiter);
    on_text(std::string_view(s + start, raw.size() - start));
    return;
  }
  for_each_well_formed_field(
      raw, delimiter, quote, [&](std::size_t begin, std::size_t end, std::size_t quotes) {
        if (quotes == 0) {
          on_text(std::string_view(s + begin, end - begin));
        } else if (quotes == 2) {  // only the enclosing pair
          on_text(std::string_view(s + begin + 1, end - begin - 2));
        } else {
          unescaped.clear();
          append_unescaped(unescaped, s, begin, end, static_cast<char>(quote));
          on_text(std::string_view(unescaped));
        }
      });
}

}  // namespace quorle::engine

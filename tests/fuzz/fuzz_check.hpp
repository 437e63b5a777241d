// What the fuzz targets share: a check that stops the run with a readable message (libFuzzer then
// saves the input), and printable forms of texts and rows for those messages.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace quorle::fuzz {

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "\n*** check failed: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

// The message is built only when the check fails.
#define FUZZ_CHECK(cond, message)                                                 \
  do {                                                                            \
    if (!(cond)) ::quorle::fuzz::fail(std::string(#cond) + "\n    " + (message)); \
  } while (false)

inline std::string show(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char ch : text) {
    const auto b = static_cast<std::uint8_t>(ch);
    if (b == '"' || b == '\\') {
      out += '\\';
      out += ch;
    } else if (b >= 0x20 && b < 0x7F) {
      out += ch;
    } else {
      out += "\\x";
      out += hex[b >> 4];
      out += hex[b & 15];
    }
  }
  return out + "\"";
}

inline std::string show(const std::vector<std::string>& row) {
  std::string out = "[";
  for (std::size_t i = 0; i < row.size(); ++i)
    out += (i ? ", " : "") + show(row[i]);
  return out + "]";
}

// Text with every occurrence of `quote` doubled.
inline std::string doubled(std::string_view text, std::string_view quote) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text.substr(i, quote.size()) == quote) {
      out.append(quote).append(quote);
      i += quote.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

// Whether an LF or CR stands outside quotes anywhere but as the line's last byte, which must be an
// LF outside quotes. In a well-formed line the quote text occurs only in quoted fields, so each
// occurrence toggles between inside and outside.
inline bool one_line_end_outside_quotes(std::string_view line, std::string_view quote) {
  if (line.empty() || line.back() != '\n') return false;
  bool inside = false;
  for (std::size_t i = 0; i < line.size();) {
    if (line.substr(i, quote.size()) == quote) {
      inside = !inside;
      i += quote.size();
      continue;
    }
    if (!inside && (line[i] == '\n' || line[i] == '\r') && i + 1 != line.size()) return false;
    ++i;
  }
  return !inside;
}

}  // namespace quorle::fuzz

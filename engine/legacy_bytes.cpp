#include "engine/legacy_bytes.hpp"

#include "engine/utf8.hpp"

namespace quorle::engine {
namespace {

// Windows-1252 for 0x80 to 0x9F; from 0xA0 on it agrees with Latin-1. Undefined bytes keep
// their C1 code point, as browsers read them.
constexpr char16_t CP1252_HIGH[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void append_code_point(std::string& out, char32_t cp) {
  if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  }
  out += static_cast<char>(0x80 | (cp & 0x3F));
}

}  // namespace

void append_utf8_or_cp1252(std::string& out, const std::uint8_t* p, std::size_t n) {
  out.reserve(out.size() + n + n / 2);
  for (std::size_t i = 0; i < n;) {
    if (p[i] < 0x80) {
      out += static_cast<char>(p[i++]);
      continue;
    }
    const int len = utf8_sequence_at(p + i, n - i);
    if (len > 0) {
      out.append(reinterpret_cast<const char*>(p + i), static_cast<std::size_t>(len));
      i += static_cast<std::size_t>(len);
      continue;
    }
    for (int k = 0; k < -len; ++k, ++i)
      append_code_point(out, p[i] < 0xA0 ? CP1252_HIGH[p[i] - 0x80] : char32_t{p[i]});
  }
}

}  // namespace quorle::engine

#include "engine/legacy_bytes.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/find_bytes.hpp"
#include "engine/utf8.hpp"
#include "engine/utf8_check.hpp"

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

constexpr std::uint64_t ONES = 0x0101010101010101ull;
constexpr std::uint64_t HIGH = 0x8080808080808080ull;

// Whether any byte of `w` is `c` (exact: the borrow only runs past a byte that matched).
bool has_byte(std::uint64_t w, std::uint8_t c) {
  const std::uint64_t t = w ^ (ONES * c);
  return ((t - ONES) & ~t & HIGH) != 0;
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

namespace {

std::uint64_t leads_in(const std::uint8_t* p, std::size_t n) {
  std::uint64_t leads = 0;
  for (std::size_t i = 0; i < n; ++i)
    leads += p[i] >= 0xC0;
  return leads;
}

// The first and one past the last line end (CR or LF) of [p, p + n); {n, 0} when none.
std::pair<std::size_t, std::size_t> line_ends(const std::uint8_t* p, std::size_t n) {
  std::size_t first = n, last = 0;
  for (const int end : {'\n', '\r'}) {
    if (const void* f = std::memchr(p, end, n)) {
      first = std::min(first, static_cast<std::size_t>(static_cast<const std::uint8_t*>(f) - p));
      last = std::max(last, static_cast<std::size_t>(
                                static_cast<const std::uint8_t*>(memrchr(p, end, n)) - p) + 1);
    }
  }
  return {first, last};
}

}  // namespace

std::size_t Utf8EvidenceScan::scan(const std::uint8_t* p, std::size_t n, std::size_t at,
                                   std::size_t stop, bool final) {
  static const CheckUtf8 check = best_utf8_checker();
  while (at < stop) {
    std::size_t end = std::min(stop, at + CHECKED_BLOCK);
    // A block ends where a character starts, so that a well-formed one checks as a whole.
    for (int k = 0; k < 3 && end < n && end - 1 > at && (p[end] & 0xC0) == 0x80; ++k)
      --end;
    if (end - at >= 32) {
      const Utf8Check c = check(p + at, end - at);
      if (c.valid) {
        count_valid(p + at, end - at, c.leads);
        at = end;
        continue;
      }
    }
    const std::size_t next = scan_bytes(p, n, at, end, final);
    if (next < end) return next;  // a character cut by the end of a sample
    at = next;
  }
  return at;
}

void Utf8EvidenceScan::count_valid(const std::uint8_t* p, std::size_t n, std::uint64_t leads) {
  const auto [first, last] = line_ends(p, n);
  if (first == n) {
    line_sequences_ += leads;
    return;
  }
  const std::uint64_t head = leads_in(p, first), tail = leads_in(p + last, n - last);
  line_sequences_ += head;
  end_line();
  counts_.clean += leads - head - tail;  // the lines that begin and end in the block
  line_sequences_ = tail;
}

std::size_t Utf8EvidenceScan::scan_bytes(const std::uint8_t* p, std::size_t n, std::size_t at,
                                         std::size_t stop, bool final) {
  while (at < stop) {
    if (line_sequences_ == 0 && !line_invalid_) {
      // Nothing on the open line to count: its end changes nothing, so ASCII text of any number
      // of lines is passed over at once, up to the next non-ASCII byte.
      at += find_bytes::first_high(reinterpret_cast<const char*>(p + at), stop - at);
      if (at >= stop) break;
    }
    // Eight bytes at a time while they hold neither a line end nor a non-ASCII byte.
    for (std::uint64_t w; at + 8 <= stop; at += 8) {
      std::memcpy(&w, p + at, 8);
      if ((w & HIGH) != 0 || has_byte(w, '\n') || has_byte(w, '\r')) break;
    }
    if (at >= stop) break;
    const std::uint8_t b = p[at];
    if (b < 0x80) {
      if (b == '\n' || b == '\r') end_line();
      ++at;
      continue;
    }
    if (b >= 0xC2 && b <= 0xDF && at + 1 < n && (p[at + 1] & 0xC0) == 0x80) {
      ++line_sequences_;  // the common two-byte character, without the general check
      at += 2;
      continue;
    }
    const int len = utf8_sequence_at(p + at, n - at);
    if (len > 0) {
      ++line_sequences_;
      at += static_cast<std::size_t>(len);
      continue;
    }
    const auto bad = static_cast<std::size_t>(-len);
    if (!final && at + bad == n && b >= 0xC2 && b <= 0xF4)
      return at;  // a character cut by the end of a sample, not a wrong one
    if (counts_.invalid == 0) counts_.first_invalid = at;
    counts_.invalid += bad;
    line_invalid_ = true;
    at += bad;
  }
  return at;
}

Utf8Evidence Utf8EvidenceScan::finish() {
  end_line();
  return counts_;
}

void Utf8EvidenceScan::end_line() {
  if (line_sequences_ == 0 && !line_invalid_) return;
  (line_invalid_ ? counts_.mixed : counts_.clean) += line_sequences_;
  line_sequences_ = 0;
  line_invalid_ = false;
}

}  // namespace quorle::engine

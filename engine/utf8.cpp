#include "engine/utf8.hpp"

#include <cstring>

#include "engine/utf8_check.hpp"

namespace quorle::engine {
namespace {

constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ull;

std::uint64_t load8(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Length of the leading run of ASCII bytes, eight at a time.
std::size_t ascii_prefix(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i + 8 <= n && (load8(p + i) & HIGH_BITS) == 0)
    i += 8;
  while (i < n && p[i] < 0x80)
    ++i;
  return i;
}

// The three-byte White_Space characters, as their UTF-8 forms.
constexpr std::uint8_t WS3[][3] = {
    {0xE1, 0x9A, 0x80},                                          // U+1680
    {0xE2, 0x80, 0x80}, {0xE2, 0x80, 0x81}, {0xE2, 0x80, 0x82},  // U+2000..
    {0xE2, 0x80, 0x83}, {0xE2, 0x80, 0x84}, {0xE2, 0x80, 0x85}, {0xE2, 0x80, 0x86},
    {0xE2, 0x80, 0x87}, {0xE2, 0x80, 0x88}, {0xE2, 0x80, 0x89}, {0xE2, 0x80, 0x8A},  // ..U+200A
    {0xE2, 0x80, 0xA8}, {0xE2, 0x80, 0xA9},  // U+2028, U+2029
    {0xE2, 0x80, 0xAF}, {0xE2, 0x81, 0x9F},  // U+202F, U+205F
    {0xE3, 0x80, 0x80},                      // U+3000
};

bool ascii_white_space(std::uint8_t b) {
  return (b >= 0x09 && b <= 0x0D) || b == 0x20;
}

// Whether `len` bytes are the beginning (or all) of a White_Space character of two or more bytes.
bool white_space_prefix(const std::uint8_t* b, int len) {
  if (b[0] == 0xC2) return len == 1 || b[1] == 0x85 || b[1] == 0xA0;
  for (const auto& ws : WS3) {
    if (std::memcmp(ws, b, static_cast<std::size_t>(len)) == 0) return true;
  }
  return false;
}

int sequence_length(std::uint8_t lead) {
  return lead == 0xC2 ? 2 : 3;
}

}  // namespace

bool is_ascii(const std::uint8_t* p, std::size_t n) {
  return ascii_prefix(p, n) == n;
}

int utf8_sequence_at(const std::uint8_t* p, std::size_t n) {
  const std::uint8_t b0 = p[0];
  if (b0 < 0x80) return 1;
  int need;
  std::uint8_t lo = 0x80, hi = 0xBF;  // the range allowed for the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 == 0xE0) {
    need = 2;
    lo = 0xA0;
  } else if ((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF) {
    need = 2;
  } else if (b0 == 0xED) {
    need = 2;
    hi = 0x9F;
  } else if (b0 == 0xF0) {
    need = 3;
    lo = 0x90;
  } else if (b0 >= 0xF1 && b0 <= 0xF3) {
    need = 3;
  } else if (b0 == 0xF4) {
    need = 3;
    hi = 0x8F;
  } else {
    return -1;  // 80..C1 and F5..FF never start a sequence
  }
  for (int i = 1; i <= need; ++i) {
    if (static_cast<std::size_t>(i) >= n) return -i;
    const std::uint8_t b = p[i];
    if (b < lo || b > hi) return -i;
    lo = 0x80;
    hi = 0xBF;
  }
  return need + 1;
}

bool is_valid_utf8(const std::uint8_t* p, std::size_t n) {
  // Below a few vectors' worth the call through a pointer costs more than it saves.
  if (n >= 48) return best_utf8_checker()(p, n).valid;
  return is_valid_utf8_bytewise(p, n);
}

bool is_valid_utf8_bytewise(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (true) {
    i += ascii_prefix(p + i, n - i);
    if (i == n) return true;
    const int len = utf8_sequence_at(p + i, n - i);
    if (len < 0) return false;
    i += static_cast<std::size_t>(len);
  }
}

void append_lossy_utf8(std::string& out, const std::uint8_t* p, std::size_t n) {
  out.reserve(out.size() + n + n / 2);
  std::size_t i = 0;
  while (i < n) {
    const std::size_t run = ascii_prefix(p + i, n - i);
    out.append(reinterpret_cast<const char*>(p + i), run);
    i += run;
    if (i == n) break;
    const int len = utf8_sequence_at(p + i, n - i);
    if (len > 0) {
      out.append(reinterpret_cast<const char*>(p + i), static_cast<std::size_t>(len));
      i += static_cast<std::size_t>(len);
    } else {
      out.append(REPLACEMENT_CHARACTER);
      i += static_cast<std::size_t>(-len);
    }
  }
}

bool is_white_space_only(std::string_view text) {
  WhiteSpaceTracker tracker;
  tracker.feed(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  return tracker.white_space_only();
}

void WhiteSpaceTracker::feed(const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n && !failed_; ++i) {
    const std::uint8_t b = p[i];
    if (pending_ == 0) {
      if (b < 0x80) {
        failed_ = !ascii_white_space(b);
      } else if (b == 0xC2 || b == 0xE1 || b == 0xE2 || b == 0xE3) {
        lead_[0] = b;
        pending_ = 1;
      } else {
        failed_ = true;
      }
      continue;
    }
    lead_[pending_] = b;
    const int have = pending_ + 1;
    if (!white_space_prefix(lead_, have)) {
      failed_ = true;
    } else if (have == sequence_length(lead_[0])) {
      pending_ = 0;
    } else {
      pending_ = static_cast<std::uint8_t>(have);
    }
  }
}

}  // namespace quorle::engine

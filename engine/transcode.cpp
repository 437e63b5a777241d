#include "engine/transcode.hpp"

#include <bit>
#include <cstring>

namespace quorle::engine {
namespace {

constexpr std::uint64_t ONES = 0x0101010101010101ULL;
constexpr std::uint64_t HIGH = 0x8080808080808080ULL;
constexpr std::uint8_t LF = 1, CR = 2, UNDEFINED = 4;

// Eight bytes with the first one in the low bits, whatever the machine's order.
std::uint64_t load(const std::uint8_t* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

// The high bit of each byte of `w` that equals `c`; exact, no borrow runs into the next byte.
std::uint64_t equal_bytes(std::uint64_t w, std::uint8_t c) {
  const std::uint64_t t = w ^ (ONES * c);
  return ~(((t & ~HIGH) + ~HIGH) | t) & HIGH;
}

}  // namespace

std::optional<SingleByteTable> SingleByteTable::from_packed(std::string_view packed) {
  if (packed.size() != 4 * 256) return std::nullopt;
  SingleByteTable table;
  for (std::size_t b = 0; b < 256; ++b) {
    const auto* entry = reinterpret_cast<const std::uint8_t*>(packed.data()) + 4 * b;
    if (entry[0] > 3) return std::nullopt;
    table.size[b] = entry[0];
    std::memcpy(table.utf8[b].data(), entry + 1, entry[0]);
  }
  return table;
}

SingleByteTranscoder::SingleByteTranscoder(const SingleByteTable& table) {
  ascii_as_is_ = true;
  breaks_ascii_ = true;
  for (std::size_t b = 0; b < 256; ++b) {
    Entry& e = entries_[b];
    if (table.size[b] == 0) {
      e = {{0xEF, 0xBF, 0xBD}, 3 | UNDEFINED};  // U+FFFD
      kind_[b] = UNDEFINED;
    } else {
      e = {table.utf8[b], table.size[b]};
      if (e.meta == 1 && e.utf8[0] == '\n') kind_[b] = LF;
      if (e.meta == 1 && e.utf8[0] == '\r') kind_[b] = CR;
    }
    if (b < 0x80 && (e.meta != 1 || e.utf8[0] != b)) ascii_as_is_ = false;
    if (((kind_[b] & LF) != 0) != (b == '\n') || ((kind_[b] & CR) != 0) != (b == '\r')) {
      breaks_ascii_ = false;
    }
  }
}

inline std::uint8_t* SingleByteTranscoder::put(const std::uint8_t* at, std::uint8_t* out) {
  const Entry e = entries_[*at];
  std::memcpy(out, &e, 4);
  if (e.meta & UNDEFINED) [[unlikely]]
    note_replaced(at);
  return out + (e.meta & 3);
}

std::size_t SingleByteTranscoder::convert(const std::uint8_t* in, std::size_t size,
                                          std::uint8_t* out) {
  if (counted_ == nullptr) counted_ = in;
  std::uint8_t* o = out;
  const std::uint8_t* p = in;
  const std::uint8_t* const end = in + size;
  if (ascii_as_is_) {
    // Eight bytes are copied at once; the output moves on past the ASCII ones before the first
    // high byte, which goes through the table. Runs of ASCII cost one step per word.
    while (end - p >= 8) {
      const std::uint64_t high = load(p) & HIGH;
      std::memcpy(o, p, 8);
      if (high == 0) {
        o += 8;
        p += 8;
        continue;
      }
      const auto ascii = static_cast<std::size_t>(std::countr_zero(high) >> 3);
      o = put(p + ascii, o + ascii);
      p += ascii + 1;
    }
  }
  for (; p < end; ++p)
    o = put(p, o);
  return static_cast<std::size_t>(o - out);
}

void SingleByteTranscoder::note_replaced(const std::uint8_t* at) {
  ++replaced_;
  if (line_count_ == MAX_LINES) return;
  count_breaks(at);
  const std::uint64_t line = breaks_ + 1;
  if (line_count_ == 0 || lines_[line_count_ - 1] != line) lines_[line_count_++] = line;
}

void SingleByteTranscoder::count_breaks(const std::uint8_t* to) {
  const std::uint8_t* p = counted_;
  if (breaks_ascii_) {
    // Per word, the bytes that end a line: CR, and LF unless a CR is just before it. They are
    // summed in eight byte-wide lanes, folded every 255 words before a lane can overflow.
    std::uint64_t carry = after_cr_ ? 1 : 0;
    while (to - p >= 8) {
      std::uint64_t lanes = 0;
      for (int k = 0; k < 255 && to - p >= 8; ++k, p += 8) {
        const std::uint64_t w = load(p);
        const std::uint64_t lf = equal_bytes(w, '\n');
        const std::uint64_t cr = equal_bytes(w, '\r');
        lanes += (cr | (lf & ~(cr << 8 | carry << 7))) >> 7;
        carry = cr >> 63;
      }
      const std::uint64_t pairs =
          (lanes & 0x00FF00FF00FF00FFULL) + (lanes >> 8 & 0x00FF00FF00FF00FFULL);
      breaks_ += (pairs * 0x0001000100010001ULL) >> 48;
    }
    after_cr_ = carry != 0;
  }
  for (; p < to; ++p) {
    const std::uint8_t k = kind_[*p];
    breaks_ += (k & CR) != 0 || ((k & LF) != 0 && !after_cr_);
    after_cr_ = (k & CR) != 0;
  }
  counted_ = to;
}

}  // namespace quorle::engine

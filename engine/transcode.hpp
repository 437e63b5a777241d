// Single-byte code pages (Windows-1252, Latin-1, KOI8-R, ...) to UTF-8. Each input byte is one
// character, so a table of 256 encodings is the whole codec; the caller builds it from whatever
// knows the code page. Undefined bytes become U+FFFD and are counted with their first lines.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quorle::engine {

/// What each byte becomes: its UTF-8 encoding (1 to 3 bytes), or nothing for a byte the code
/// page leaves undefined (written as U+FFFD and counted).
struct SingleByteTable {
  std::array<std::array<std::uint8_t, 3>, 256> utf8{};
  std::array<std::uint8_t, 256> size{};  ///< 0: undefined

  /// The table from 256 packed entries of 4 bytes each: the length (0 to 3), then the bytes.
  /// Nothing when the text is not 1024 bytes or a length is above 3.
  static std::optional<SingleByteTable> from_packed(std::string_view packed);
};

/// Converts a byte stream that arrives in pieces; state (line breaks, counts) runs across them.
/// The pieces are consecutive parts of one buffer that stays readable until the end: lines are
/// counted back over it only when an undefined byte needs its line number.
class SingleByteTranscoder {
 public:
  static constexpr std::size_t MAX_LINES = 10;

  explicit SingleByteTranscoder(const SingleByteTable& table);

  /// Room `convert` needs for `size` input bytes: three per byte, and one more because each
  /// character is stored as four bytes before the output moves on by its length.
  static constexpr std::size_t max_output(std::size_t size) { return 3 * size + 1; }

  /// Converts the next piece into `out` (at least max_output(size) bytes); returns the bytes
  /// written.
  std::size_t convert(const std::uint8_t* in, std::size_t size, std::uint8_t* out);

  /// Undefined bytes seen so far.
  std::uint64_t replaced() const { return replaced_; }
  /// 1-based lines (LF, CRLF or a lone CR end one) of the first undefined bytes, each line once.
  std::span<const std::uint64_t> first_lines() const { return {lines_.data(), line_count_}; }

 private:
  // Four bytes stored at once: the UTF-8, then its length with the undefined flag (or slack).
  struct Entry {
    std::array<std::uint8_t, 3> utf8;
    std::uint8_t meta;  // length | UNDEFINED
  };

  std::uint8_t* put(const std::uint8_t* at, std::uint8_t* out);
  void note_replaced(const std::uint8_t* at);
  void count_breaks(const std::uint8_t* to);

  std::array<Entry, 256> entries_{};
  std::array<std::uint8_t, 256> kind_{};  // 1 LF, 2 CR, 4 undefined
  bool ascii_as_is_ = false;   // bytes below 0x80 are themselves: runs of them are copied whole
  bool breaks_ascii_ = false;  // LF and CR come only from 0x0A and 0x0D: counted a word at a time

  std::uint64_t replaced_ = 0;
  std::uint64_t breaks_ = 0;               // line ends before `counted_`
  bool after_cr_ = false;                  // the byte before `counted_` is a CR
  const std::uint8_t* counted_ = nullptr;  // up to here the line ends are counted
  std::array<std::uint64_t, MAX_LINES> lines_{};
  std::size_t line_count_ = 0;
};

}  // namespace quorle::engine

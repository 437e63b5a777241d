// The byte format of a clean CSV line per good row: RFC-4180 quoting, quotes doubled, LF line
// ends. The quarantine formats are in quarantine_file.hpp.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/records.hpp"

namespace quorle::rescue {

/// The bytes that stand for one field in the clean output.
std::string encode_field(std::string_view text, std::uint8_t delimiter, std::uint8_t quote);
/// One clean output line, line feed included.
std::string format_output_line(const engine::Row& row, std::uint8_t delimiter, std::uint8_t quote);
/// Appends `text` with every occurrence of `quote` doubled.
void append_doubled(std::string& out, std::string_view text, std::string_view quote);

/// The formats as appends to a reused buffer, with the delimiter and quote texts worked out once.
class LineFormat {
 public:
  LineFormat(std::uint8_t delimiter, std::uint8_t quote);

  std::string_view delimiter_text() const { return delimiter_; }
  void append_field(std::string& out, std::string_view text) const;
  /// The field in quotes, whatever it holds.
  void append_quoted(std::string& out, std::string_view text) const;
  /// The fields joined by the delimiter, each encoded; no line feed. Fields flagged in `plain`
  /// are known to need no quoting and go in as they are.
  void append_fields(std::string& out, std::span<const std::string_view> fields,
                     std::span<const std::uint8_t> plain = {}) const;
  /// Fields, then `padding` empty fields, then LF.
  void append_output_line(std::string& out, std::span<const std::string_view> fields,
                          std::uint64_t padding) const;

 private:
  bool needs_quoting(std::string_view text) const;

  std::string delimiter_;
  std::string quote_;
  bool single_bytes_;  // delimiter and quote below 0x80: the quoting test is a byte search
  std::array<std::uint8_t, 256> forces_quoting_{};  // per byte: the quote, delimiter, CR or LF
};

}  // namespace quorle::rescue

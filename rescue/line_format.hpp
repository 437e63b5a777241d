// The byte formats of the two output files: a clean CSV line per good row (RFC-4180 quoting,
// quotes doubled, LF line ends) and a quarantine line per set-aside record.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/records.hpp"

namespace quorle::rescue {

/// "line,reason,raw_content" and a line feed: the first line of every quarantine file.
inline constexpr std::string_view QUARANTINE_HEADER = "line,reason,raw_content\n";

/// The bytes that stand for one field in the clean output.
std::string encode_field(std::string_view text, std::uint8_t delimiter, std::uint8_t quote);
/// One clean output line, line feed included.
std::string format_output_line(const engine::Row& row, std::uint8_t delimiter, std::uint8_t quote);
/// One quarantine line: line number, quoted reason, quoted raw content, line feed.
std::string format_quarantine_line(const engine::QuarantineEntry& entry, std::uint8_t delimiter);

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
  void append_quarantine_line(std::string& out, std::uint64_t line, std::string_view reason,
                              std::span<const std::string_view> fields) const;

 private:
  bool needs_quoting(std::string_view text) const;

  std::string delimiter_;
  std::string quote_;
  bool single_bytes_;  // delimiter and quote below 0x80: the quoting test is a byte search
  std::array<std::uint8_t, 256> forces_quoting_{};  // per byte: the quote, delimiter, CR or LF
};

}  // namespace quorle::rescue

// The two quarantine formats, one per layer, and their line writers. The backend's gives the line
// on which a record ends, the reason and its fields joined by the delimiter; the package's gives
// the record's first and last lines, the reason and its exact source text. The reason texts
// themselves are the engine's (engine::reason_text), whose outcome lists them too.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/records.hpp"
#include "engine/report_pass.hpp"
#include "rescue/rescue_error.hpp"

namespace quorle::rescue {

class BufferedWriter;

/// The backend's: "line,reason,raw_content" and a line feed.
inline constexpr std::string_view QUARANTINE_HEADER = "line,reason,raw_content\n";
/// The package's: "first_line,last_line,reason,raw" and a line feed.
inline constexpr std::string_view RECORD_QUARANTINE_HEADER = "first_line,last_line,reason,raw\n";

/// One line of the backend's quarantine: line number, quoted reason, and the fields joined by the
/// delimiter text, neither quoted nor escaped one by one, quoted as a whole with double quotes.
void append_quarantine_line(std::string& out, std::uint64_t line, std::string_view reason,
                            std::span<const std::string_view> fields, std::string_view delimiter);
/// The same for one entry, with the delimiter byte's UTF-8 text.
std::string format_quarantine_line(const engine::QuarantineEntry& entry, std::uint8_t delimiter);

/// The backend's quarantine file, header first, through the backend's buffer.
std::optional<RescueError> write_line_quarantine(BufferedWriter& out,
                                                 const engine::BufferOutcome& outcome);

/// The package's quarantine file on an open descriptor. Ill-formed UTF-8 in the source text is
/// decoded as the pass decoded it: U+FFFD, or Windows-1252 with `recode_cp1252`.
std::optional<RescueError> write_record_quarantine(int fd, const engine::ReportPassOutcome& outcome,
                                                   std::string_view input, bool recode_cp1252);

}  // namespace quorle::rescue

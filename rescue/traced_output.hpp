// Writing the outcome of the package's pass: the clean rows (RFC 4180, double quotes, LF) through
// large writes, and the quarantine file with each record's lines and exact source text.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/traced_pass.hpp"
#include "rescue/rescue_error.hpp"

namespace quorle::rescue {

/// "first_line,last_line,reason,raw" and a line feed.
inline constexpr std::string_view TRACED_QUARANTINE_HEADER = "first_line,last_line,reason,raw\n";

/// Writes the good rows to an open descriptor, with `output_delimiter` (an ASCII byte) between
/// fields. `progress` is called between pieces of at most its step in bytes of input; returning
/// false stops the writing, with nullopt returned.
std::optional<RescueError> write_traced_rows(int fd, const engine::TracedOutcome& outcome,
                                             std::string_view input, std::uint8_t output_delimiter,
                                             const engine::Progress& progress,
                                             std::uint64_t progress_step, bool& stopped);

/// Writes the quarantine file: the header, then one line per set-aside record.
/// Ill-formed UTF-8 in the source text is decoded as the pass decoded it: U+FFFD, or
/// Windows-1252 with `recode_cp1252`.
std::optional<RescueError> write_traced_quarantine(int fd, const engine::TracedOutcome& outcome,
                                                   std::string_view input, bool recode_cp1252);

}  // namespace quorle::rescue

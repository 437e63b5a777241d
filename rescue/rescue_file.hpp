// The file rescue driver: reads a damaged CSV file whole, runs the engine over it, writes the
// good rows as a clean CSV file and the set-aside records to a quarantine file, and returns the
// counters of the run, or the first I/O failure.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "engine/records.hpp"
#include "rescue/rescue_error.hpp"

namespace quorle::rescue {

struct RescueRequest {
  std::string input_path;
  std::string output_path;
  std::optional<std::string> quarantine_path;
  engine::RepairOptions options;
};

/// A delimiter equal to the quote byte would split every quoted field at its quotes.
inline constexpr const char* DELIMITER_IS_QUOTE = "delimiter and quote_char must differ";

/// Fixes a delimiter left to the sniffer in `options` before anything is written, and refuses a
/// sniffed one equal to the quote byte (the sniffer's trial passes always read '"' as the quote).
/// An empty input is not sniffed: it holds nothing to split.
std::optional<RescueError> settle_delimiter(std::string_view data, engine::RepairOptions& options);

/// Runs the rescue and returns its counters. Memory exhaustion is thrown as std::bad_alloc, after
/// the files opened so far have been closed as on any failure.
std::variant<engine::RunCounters, RescueError> rescue_file(const RescueRequest& request);

}  // namespace quorle::rescue

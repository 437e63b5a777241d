// The file rescue driver: reads a damaged CSV file whole, runs the engine over it, writes the
// good rows as a clean CSV file and the set-aside records to a quarantine file, and returns the
// counters of the run, or the first I/O failure.
#pragma once

#include <cstdint>
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

/// The counters of a successful run.
struct RescueTotals {
  std::string detected_delimiter;  ///< the applied delimiter as one character of UTF-8
  std::uint64_t total_rows = 0;
  std::uint64_t quorled_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
  std::uint64_t inferred_columns = 0;
};

/// The repair policy from the option values as the caller gave them: a delimiter of None or ""
/// is sniffed, a quote of "" is the double quote, otherwise the first byte of each counts.
engine::RepairOptions repair_options(std::optional<std::string_view> delimiter,
                                     std::string_view quote_char, bool fill_ragged_rows,
                                     bool merge_overflow,
                                     std::optional<std::uint64_t> expected_columns,
                                     bool repair_quotes);

/// Runs the rescue. Memory exhaustion is thrown as std::bad_alloc, after the files opened so far
/// have been closed as on any failure.
std::variant<RescueTotals, RescueError> rescue_file(const RescueRequest& request);

}  // namespace quorle::rescue

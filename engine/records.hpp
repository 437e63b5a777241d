// The records that the engine shares with its callers: the repair policy, rows, quarantine
// entries and the outcome of one pass over a buffer.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "engine/row_store.hpp"

namespace quorle::engine {

/// One record as text: its fields, each well-formed UTF-8.
using Row = std::vector<std::string>;

/// The repair policy of one run.
struct RepairOptions {
  std::optional<std::uint8_t> delimiter;  ///< the field separator; absent: sniffed
  std::uint8_t quote_char = '"';          ///< the quote byte
  bool fill_ragged_rows = true;           ///< pad short records instead of quarantining them
  bool merge_overflow = true;             ///< merge surplus fields into the last column
  std::optional<std::uint64_t> expected_columns;  ///< absent: inferred; 0: no count enforced
  bool repair_quotes = true;                      ///< judge lone quotes inside quoted fields
};

enum class QuarantineReason : std::uint8_t { TooFewColumns, ExtraColumns };

/// "Row has too few columns (expected 3)" and its sibling.
std::string reason_text(QuarantineReason reason, std::uint64_t expected_columns);

/// A record set aside, with its fields as the tokenizer returned them.
struct QuarantineEntry {
  Row fields;
  std::string reason;
  std::uint64_t line = 0;  ///< the line on which the record ends
};

/// Why and where a stored quarantined record was set aside.
struct QuarantineMark {
  std::uint64_t line;
  QuarantineReason reason;
};

/// The counters of one run, as the engine counts them and the Python summary shows them.
struct RunCounters {
  std::uint64_t total_rows = 0;        ///< every record
  std::uint64_t quorled_rows = 0;      ///< the good rows, repaired ones included
  std::uint64_t repaired_rows = 0;     ///< good rows padded or merged
  std::uint64_t quarantined_rows = 0;  ///< records set aside
  std::uint64_t inferred_columns = 0;  ///< the column count applied; 0: none enforced
  std::uint8_t delimiter = ',';        ///< the delimiter byte applied, given or sniffed
};

/// The result of one pass over a buffer: its counters and its rows. Rows refer to the input bytes,
/// which must outlive it.
struct BufferOutcome : RunCounters {
  RowStore rows;                                 ///< the good rows, repaired ones included
  RowStore quarantine_rows;                      ///< the quarantined records, as tokenized
  std::vector<QuarantineMark> quarantine_marks;  ///< one per quarantined record

  /// The good rows as text, padding included.
  std::vector<Row> good_rows() const;
  /// The quarantine entries as text, with their reasons.
  std::vector<QuarantineEntry> quarantine() const;
  /// Bytes held beyond the input.
  std::size_t memory_bytes() const;
};

/// Padding would need more memory than the machine has: refused before anything is allocated.
class ColumnCountTooLarge : public std::bad_alloc {
 public:
  explicit ColumnCountTooLarge(std::uint64_t columns);
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace quorle::engine

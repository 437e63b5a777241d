#include "engine/records.hpp"

namespace quorle::engine {

std::string reason_text(QuarantineReason reason, std::uint64_t expected_columns) {
  const char* head = reason == QuarantineReason::TooFewColumns ? "Row has too few columns"
                                                               : "Row has extra columns";
  return std::string(head) + " (expected " + std::to_string(expected_columns) + ")";
}

namespace {

Row as_row(const StoredRow& stored) {
  Row row(stored.fields.begin(), stored.fields.end());
  row.resize(row.size() + stored.padding);
  return row;
}

}  // namespace

std::vector<Row> BufferOutcome::good_rows() const {
  std::vector<Row> result;
  StoredRow stored;
  for (auto cursor = rows.cursor(); cursor.next(stored, true);)
    result.push_back(as_row(stored));
  return result;
}

std::vector<QuarantineEntry> BufferOutcome::quarantine() const {
  std::vector<QuarantineEntry> result;
  StoredRow stored;
  auto cursor = quarantine_rows.cursor();
  for (const QuarantineMark& mark : quarantine_marks) {
    cursor.next(stored, true);
    result.push_back({as_row(stored), reason_text(mark.reason, inferred_columns), mark.line});
  }
  return result;
}

std::size_t BufferOutcome::memory_bytes() const {
  return rows.memory_bytes() + quarantine_rows.memory_bytes() +
         quarantine_marks.capacity() * sizeof(QuarantineMark);
}

ColumnCountTooLarge::ColumnCountTooLarge(std::uint64_t columns)
    : message_("cannot pad rows to " + std::to_string(columns) +
               " columns: more memory than this machine has") {}

}  // namespace quorle::engine

#include "rescue/quarantine_file.hpp"

#include <vector>

#include "engine/legacy_bytes.hpp"
#include "engine/pipeline.hpp"
#include "engine/utf8.hpp"
#include "rescue/buffered_writer.hpp"
#include "rescue/line_format.hpp"

namespace quorle::rescue {
namespace {

// The reason texts of one run, worked out once for all its records.
struct Reasons {
  explicit Reasons(std::uint64_t columns)
      : too_few(engine::reason_text(engine::QuarantineReason::TooFewColumns, columns)),
        extra(engine::reason_text(engine::QuarantineReason::ExtraColumns, columns)) {}
  const std::string& operator[](engine::QuarantineReason reason) const {
    return reason == engine::QuarantineReason::TooFewColumns ? too_few : extra;
  }
  std::string too_few, extra;
};

}  // namespace

void append_quarantine_line(std::string& out, std::uint64_t line, std::string_view reason,
                            std::span<const std::string_view> fields, std::string_view delimiter) {
  out.append(std::to_string(line));
  out.append(",\"");
  append_doubled(out, reason, "\"");
  out.append("\",\"");
  // The raw content is quoted with double quotes whatever the run's quote.
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i) append_doubled(out, delimiter, "\"");
    append_doubled(out, fields[i], "\"");
  }
  out.append("\"\n");
}

std::string format_quarantine_line(const engine::QuarantineEntry& entry, std::uint8_t delimiter) {
  const std::vector<std::string_view> fields(entry.fields.begin(), entry.fields.end());
  std::string out;
  append_quarantine_line(out, entry.line, entry.reason, fields,
                         engine::code_point_utf8(delimiter));
  return out;
}

std::optional<RescueError> write_line_quarantine(BufferedWriter& out,
                                                 const engine::BufferOutcome& outcome) {
  if (auto error = out.append(QUARANTINE_HEADER)) return error;
  const std::string delimiter = engine::code_point_utf8(outcome.delimiter);
  const Reasons reasons(outcome.inferred_columns);
  std::string line;
  engine::StoredRow row;
  auto cursor = outcome.quarantine_rows.cursor();
  for (const engine::QuarantineMark& mark : outcome.quarantine_marks) {
    cursor.next(row, true);
    line.clear();
    append_quarantine_line(line, mark.line, reasons[mark.reason], row.fields, delimiter);
    if (auto error = out.append(line)) return error;
  }
  return std::nullopt;
}

std::optional<RescueError> write_record_quarantine(int fd, const engine::ReportPassOutcome& outcome,
                                                   std::string_view input, bool recode_cp1252) {
  BufferedWriter out(fd, PACKAGE_BUFFER);
  if (auto error = out.append(RECORD_QUARANTINE_HEADER)) return error;
  const LineFormat format(',', '"');
  const Reasons reasons(outcome.columns);
  std::string line, raw;
  for (const engine::QuarantinedRecord& q : outcome.quarantine) {
    std::string_view text = input.substr(q.begin, q.end - q.begin);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    if (!engine::is_valid_utf8(bytes, text.size())) {
      raw.clear();
      if (recode_cp1252) {
        engine::append_utf8_or_cp1252(raw, bytes, text.size());
      } else {
        engine::append_lossy_utf8(raw, bytes, text.size());
      }
      text = raw;
    }
    line = std::to_string(q.first_line);
    line += ',';
    line += std::to_string(q.last_line);
    line += ',';
    format.append_field(line, reasons[q.reason]);
    line += ',';
    format.append_field(line, text);
    line += '\n';
    if (auto error = out.append(line)) return error;
  }
  return out.flush();
}

}  // namespace quorle::rescue

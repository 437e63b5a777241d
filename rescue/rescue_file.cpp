#include "rescue/rescue_file.hpp"

#include "engine/pipeline.hpp"
#include "engine/sniffer.hpp"
#include "rescue/input_file.hpp"
#include "rescue/line_format.hpp"
#include "rescue/verbatim_run.hpp"
#include "rescue/output_target.hpp"

namespace quorle::rescue {
namespace {

using engine::BufferOutcome;
using engine::StoredRow;

// Writes the good rows. Consecutive verbatim rows that stood on lines of their own, ended by a
// single LF, are one run of input bytes in the output too, so the run goes out in one piece.
std::optional<RescueError> write_rows(BufferedWriter& out, const BufferOutcome& outcome,
                                      std::string_view input, std::uint8_t quote) {
  const LineFormat format(outcome.delimiter, quote);
  std::string line;
  VerbatimRun run;
  auto flush_run = [&]() -> std::optional<RescueError> {
    if (!run.open) return std::nullopt;
    run.open = false;
    if (auto error = out.append(input.substr(run.begin, run.end - run.begin))) return error;
    return out.append("\n");
  };
  StoredRow row;
  for (auto cursor = outcome.rows.cursor(); cursor.next(row, false);) {
    if (row.verbatim && row.padding == 0) {
      if (run.extend(input, row.raw)) continue;
      if (auto error = flush_run()) return error;
      run.start(input, row.raw);
      continue;
    }
    if (auto error = flush_run()) return error;
    std::uint64_t padding = row.padding;
    if (row.verbatim) {
      if (auto error = out.append(row.raw)) return error;
    } else {
      line.clear();
      format.append_fields(line, row.fields, row.plain);
      if (padding == 0) {  // the usual case: the whole line in one piece
        line.push_back('\n');
        if (auto error = out.append(line)) return error;
        continue;
      }
      if (auto error = out.append(line)) return error;
      if (row.fields.empty()) --padding;  // the first field has no delimiter before it
    }
    if (auto error = out.append_repeated(format.delimiter_text(), padding)) return error;
    if (auto error = out.append("\n")) return error;
  }
  return flush_run();
}

std::optional<RescueError> write_quarantine(BufferedWriter& out, const BufferOutcome& outcome) {
  if (auto error = out.append(QUARANTINE_HEADER)) return error;
  const LineFormat format(outcome.delimiter, '"');
  const std::string too_few =
      engine::reason_text(engine::QuarantineReason::TooFewColumns, outcome.inferred_columns);
  const std::string extra =
      engine::reason_text(engine::QuarantineReason::ExtraColumns, outcome.inferred_columns);
  std::string line;
  StoredRow row;
  auto cursor = outcome.quarantine_rows.cursor();
  for (const engine::QuarantineMark& mark : outcome.quarantine_marks) {
    cursor.next(row, true);
    line.clear();
    format.append_quarantine_line(
        line, mark.line, mark.reason == engine::QuarantineReason::TooFewColumns ? too_few : extra,
        row.fields);
    if (auto error = out.append(line)) return error;
  }
  return std::nullopt;
}

template <class T>
RescueError* failed(std::variant<T, RescueError>& result) {
  return std::get_if<RescueError>(&result);
}

}  // namespace

std::optional<RescueError> settle_delimiter(std::string_view data, engine::RepairOptions& options) {
  if (options.delimiter || data.empty()) return std::nullopt;
  options.delimiter = engine::sniff_delimiter(data);
  if (*options.delimiter == options.quote_char) return options_error(DELIMITER_IS_QUOTE);
  return std::nullopt;
}

std::variant<engine::RunCounters, RescueError> rescue_file(const RescueRequest& request) {
  if (request.quarantine_path) {
    // The quarantine file is written in place: over the input it would destroy the data, over
    // the output it would truncate the clean rows just written.
    if (same_file(*request.quarantine_path, request.input_path)) {
      return plain_error("quarantine_path names the input file");
    }
    if (same_file(*request.quarantine_path, request.output_path)) {
      return plain_error("quarantine_path and output_path name the same file");
    }
  }

  // The file is only read during this call, so mapping it is enough.
  auto input = InputFile::read(request.input_path, InputFile::Access::Mapped);
  if (RescueError* error = failed(input)) return std::move(*error);
  const InputFile& in = std::get<InputFile>(input);
  engine::RepairOptions options = request.options;
  if (auto error = settle_delimiter(in.bytes(), options)) return std::move(*error);
  const BufferOutcome outcome = engine::process_buffer(in.bytes(), options);

  auto output = OutputTarget::create(request.output_path, in);
  if (RescueError* error = failed(output)) return std::move(*error);
  OutputTarget& out = std::get<OutputTarget>(output);
  if (auto error = write_rows(out.writer(), outcome, in.bytes(), options.quote_char)) {
    return std::move(*error);
  }
  if (auto error = out.writer().flush()) return std::move(*error);

  std::optional<OutputTarget> q;
  if (request.quarantine_path) {
    auto quarantine = OutputTarget::create(*request.quarantine_path, in);
    if (RescueError* error = failed(quarantine)) return std::move(*error);
    q.emplace(std::move(std::get<OutputTarget>(quarantine)));
    if (auto error = write_quarantine(q->writer(), outcome)) return std::move(*error);
    if (auto error = q->close()) return std::move(*error);
  }
  if (auto error = out.close()) return std::move(*error);
  if (q) {
    if (auto error = q->commit()) return std::move(*error);
  }
  if (auto error = out.commit()) return std::move(*error);

  return static_cast<const engine::RunCounters&>(outcome);
}

}  // namespace quorle::rescue

#include "rescue/rescue_file.hpp"

#include <atomic>

#include "engine/pipeline.hpp"
#include "engine/sniffer.hpp"
#include "rescue/clean_lines.hpp"
#include "rescue/input_file.hpp"
#include "rescue/output_target.hpp"
#include "rescue/quarantine_file.hpp"

namespace quorle::rescue {
namespace {

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
  const engine::BufferOutcome outcome = engine::process_buffer(in.bytes(), options);

  auto output = OutputTarget::create(request.output_path, in);
  if (RescueError* error = failed(output)) return std::move(*error);
  OutputTarget& out = std::get<OutputTarget>(output);
  const std::atomic<bool> never{false};
  if (auto error = CleanLines(out.writer(), in.bytes(), BACKEND_LINES).write(outcome.rows, never)) {
    return std::move(*error);
  }
  if (auto error = out.writer().flush()) return std::move(*error);

  std::optional<OutputTarget> q;
  if (request.quarantine_path) {
    auto quarantine = OutputTarget::create(*request.quarantine_path, in);
    if (RescueError* error = failed(quarantine)) return std::move(*error);
    q.emplace(std::move(std::get<OutputTarget>(quarantine)));
    if (auto error = write_line_quarantine(q->writer(), outcome)) return std::move(*error);
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

#include "rescue/report_output.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/find_bytes.hpp"
#include "engine/legacy_bytes.hpp"
#include "engine/utf8.hpp"
#include "engine/verbatim_fields.hpp"
#include "rescue/buffered_writer.hpp"
#include "rescue/line_format.hpp"
#include "rescue/verbatim_run.hpp"

namespace quorle::rescue {
namespace {

using engine::StoredRow;

// A piece of input that goes out in one go at most, between two looks at the stop flag.
constexpr std::size_t RUN_PIECE = std::size_t{64} << 20;
// Runs from this long on are copied inside the kernel when the input is a file: writing from the
// mapped input costs several times more system time.
constexpr std::size_t KERNEL_COPY = std::size_t{256} << 10;

// U+FEFF in UTF-8: at the start of a file, every reader takes it for a byte-order mark.
constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";
// A row whose first field is blank is looked at this far for a field that is not, before its
// first field is quoted anyway (quoting a blank field never changes how it reads).
constexpr std::size_t BLANK_LOOKAHEAD = 1024;

bool is_blank_text(std::string_view text) {
  return text.find_first_not_of(" \t") == std::string_view::npos;
}

// A verbatim row without a quote byte whose fields are all empty or spaces and tabs.
bool is_blank_raw(std::string_view raw, char delimiter) {
  for (const char c : raw) {
    if (c != ' ' && c != '\t' && c != delimiter) return false;
  }
  return true;
}

}  // namespace

namespace {

// Fields from this long on go out straight from where they lie, not through the line buffer.
constexpr std::size_t LONG_FIELD = std::size_t{64} << 10;
// The line buffer goes out once it holds this much, so a row of millions of fields needs no
// copy of itself.
constexpr std::size_t LINE_PIECE = std::size_t{64} << 10;

// Writes the fields of one row, each encoded as the clean output wants it: short ones through a
// line buffer, long ones straight to the output with their quotes doubled piece by piece.
class FieldLine {
 public:
  FieldLine(BufferedWriter& out, const LineFormat& format, std::string& line, std::uint8_t delimiter)
      : out_(out), format_(format), line_(line), delimiter_(static_cast<char>(delimiter)) {
    line_.clear();
  }

  /// `plain`: the text is known to need no quotes; `quoted`: it is quoted whatever it holds.
  void add(std::string_view text, bool plain, bool quoted = false) {
    if (error_) return;
    if (count_++ != 0) line_.push_back(delimiter_);
    if (text.size() >= LONG_FIELD) return add_long(text, plain && !quoted, quoted);
    if (quoted) {
      format_.append_quoted(line_, text);
    } else if (plain) {
      line_.append(text);
    } else {
      format_.append_field(line_, text);
    }
    if (line_.size() >= LINE_PIECE) flush_line();
  }

  /// Writes out what the line buffer holds (the caller may have ended it with a line feed).
  std::optional<RescueError> finish() {
    if (!error_) flush_line();
    return std::move(error_);
  }

 private:
  void flush_line() {
    error_ = out_.append(line_);
    line_.clear();
  }

  void add_long(std::string_view text, bool plain, bool quoted) {
    flush_line();
    if (error_) return;
    if (plain || (!quoted && !engine::find_bytes::contains_any(text.data(), text.size(), std::uint8_t{'"'},
                                                    static_cast<std::uint8_t>(delimiter_),
                                                    std::uint8_t{'\n'}, std::uint8_t{'\r'}))) {
      error_ = out_.append(text);
      return;
    }
    if ((error_ = out_.append("\""))) return;
    for (std::size_t from = 0;;) {
      const void* hit = std::memchr(text.data() + from, '"', text.size() - from);
      if (hit == nullptr) {
        if ((error_ = out_.append(text.substr(from)))) return;
        break;
      }
      const auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
      if ((error_ = out_.append(text.substr(from, at + 1 - from)))) return;
      if ((error_ = out_.append("\""))) return;  // the quote doubled
      from = at + 1;
    }
    error_ = out_.append("\"");
  }

  BufferedWriter& out_;
  const LineFormat& format_;
  std::string& line_;
  char delimiter_;
  std::uint64_t count_ = 0;
  std::optional<RescueError> error_;
};

}  // namespace

CleanRowWriter::CleanRowWriter(int fd, std::string_view input, std::uint8_t output_delimiter,
                                 InputSource source)
    : out_(std::make_unique<BufferedWriter>(fd, PACKAGE_BUFFER)),
      input_(input),
      source_(source),
      delimiter_(output_delimiter) {}

CleanRowWriter::~CleanRowWriter() = default;

std::optional<RescueError> CleanRowWriter::finish() {
  return out_->flush();
}

std::optional<RescueError> CleanRowWriter::write(const engine::RowStore& rows,
                                                  const std::atomic<bool>& stop) {
  BufferedWriter& out = *out_;
  const std::string_view input = input_;
  // A verbatim row is the clean form of its fields with the input's delimiter and quote; it can
  // be copied only when those are the output's.
  const bool copy_verbatim =
      rows.delimiter() == static_cast<char>(delimiter_) && rows.quote() == '"';
  const LineFormat format(delimiter_, '"');
  std::string& line = line_;
  // Consecutive verbatim rows that stood on lines of their own, ended by a single LF, are one run
  // of input bytes in the output too; a long run goes out in pieces, between looks at `stop`.
  VerbatimRun run;
  auto flush_run = [&]() -> std::optional<RescueError> {
    if (!run.open) return std::nullopt;
    run.open = false;
    if (source_.fd >= 0 && run.end - run.begin >= KERNEL_COPY) {
      std::optional<RescueError> error;
      while (run.end - run.begin > 0) {
        const std::size_t piece = std::min(run.end - run.begin, RUN_PIECE);
        if (!out.copy_from(source_.fd, source_.offset + run.begin, piece, error)) {
          source_.fd = -1;  // not between these files: write from memory from now on
          break;
        }
        if (error) return error;
        run.begin += piece;
        if (stop.load(std::memory_order_relaxed)) return std::nullopt;
      }
      if (run.begin == run.end) return out.append("\n");
    }
    while (run.end - run.begin > RUN_PIECE) {
      if (auto error = out.append(input.substr(run.begin, RUN_PIECE))) return error;
      run.begin += RUN_PIECE;
      if (stop.load(std::memory_order_relaxed)) return std::nullopt;
    }
    if (auto error = out.append(input.substr(run.begin, run.end - run.begin))) return error;
    return out.append("\n");
  };
  // A row goes out with its first field quoted when, bare, it would read back as something else:
  // fields that are all empty or spaces and tabs as a blank line (one field) or, ending the file,
  // a spreadsheet's padding of delimiters (several); a U+FEFF opening the file as its byte-order
  // mark.
  engine::StoredRow row;
  std::uint64_t stored = 0;
  std::vector<engine::StoredField> ahead;  // a blank first field and the blank ones after it
  for (auto cursor = rows.cursor(); cursor.next_head(row, stored);) {
    const bool file_start = out.written() == 0 && !run.open;
    if (row.verbatim) {
      const bool bom = file_start && row.raw.starts_with(BYTE_ORDER_MARK);
      if (bom || is_blank_raw(row.raw, rows.delimiter())) {
        if (auto error = flush_run()) return error;
        FieldLine fields(out, format, line, delimiter_);
        bool first = true;
        engine::for_each_verbatim_text(row.raw, static_cast<std::uint8_t>(rows.delimiter()),
                                       rows.quote(), row.quote_free, unescaped_,
                                       [&](std::string_view text) {
                                         fields.add(text, false, first);
                                         first = false;
                                       });
        if (auto error = fields.finish()) return error;
        if (auto error = out.append_repeated(format.delimiter_text(), row.padding))
          return error;
        if (auto error = out.append("\n")) return error;
        continue;
      }
    }
    if (copy_verbatim && row.verbatim && row.padding == 0) {
      if (run.extend(input, row.raw)) continue;
      if (auto error = flush_run()) return error;
      run.start(input, row.raw);
      continue;
    }
    if (auto error = flush_run()) return error;
    if (stop.load(std::memory_order_relaxed)) return std::nullopt;
    std::uint64_t padding = row.padding;
    if (copy_verbatim && row.verbatim) {
      if (auto error = out.append(row.raw)) return error;
    } else {
      FieldLine fields(out, format, line, delimiter_);
      if (row.verbatim) {
        // Not blank and no mark (above): written field by field in the output's dialect, but
        // the fields of a row whose raw bytes hold quotes may still all be blank.
        bool all_blank = true;
        if (!row.quote_free) {
          engine::for_each_verbatim_text(
              row.raw, static_cast<std::uint8_t>(rows.delimiter()), rows.quote(), false,
              unescaped_, [&](std::string_view text) { all_blank = all_blank && is_blank_text(text); });
        } else {
          all_blank = false;
        }
        bool first = all_blank;
        engine::for_each_verbatim_text(row.raw, static_cast<std::uint8_t>(rows.delimiter()),
                                       rows.quote(), row.quote_free, unescaped_,
                                       [&](std::string_view text) {
                                         fields.add(text, false, first);
                                         first = false;
                                       });
      } else {
        // A field's plain flag means it holds none of the input's delimiter and quote; it says
        // nothing of the output's unless they are the same.
        std::uint64_t read = 0;
        ahead.clear();
        bool quote_first = false;
        if (stored > 0) {
          ahead.push_back(cursor.next_field());
          ++read;
          const std::string_view first = ahead.front().text;
          if (file_start && first.starts_with(BYTE_ORDER_MARK)) {
            quote_first = true;
          } else if (is_blank_text(first)) {
            // Blank so far: look on for a field that is not; none, or too many to hold, and
            // the first is quoted.
            quote_first = true;
            while (read < stored) {
              if (ahead.size() >= BLANK_LOOKAHEAD) break;
              ahead.push_back(cursor.next_field());
              ++read;
              if (!is_blank_text(ahead.back().text)) {
                quote_first = false;
                break;
              }
            }
          }
        }
        for (std::size_t i = 0; i < ahead.size(); ++i)
          fields.add(ahead[i].text, copy_verbatim && ahead[i].plain && !(i == 0 && quote_first),
                     i == 0 && quote_first);
        for (; read < stored; ++read) {
          const engine::StoredField f = cursor.next_field();
          fields.add(f.text, copy_verbatim && f.plain);
        }
        if (stored == 0 && padding > 0) {
          // Only padding: its first field stands for the row's first, quoted.
          fields.add({}, false, true);
          --padding;
        }
      }
      if (padding == 0) line.push_back('\n');
      if (auto error = fields.finish()) return error;
      if (padding == 0) continue;
    }
    if (auto error = out.append_repeated(format.delimiter_text(), padding)) return error;
    if (auto error = out.append("\n")) return error;
  }
  return flush_run();
}

std::optional<RescueError> write_record_quarantine(int fd, const engine::ReportPassOutcome& outcome,
                                                   std::string_view input, bool recode_cp1252) {
  BufferedWriter out(fd, PACKAGE_BUFFER);
  if (auto error = out.append(RECORD_QUARANTINE_HEADER)) return error;
  const LineFormat format(U',', '"');
  const std::string too_few =
      engine::reason_text(engine::QuarantineReason::TooFewColumns, outcome.columns);
  const std::string extra =
      engine::reason_text(engine::QuarantineReason::ExtraColumns, outcome.columns);
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
    format.append_field(line,
                        q.reason == engine::QuarantineReason::TooFewColumns ? too_few : extra);
    line += ',';
    format.append_field(line, text);
    line += '\n';
    if (auto error = out.append(line)) return error;
  }
  return out.flush();
}

}  // namespace quorle::rescue

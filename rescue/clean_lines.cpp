#include "rescue/clean_lines.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/find_bytes.hpp"
#include "engine/verbatim_fields.hpp"
#include "rescue/buffered_writer.hpp"
#include "rescue/line_format.hpp"

namespace quorle::rescue {
namespace {

constexpr std::size_t WHOLE = std::numeric_limits<std::size_t>::max();
// A piece of input that goes out in one go at most, between two looks at the stop flag.
constexpr std::size_t RUN_PIECE = std::size_t{64} << 20;
// Runs from this long on are copied inside the kernel when the input is a file: writing from the
// mapped input costs several times more system time.
constexpr std::size_t KERNEL_COPY = std::size_t{256} << 10;
// Fields from this long on go out straight from where they lie, not through the line buffer.
constexpr std::size_t LONG_FIELD = std::size_t{64} << 10;
// The line buffer goes out once it holds this much, so a row of millions of fields needs no
// copy of itself.
constexpr std::size_t LINE_PIECE = std::size_t{64} << 10;

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

// Writes the fields of one row, each encoded as the clean output wants it: short ones through a
// line buffer, long ones (with `in_pieces`, and then the quote is '"') straight to the output
// with their quotes doubled piece by piece.
class FieldLine {
 public:
  FieldLine(BufferedWriter& out, const LineFormat& format, std::string& line, bool in_pieces)
      : out_(out),
        format_(format),
        line_(line),
        delimiter_(format.delimiter_text()),
        long_field_(in_pieces ? LONG_FIELD : WHOLE),
        line_piece_(in_pieces ? LINE_PIECE : WHOLE) {
    line_.clear();
  }

  /// `plain`: the text is known to need no quotes; `quoted`: it is quoted whatever it holds.
  void add(std::string_view text, bool plain, bool quoted = false) {
    if (error_) return;
    if (count_++ != 0) {
      if (delimiter_.size() == 1) {
        line_.push_back(delimiter_[0]);
      } else {
        line_.append(delimiter_);
      }
    }
    if (text.size() >= long_field_) return add_long(text, plain && !quoted, quoted);
    if (quoted) {
      format_.append_quoted(line_, text);
    } else if (plain) {
      line_.append(text);
    } else {
      format_.append_field(line_, text);
    }
    if (line_.size() >= line_piece_) flush_line();
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
    if (plain || (!quoted && !engine::find_bytes::contains_any(
                                 text.data(), text.size(), std::uint8_t{'"'},
                                 static_cast<std::uint8_t>(delimiter_[0]), std::uint8_t{'\n'},
                                 std::uint8_t{'\r'}))) {
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
  std::string_view delimiter_;
  std::size_t long_field_;
  std::size_t line_piece_;
  std::uint64_t count_ = 0;
  std::optional<RescueError> error_;
};

}  // namespace

CleanLines::CleanLines(BufferedWriter& out, std::string_view input, const CleanLineRules& rules,
                       InputSource source)
    : out_(out), input_(input), rules_(rules), source_(source) {}

std::optional<RescueError> CleanLines::flush_run(const std::atomic<bool>& stop) {
  if (!run_.open) return std::nullopt;
  run_.open = false;
  VerbatimRun& run = run_;
  if (source_.fd >= 0 && run.end - run.begin >= KERNEL_COPY) {
    std::optional<RescueError> error;
    while (run.end - run.begin > 0) {
      const std::size_t piece = std::min(run.end - run.begin, RUN_PIECE);
      if (!out_.copy_from(source_.fd, source_.offset + run.begin, piece, error)) {
        source_.fd = -1;  // not between these files: write from memory from now on
        break;
      }
      if (error) return error;
      run.begin += piece;
      if (stop.load(std::memory_order_relaxed)) return std::nullopt;
    }
    if (run.begin == run.end) return out_.append("\n");
  }
  const std::size_t run_piece = rules_.in_pieces ? RUN_PIECE : WHOLE;
  while (run.end - run.begin > run_piece) {
    if (auto error = out_.append(input_.substr(run.begin, run_piece))) return error;
    run.begin += run_piece;
    if (stop.load(std::memory_order_relaxed)) return std::nullopt;
  }
  if (auto error = out_.append(input_.substr(run.begin, run.end - run.begin))) return error;
  return out_.append("\n");
}

std::optional<RescueError> CleanLines::write(const engine::RowStore& rows,
                                             const std::atomic<bool>& stop) {
  BufferedWriter& out = out_;
  const char in_delimiter = rows.delimiter();
  const auto delimiter =
      rules_.rows_dialect ? static_cast<std::uint8_t>(in_delimiter) : rules_.delimiter;
  const std::uint8_t quote = rules_.rows_dialect ? rows.quote() : std::uint8_t{'"'};
  // A verbatim row is the clean form of its fields with the input's delimiter and quote; it can
  // be copied only when those are the output's.
  const bool copy_verbatim =
      in_delimiter == static_cast<char>(delimiter) && rows.quote() == quote;
  const LineFormat format(delimiter, quote);
  const bool guard = rules_.guard_rereading;
  std::string& line = line_;
  run_ = {};
  // A row goes out with its first field quoted when, bare, it would read back as something else:
  // fields that are all empty or spaces and tabs as a blank line (one field) or, ending the file,
  // a spreadsheet's padding of delimiters (several); a U+FEFF opening the file as its byte-order
  // mark.
  engine::StoredRow row;
  std::uint64_t stored = 0;
  // The fields of the verbatim row in `row`, one by one, the first quoted with `quote_first`.
  auto add_verbatim = [&](FieldLine& fields, bool quote_first) {
    engine::for_each_verbatim_text(row.raw, static_cast<std::uint8_t>(in_delimiter), rows.quote(),
                                   row.quote_free, unescaped_, [&](std::string_view text) {
                                     fields.add(text, false, quote_first);
                                     quote_first = false;
                                   });
  };
  for (auto cursor = rows.cursor(); cursor.next_head(row, stored);) {
    const bool file_start = guard && out.written() == 0 && !run_.open;
    if (guard && row.verbatim) {
      const bool bom = file_start && row.raw.starts_with(BYTE_ORDER_MARK);
      if (bom || is_blank_raw(row.raw, in_delimiter)) {
        if (auto error = flush_run(stop)) return error;
        FieldLine fields(out, format, line, rules_.in_pieces);
        add_verbatim(fields, true);
        if (auto error = fields.finish()) return error;
        if (auto error = out.append_repeated(format.delimiter_text(), row.padding))
          return error;
        if (auto error = out.append("\n")) return error;
        continue;
      }
    }
    // Consecutive verbatim rows that stood on lines of their own, ended by a single LF, are one
    // run of input bytes in the output too.
    if (copy_verbatim && row.verbatim && row.padding == 0) {
      if (run_.extend(input_, row.raw)) continue;
      if (auto error = flush_run(stop)) return error;
      run_.start(input_, row.raw);
      continue;
    }
    if (auto error = flush_run(stop)) return error;
    if (stop.load(std::memory_order_relaxed)) return std::nullopt;
    std::uint64_t padding = row.padding;
    if (copy_verbatim && row.verbatim) {
      if (auto error = out.append(row.raw)) return error;
    } else {
      FieldLine fields(out, format, line, rules_.in_pieces);
      if (row.verbatim) {
        // Not blank and no mark (above): written field by field in the output's dialect, but
        // the fields of a row whose raw bytes hold quotes may still all be blank.
        bool all_blank = guard && !row.quote_free;
        if (all_blank) {
          engine::for_each_verbatim_text(
              row.raw, static_cast<std::uint8_t>(in_delimiter), rows.quote(), false, unescaped_,
              [&](std::string_view text) { all_blank = all_blank && is_blank_text(text); });
        }
        add_verbatim(fields, all_blank);
      } else {
        // A field's plain flag means it holds none of the input's delimiter and quote; it says
        // nothing of the output's unless they are the same.
        std::uint64_t read = 0;
        ahead_.clear();
        bool quote_first = false;
        if (guard && stored > 0) {
          ahead_.push_back(cursor.next_field());
          ++read;
          const std::string_view first = ahead_.front().text;
          if (file_start && first.starts_with(BYTE_ORDER_MARK)) {
            quote_first = true;
          } else if (is_blank_text(first)) {
            // Blank so far: look on for a field that is not; none, or too many to hold, and
            // the first is quoted.
            quote_first = true;
            while (read < stored) {
              if (ahead_.size() >= BLANK_LOOKAHEAD) break;
              ahead_.push_back(cursor.next_field());
              ++read;
              if (!is_blank_text(ahead_.back().text)) {
                quote_first = false;
                break;
              }
            }
          }
        }
        for (std::size_t i = 0; i < ahead_.size(); ++i)
          fields.add(ahead_[i].text, copy_verbatim && ahead_[i].plain && !(i == 0 && quote_first),
                     i == 0 && quote_first);
        for (; read < stored; ++read) {
          const engine::StoredField f = cursor.next_field();
          fields.add(f.text, copy_verbatim && f.plain);
        }
        if (stored == 0 && padding > 0) {
          // Only padding: its first field stands for the row's first (quoted when guarding).
          fields.add({}, !guard, guard);
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
  return flush_run(stop);
}

}  // namespace quorle::rescue

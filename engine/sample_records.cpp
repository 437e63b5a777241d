// One loop around `switch (state)`, one case per state, in the order of the csv module's reader
// (Modules/_csv.c, parse_process_char), with its line end given as the event LINE_END after the
// characters of each line.
#include "engine/sample_records.hpp"

namespace quorle::engine {
namespace {

enum class State {
  start_record,
  start_field,
  escaped_char,
  after_escaped_crnl,
  in_field,
  in_quoted_field,
  escape_in_quoted_field,
  quote_in_quoted_field,
  eat_crnl,
};

constexpr char32_t LINE_END = 0xFFFFFFFE;  // no character: Python strings stop at 0x10FFFF

class Reader {
 public:
  Reader(const SampleDialect& d, SampleRecords& out) : d_(d), out_(out) {}

  /// False when the reader refuses the line (the csv module raises there).
  bool step(char32_t c) {
    const bool is_break = c == U'\n' || c == U'\r';
    switch (state_) {
      case State::start_record:
        if (c == LINE_END) return true;  // an empty line: a record of no fields
        if (is_break) {
          state_ = State::eat_crnl;
          return true;
        }
        state_ = State::start_field;
        [[fallthrough]];
      case State::start_field:
        if (is_break || c == LINE_END) {  // an empty last field
          save_field();
          state_ = c == LINE_END ? State::start_record : State::eat_crnl;
        } else if (c == d_.quote) {
          state_ = State::in_quoted_field;
        } else if (c == d_.escape) {
          state_ = State::escaped_char;
        } else if (c == U' ' && d_.skip_initial_space) {
          // blanks before a field are skipped
        } else if (c == d_.delimiter) {
          save_field();
        } else {
          add(c);
          state_ = State::in_field;
        }
        return true;
      case State::escaped_char:
        if (is_break) {
          add(c);
          state_ = State::after_escaped_crnl;
          return true;
        }
        add(c == LINE_END ? U'\n' : c);
        state_ = State::in_field;
        return true;
      case State::after_escaped_crnl:
        if (c == LINE_END) return true;
        [[fallthrough]];
      case State::in_field:
        if (is_break || c == LINE_END) {
          save_field();
          state_ = c == LINE_END ? State::start_record : State::eat_crnl;
        } else if (c == d_.escape) {
          state_ = State::escaped_char;
        } else if (c == d_.delimiter) {
          save_field();
          state_ = State::start_field;
        } else {
          add(c);
        }
        return true;
      case State::in_quoted_field:
        if (c == LINE_END) {
          // the field goes on over the next line; its line break is already in it
        } else if (c == d_.escape) {
          state_ = State::escape_in_quoted_field;
        } else if (c == d_.quote) {
          state_ = State::quote_in_quoted_field;
        } else {
          add(c);
        }
        return true;
      case State::escape_in_quoted_field:
        add(c == LINE_END ? U'\n' : c);
        state_ = State::in_quoted_field;
        return true;
      case State::quote_in_quoted_field:
        if (c == d_.quote) {  // a doubled quote stands for one
          add(c);
          state_ = State::in_quoted_field;
        } else if (c == d_.delimiter) {
          save_field();
          state_ = State::start_field;
        } else if (is_break || c == LINE_END) {
          save_field();
          state_ = c == LINE_END ? State::start_record : State::eat_crnl;
        } else {  // text after the closing quote joins the field
          add(c);
          state_ = State::in_field;
        }
        return true;
      case State::eat_crnl:
        if (is_break) return true;
        if (c == LINE_END) {
          state_ = State::start_record;
          return true;
        }
        return false;  // a line break followed by text on the same line
    }
    return true;
  }

  /// How many characters from `i` on the current state only adds to its field: the run up to
  /// the next character it rules on (in a quoted field, line breaks are text).
  std::size_t plain_run(std::u32string_view line, std::size_t i) const {
    std::size_t k = i;
    if (state_ == State::in_field) {
      while (k < line.size() && line[k] != d_.delimiter && line[k] != d_.escape &&
             line[k] != U'\n' && line[k] != U'\r')
        ++k;
    } else if (state_ == State::in_quoted_field) {
      while (k < line.size() && line[k] != d_.quote && line[k] != d_.escape) ++k;
    }
    return k - i;
  }
  void add_run(std::u32string_view run) { out_.chars.append(run); }

  bool record_done() const { return state_ == State::start_record; }
  /// What the csv module keeps of a record left open when the lines run out.
  bool keeps_open_record() const {
    return out_.chars.size() != field_start_ || state_ == State::in_quoted_field;
  }

  void save_field() {
    out_.fields.emplace_back(field_start_, out_.chars.size());
    field_start_ = out_.chars.size();
  }

 private:
  void add(char32_t c) { out_.chars.push_back(c); }

  SampleDialect d_;
  SampleRecords& out_;
  State state_ = State::start_record;
  std::size_t field_start_ = 0;
};

}  // namespace

void read_sample_records(const std::vector<std::u32string_view>& lines,
                         const SampleDialect& dialect, std::size_t limit, SampleRecords& out) {
  out.chars.clear();
  out.fields.clear();
  out.records.clear();
  out.stopped = false;
  Reader reader(dialect, out);
  std::uint32_t first = 1;
  std::size_t first_field = 0;
  auto finish = [&](std::uint32_t last) {
    out.records.push_back({first, last, first_field, out.fields.size() - first_field});
    first = last + 1;
    first_field = out.fields.size();
  };
  std::uint32_t number = 0;
  for (const std::u32string_view line : lines) {
    if (out.records.size() >= limit) return;
    ++number;
    for (std::size_t i = 0; i < line.size();) {
      if (const std::size_t run = reader.plain_run(line, i)) {
        reader.add_run(line.substr(i, run));
        i += run;
      } else if (reader.step(line[i])) {
        ++i;
      } else {
        out.stopped = true;
        return;
      }
    }
    if (!reader.step(LINE_END)) {
      out.stopped = true;
      return;
    }
    if (reader.record_done()) finish(number);
  }
  if (out.records.size() < limit && !reader.record_done() && reader.keeps_open_record()) {
    reader.save_field();
    finish(number);
  }
}

}  // namespace quorle::engine

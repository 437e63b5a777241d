// A byte-at-a-time tokenizer written straight from the rules, with the closing-quote test as a
// plain forward scan. Slow and obviously faithful: the fast tokenizer is checked against it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/utf8.hpp"

namespace quorle::engine::testing {

class ReferenceTokenizer {
 public:
  ReferenceTokenizer(std::string_view data, std::uint8_t delimiter, std::uint8_t quote, bool repair)
      : d_(data), d(delimiter), q(quote), repair_(repair) {
    if (data.size() >= 3 && data.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  }

  /// The rules beyond the backend's: an unterminated quoted field read again as text from its
  /// opening quote, and an escape byte inside quoted fields.
  void set_extras(bool reread, int escape, bool skip_space = false, bool lone_cr_lines = false) {
    reread_ = reread;
    escape_ = escape;
    skip_space_ = skip_space;
    cr_lines_ = lone_cr_lines;
  }
  /// The package's quote rules: text after a closing quote makes the quotes text, the quoted
  /// section kept whole as it stands; a lone CR inside quotes ends a line.
  void set_quote_rules(bool literal, bool cr_lines) {
    literal_ = literal;
    cr_lines_ = cr_lines;
  }
  /// The column count for the stray-quote rule; 0: none.
  void set_width(std::uint64_t width) { width_ = width; }
  /// Quoted fields of the last record that were read again.
  std::uint32_t rereads() const { return rereads_; }
  /// Quoted fields of the last record kept as text for the text after their closing quote.
  std::uint32_t literal_quotes() const { return literal_count_; }
  /// The lines the last record's quoted reading ran over when it was read again with a stray
  /// opening quote as text; 0 otherwise.
  std::uint64_t stray_quote_lines() const { return stray_lines_; }

  std::uint64_t line() const { return line_; }
  bool ended_with_break() const { return ended_with_break_; }

  // A record whose first quoted field spanning lines leaves it with a count other than the width
  // is read again with that field's opening quote as text, when the record read so ends on its
  // first line (no quoted field in it crossing a line break) with exactly the width.
  std::optional<std::vector<std::string>> next_record() {
    const std::size_t begin = pos_;
    const std::uint64_t first = line_;
    auto record = read_record();
    stray_lines_ = 0;
    if (!record || width_ == 0 || candidate_ == NONE || record->size() == width_) return record;
    ReferenceTokenizer trial = *this;
    trial.pos_ = begin;
    trial.line_ = first;
    trial.literal_open_ = candidate_;
    trial.reread_ = false;
    trial.width_ = 0;
    const auto text = trial.read_record();
    if (trial.crossed_ || text->size() != width_) return record;
    const std::uint64_t lines = line_ - (ended_with_break_ ? 1 : 0) - first + 1;
    pos_ = begin;
    line_ = first;
    literal_open_ = candidate_;
    record = read_record();
    literal_open_ = NONE;
    stray_lines_ = lines;
    return record;
  }

 private:
  static constexpr std::size_t NONE = ~std::size_t{0};

  std::optional<std::vector<std::string>> read_record() {
    const std::size_t n = d_.size();
    if (pos_ >= n) return std::nullopt;
    std::vector<std::string> record;
    std::string buffer;
    auto finish = [&] {
      std::string text;
      append_lossy_utf8(text, reinterpret_cast<const std::uint8_t*>(buffer.data()), buffer.size());
      record.push_back(text);
      buffer.clear();
    };
    auto line_break = [&] {
      if (at(pos_) == '\r' && pos_ + 1 < n && at(pos_ + 1) == '\n') ++pos_;
      ++pos_;
      ++line_;
      ended_with_break_ = true;
    };
    ended_with_break_ = false;
    enum { FieldStart, Unquoted, Quoted, AfterClosing } state = FieldStart;
    std::size_t open = 0;
    std::uint64_t open_line = 0;
    rereads_ = 0;
    literal_count_ = 0;
    candidate_ = NONE;
    crossed_ = false;
    // A line break inside quotes: LF, and a CR not followed by LF when CR lines are on.
    auto quoted_break = [&](std::size_t i) {
      crossed_ = true;
      if (at(i) == '\n' || (cr_lines_ && (i + 1 == n || at(i + 1) != '\n'))) ++line_;
    };
    // The quoted field closes: the first one spanning lines is the width rule's candidate.
    auto closed = [&] {
      if (width_ != 0 && candidate_ == NONE && line_ != open_line) candidate_ = open;
      state = AfterClosing;
    };
  again:
    while (pos_ < n) {
      const std::uint8_t c = at(pos_);
      switch (state) {
        case FieldStart:
          if (skip_space_ && c == ' ' && (d == ' ' || !record.empty())) {
            ++pos_;  // a space after a delimiter, or indenting an aligned line
          } else if (skip_space_ && d == ' ' && !record.empty() && (c == '\n' || c == '\r')) {
            line_break();  // spaces ending an aligned line add no field
            return record;
          } else if (c == q && pos_ == literal_open_) {  // the width rule's quote: text
            buffer += static_cast<char>(c);
            ++pos_;
            state = Unquoted;
          } else if (c == q) {
            open = pos_;
            open_line = line_;
            ++pos_;
            state = Quoted;
          } else if (c == d) {
            record.emplace_back();
            ++pos_;
          } else if (c == '\n' || c == '\r') {
            line_break();
            record.emplace_back();
            return record;
          } else {
            buffer += static_cast<char>(c);
            ++pos_;
            state = Unquoted;
          }
          break;
        case Unquoted:
          if (c == d) {
            finish();
            ++pos_;
            state = FieldStart;
          } else if (c == '\n' || c == '\r') {
            line_break();
            finish();
            return record;
          } else {
            buffer += static_cast<char>(c);
            ++pos_;
          }
          break;
        case Quoted:
          if (escape_ >= 0 && c == escape_) {  // the next byte is text; the escape is dropped
            if (pos_ + 1 < n) {
              if (at(pos_ + 1) == '\n' || at(pos_ + 1) == '\r') quoted_break(pos_ + 1);
              buffer += static_cast<char>(at(pos_ + 1));
            }
            pos_ += pos_ + 1 < n ? 2 : 1;
          } else if (c == q && pos_ + 1 == n) {
            ++pos_;
            closed();
          } else if (c == q && at(pos_ + 1) == q) {
            buffer += static_cast<char>(q);
            pos_ += 2;
          } else if (c == q && !repair_) {
            ++pos_;
            closed();
          } else if (c == q) {
            if (closing(pos_)) {
              ++pos_;
              closed();
            } else {
              buffer += static_cast<char>(q);
              ++pos_;
            }
          } else {
            if (c == '\n' || c == '\r') quoted_break(pos_);
            buffer += static_cast<char>(c);
            ++pos_;
          }
          break;
        case AfterClosing:
          if (c == d) {
            finish();
            ++pos_;
            state = FieldStart;
          } else if (c == ' ' || c == '\t') {
            ++pos_;
          } else if (c == '\n' || c == '\r') {
            line_break();
            finish();
            return record;
          } else if (literal_) {  // text after the closing quote: the quotes were text
            buffer.assign(d_.substr(open, pos_ - open));  // every byte from the opening quote
            ++literal_count_;
            state = Unquoted;  // this byte and the rest up to the delimiter or line end follow
          } else {
            buffer += static_cast<char>(c);
            ++pos_;
            state = Unquoted;
          }
          break;
      }
    }
    if (state == Quoted && reread_) {  // read again from the opening quote, as text
      pos_ = open + 1;
      line_ = open_line;
      buffer.assign(1, static_cast<char>(q));
      ++rereads_;
      state = Unquoted;
      goto again;
    }
    if (skip_space_ && d == ' ' && state == FieldStart && !record.empty()) return record;
    finish();
    return record;
  }

  std::uint8_t at(std::size_t i) const { return static_cast<std::uint8_t>(d_[i]); }

  // Skips blanks from k on, testing for the delimiter first; true when a field end follows.
  bool end_after_blanks(std::size_t k) const {
    while (k < d_.size() && at(k) != d && (at(k) == ' ' || at(k) == '\t'))
      ++k;
    return k == d_.size() || at(k) == d || at(k) == '\r' || at(k) == '\n';
  }

  bool closing(std::size_t p) const {
    std::size_t k = p + 1;
    while (k < d_.size() && at(k) != d && (at(k) == ' ' || at(k) == '\t'))
      ++k;
    if (k == d_.size() || at(k) == d || at(k) == '\n' || at(k) == '\r') return true;
    for (; k < d_.size(); ++k) {
      const std::uint8_t c = at(k);
      if (c == '\n' || c == '\r') return true;
      if (c == q && end_after_blanks(k + 1)) return false;
    }
    return true;
  }

  std::string_view d_;
  std::uint8_t d, q;
  bool repair_;
  std::size_t pos_ = 0;
  std::uint64_t line_ = 1;
  bool ended_with_break_ = false;
  bool reread_ = false;
  int escape_ = -1;
  bool skip_space_ = false;
  std::uint32_t rereads_ = 0;
  bool literal_ = false;
  bool cr_lines_ = false;
  std::uint64_t width_ = 0;
  std::size_t literal_open_ = NONE;  // a quote at a field start that is text
  std::size_t candidate_ = NONE;     // the first quoted field that spanned lines and closed
  bool crossed_ = false;             // some quoted field of the record held a CR or LF
  std::uint32_t literal_count_ = 0;
  std::uint64_t stray_lines_ = 0;
};

}  // namespace quorle::engine::testing

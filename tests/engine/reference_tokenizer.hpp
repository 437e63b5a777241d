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
    lone_cr_lines_ = lone_cr_lines;
  }
  /// Quoted fields of the last record that were read again.
  std::uint32_t rereads() const { return rereads_; }

  std::uint64_t line() const { return line_; }
  bool ended_with_break() const { return ended_with_break_; }

  std::optional<std::vector<std::string>> next_record() {
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
    rereads_ = 0;
    enum { FieldStart, Unquoted, Quoted, AfterClosing } state = FieldStart;
    std::size_t open = 0;
    std::uint64_t open_line = 0;
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
              if (ends_line_in_quotes(pos_ + 1)) ++line_;
              buffer += static_cast<char>(at(pos_ + 1));
            }
            pos_ += pos_ + 1 < n ? 2 : 1;
          } else if (c == q && pos_ + 1 == n) {
            ++pos_;
            state = AfterClosing;
          } else if (c == q && at(pos_ + 1) == q) {
            buffer += static_cast<char>(q);
            pos_ += 2;
          } else if (c == q && !repair_) {
            ++pos_;
            state = AfterClosing;
          } else if (c == q) {
            if (closing(pos_)) {
              ++pos_;
              state = AfterClosing;
            } else {
              buffer += static_cast<char>(q);
              ++pos_;
            }
          } else {
            if (ends_line_in_quotes(pos_)) ++line_;
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

 private:
  std::uint8_t at(std::size_t i) const { return static_cast<std::uint8_t>(d_[i]); }

  // Skips blanks from k on, testing for the delimiter first; true when a field end follows.
  bool end_after_blanks(std::size_t k) const {
    while (k < d_.size() && at(k) != d && (at(k) == ' ' || at(k) == '\t'))
      ++k;
    return k == d_.size() || at(k) == d || at(k) == '\r' || at(k) == '\n';
  }

  // Whether the byte at i, text of a quoted field, ends a physical line.
  bool ends_line_in_quotes(std::size_t i) const {
    if (at(i) == '\n') return true;
    return lone_cr_lines_ && at(i) == '\r' && (i + 1 == d_.size() || at(i + 1) != '\n');
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
  bool lone_cr_lines_ = false;
  std::uint32_t rereads_ = 0;
};

}  // namespace quorle::engine::testing

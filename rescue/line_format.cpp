#include "rescue/line_format.hpp"

#include "engine/find_bytes.hpp"
#include "engine/pipeline.hpp"

namespace quorle::rescue {

void append_doubled(std::string& out, std::string_view text, std::string_view quote) {
  for (std::size_t from = 0;;) {
    const std::size_t at = text.find(quote, from);
    if (at == std::string_view::npos) {
      out.append(text.substr(from));
      return;
    }
    out.append(text.substr(from, at + quote.size() - from));
    out.append(quote);
    from = at + quote.size();
  }
}

LineFormat::LineFormat(std::uint8_t delimiter, std::uint8_t quote)
    : delimiter_(engine::code_point_utf8(delimiter)),
      quote_(engine::code_point_utf8(quote)),
      single_bytes_(delimiter < 0x80 && quote < 0x80) {
  for (const std::uint8_t b : {delimiter, quote, std::uint8_t('\n'), std::uint8_t('\r')}) {
    forces_quoting_[b] = 1;
  }
}

bool LineFormat::needs_quoting(std::string_view text) const {
  if (single_bytes_) {
    // Most fields are short: a table lookup per byte, without branches, beats a vector search.
    if (text.size() >= 32) {
      return engine::find_bytes::contains_any(
          text.data(), text.size(), static_cast<std::uint8_t>(quote_[0]),
          static_cast<std::uint8_t>(delimiter_[0]), std::uint8_t{'\n'}, std::uint8_t{'\r'});
    }
    std::uint8_t hit = 0;
    for (const char c : text)
      hit |= forces_quoting_[static_cast<std::uint8_t>(c)];
    return hit != 0;
  }
  // A value of 0x80 and above matches only its two-byte form, never a lone byte.
  return text.find(quote_) != std::string_view::npos ||
         text.find(delimiter_) != std::string_view::npos ||
         text.find_first_of("\n\r") != std::string_view::npos;
}

void LineFormat::append_field(std::string& out, std::string_view text) const {
  if (!needs_quoting(text)) {
    out.append(text);
    return;
  }
  append_quoted(out, text);
}

void LineFormat::append_quoted(std::string& out, std::string_view text) const {
  out.append(quote_);
  append_doubled(out, text, quote_);
  out.append(quote_);
}

void LineFormat::append_fields(std::string& out, std::span<const std::string_view> fields,
                               std::span<const std::uint8_t> plain) const {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i) out.append(delimiter_);
    if (i < plain.size() && plain[i]) {
      out.append(fields[i]);
    } else {
      append_field(out, fields[i]);
    }
  }
}

void LineFormat::append_output_line(std::string& out, std::span<const std::string_view> fields,
                                    std::uint64_t padding) const {
  append_fields(out, fields);
  // Padding fields are empty, so each adds a delimiter only.
  for (std::uint64_t i = fields.empty() ? 1 : 0; i < padding; ++i)
    out.append(delimiter_);
  out.push_back('\n');
}

std::string encode_field(std::string_view text, std::uint8_t delimiter, std::uint8_t quote) {
  std::string out;
  LineFormat(delimiter, quote).append_field(out, text);
  return out;
}

namespace {
std::vector<std::string_view> views(const engine::Row& row) {
  return {row.begin(), row.end()};
}
}  // namespace

std::string format_output_line(const engine::Row& row, std::uint8_t delimiter, std::uint8_t quote) {
  std::string out;
  LineFormat(delimiter, quote).append_output_line(out, views(row), 0);
  return out;
}

}  // namespace quorle::rescue

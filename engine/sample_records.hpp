// Records of a decoded sample of lines, read as the detection reads candidate dialects: the rules
// of Python's csv reader with doubled quotes and strict off (the reference its Python side was
// written against), so that scoring a candidate costs one pass in C++ instead of a reader and a
// Python loop over its rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorle::engine {

/// A candidate dialect. NO_CHAR: no quote (quotes are text) or no escape.
struct SampleDialect {
  static constexpr char32_t NO_CHAR = 0xFFFFFFFF;
  char32_t delimiter = ',';
  char32_t quote = '"';
  char32_t escape = NO_CHAR;
  bool skip_initial_space = false;
};

/// One record: its 1-based first and last line, its fields as [begin, end) into `chars`.
struct SampleRecord {
  std::uint32_t first_line = 0;
  std::uint32_t last_line = 0;
  std::size_t first_field = 0;  ///< index into SampleRecords::fields
  std::size_t field_count = 0;
};

struct SampleRecords {
  std::u32string chars;  ///< every field's text, one after the other
  std::vector<std::pair<std::size_t, std::size_t>> fields;
  std::vector<SampleRecord> records;
  /// The reader stopped at a line break followed by more text on the same line (the csv
  /// module's error): the records before it are all there is.
  bool stopped = false;

  std::u32string_view field(std::size_t i) const {
    return std::u32string_view(chars).substr(fields[i].first, fields[i].second - fields[i].first);
  }
};

/// Reads `lines` (each with its own line break, if any) into at most `limit` records, in `out`
/// (emptied first; its buffers are reused). A record left open at the end (an unclosed quote)
/// ends with the last line, as the csv module reads it.
void read_sample_records(const std::vector<std::u32string_view>& lines,
                         const SampleDialect& dialect, std::size_t limit, SampleRecords& out);

}  // namespace quorle::engine

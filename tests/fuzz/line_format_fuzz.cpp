// The output line formats on arbitrary field texts:
//   byte 0: the delimiter, byte 1: the quote, byte 2: bit 0 the quarantine reason is the first
//   field's text (when there are two fields or more), otherwise bit 1 picks one of the two real
//   reasons; bytes 3-10: the quarantine line number
// The rest holds the fields, split at 0xFF (a byte that well-formed UTF-8 never holds) and made
// well-formed by the engine's lossy decoding, as the tokenizer makes every field.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/pipeline.hpp"
#include "engine/tokenizer.hpp"
#include "engine/utf8.hpp"
#include "fuzz_check.hpp"
#include "rescue/line_format.hpp"
#include "rescue/quarantine_file.hpp"

namespace quorle::fuzz {
namespace {

using engine::QuarantineEntry;
using engine::Row;

std::string describe(std::uint8_t d, std::uint8_t q, const Row& row) {
  return "delimiter " + std::to_string(d) + ", quote " + std::to_string(q) + ", fields " +
         show(row);
}

// Reads the line with RFC-4180 rules: one record, then nothing.
bool reads_back(std::string_view line, std::uint8_t d, std::uint8_t q, bool repair,
                const Row& fields) {
  engine::RecordTokenizer tokenizer(line, d, q, repair);
  const auto record = tokenizer.next_record();
  return record && *record == fields && tokenizer.position() == line.size() &&
         !tokenizer.next_record();
}

void check_fields(std::uint8_t d, std::uint8_t q, const Row& row) {
  const std::string dt = engine::code_point_utf8(d), qt = engine::code_point_utf8(q);
  for (const std::string& field : row) {
    const std::string encoded = rescue::encode_field(field, d, q);
    const auto where = [&] {
      return describe(d, q, row) + "; " + show(field) + " -> " + show(encoded);
    };
    const bool needs_quoting = field.find(qt) != std::string::npos ||
                               field.find(dt) != std::string::npos ||
                               field.find_first_of("\r\n") != std::string::npos;
    if (!needs_quoting) {
      FUZZ_CHECK(encoded == field, where());
      continue;
    }
    FUZZ_CHECK(encoded.size() >= 2 * qt.size() && encoded.starts_with(qt) && encoded.ends_with(qt),
               where());
    const std::string_view inside =
        std::string_view(encoded).substr(qt.size(), encoded.size() - 2 * qt.size());
    FUZZ_CHECK(inside == doubled(field, qt), where());
  }
}

void check_output_line(std::uint8_t d, std::uint8_t q, const Row& row) {
  const std::string dt = engine::code_point_utf8(d), qt = engine::code_point_utf8(q);
  const std::string line = rescue::format_output_line(row, d, q);
  const auto where = [&] { return describe(d, q, row) + "; line " + show(line); };
  std::string want;
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (i) want += dt;
    want += rescue::encode_field(row[i], d, q);
  }
  FUZZ_CHECK(line == want + "\n", where());
  // A delimiter or quote that is a line break, or the two alike, make the line ambiguous.
  if (d == q || d == '\r' || d == '\n' || q == '\r' || q == '\n') return;
  FUZZ_CHECK(one_line_end_outside_quotes(line, qt), where());
  // The tokenizer takes single bytes, and skips a leading byte-order mark.
  if (d < 0x80 && q < 0x80 && !line.starts_with("\xEF\xBB\xBF")) {
    FUZZ_CHECK(reads_back(line, d, q, true, row), where());
    FUZZ_CHECK(reads_back(line, d, q, false, row), where() + " (without quote repair)");
  }
}

void check_quarantine_line(std::uint8_t d, const QuarantineEntry& entry) {
  const std::string dt = engine::code_point_utf8(d);
  std::string raw;
  for (std::size_t i = 0; i < entry.fields.size(); ++i)
    raw += (i ? dt : "") + entry.fields[i];
  const std::string line = rescue::format_quarantine_line(entry, d);
  const auto where = [&] {
    return "delimiter " + std::to_string(d) + ", line " + std::to_string(entry.line) + ", reason " +
           show(entry.reason) + ", fields " + show(entry.fields) + "; " + show(line);
  };
  FUZZ_CHECK(line == std::to_string(entry.line) + ",\"" + doubled(entry.reason, "\"") + "\",\"" +
                         doubled(raw, "\"") + "\"\n",
             where());
  FUZZ_CHECK(one_line_end_outside_quotes(line, "\""), where());
  // Any CSV reader with the comma and the double quote finds three fields.
  const Row fields{std::to_string(entry.line), entry.reason, raw};
  FUZZ_CHECK(reads_back(line, ',', '"', true, fields), where());
  FUZZ_CHECK(reads_back(line, ',', '"', false, fields), where() + " (without quote repair)");
}

}  // namespace
}  // namespace quorle::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace quorle;
  if (size < 11) return 0;
  const std::uint8_t d = bytes[0], q = bytes[1], flags = bytes[2];
  std::uint64_t line;
  std::memcpy(&line, bytes + 3, sizeof line);

  engine::Row row;
  const std::uint8_t* p = bytes + 11;
  const std::uint8_t* const end = bytes + size;
  for (;;) {
    const auto* stop = static_cast<const std::uint8_t*>(std::memchr(p, 0xFF, end - p));
    std::string field;
    engine::append_lossy_utf8(field, p, (stop ? stop : end) - p);
    row.push_back(std::move(field));
    if (!stop) break;
    p = stop + 1;
  }

  fuzz::check_fields(d, q, row);
  fuzz::check_output_line(d, q, row);

  engine::QuarantineEntry entry;
  if ((flags & 1) && row.size() > 1) {
    entry.reason = row.front();
    entry.fields.assign(row.begin() + 1, row.end());
  } else {
    entry.reason = engine::reason_text(flags & 2 ? engine::QuarantineReason::TooFewColumns
                                                 : engine::QuarantineReason::ExtraColumns,
                                       line % 1000);
    entry.fields = row;
  }
  entry.line = line;
  fuzz::check_quarantine_line(d, entry);
  return 0;
}

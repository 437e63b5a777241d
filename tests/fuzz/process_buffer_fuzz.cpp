// The whole pipeline on arbitrary bytes. The first four bytes choose the options and the block
// classifier, the rest is the buffer:
//   byte 0: bit 0 delimiter given, bit 1 fill_ragged_rows, bit 2 merge_overflow, bit 3
//           repair_quotes, bits 4-5 expected_columns (0 and 3: inferred, 1: 1 to 64 from byte 3,
//           2: 0), bits 6-7 classifier (fastest, portable, SSE2, AVX2)
//   byte 1: the delimiter, byte 2: the quote, byte 3: the column count
// Beyond the counters, the rows are held to the byte-at-a-time reference tokenizer and the
// normalisation rules, the stored rows to what the writer and the reader assume of them without
// looking, the counting pass to the collecting pass, and the clean output must read back as the
// same rows.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/block_masks.hpp"
#include "engine/invariant.hpp"
#include "engine/pipeline.hpp"
#include "engine/tokenizer.hpp"
#include "engine/utf8.hpp"
#include "fuzz_check.hpp"
#include "rescue/line_format.hpp"
#include "tests/engine/reference_tokenizer.hpp"

namespace quorle::fuzz {
namespace {

using namespace engine;
using rescue::encode_field;
using rescue::format_output_line;

bool valid(std::string_view text) {
  return is_valid_utf8(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool ascii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<std::uint8_t>(c) >= 0x80) return false;
  }
  return true;
}

std::string describe(const RepairOptions& o) {
  std::string s = "delimiter ";
  s += o.delimiter ? std::to_string(*o.delimiter) : "sniffed";
  s += ", quote " + std::to_string(o.quote_char) + ", fill " + std::to_string(o.fill_ragged_rows) +
       ", merge " + std::to_string(o.merge_overflow) + ", repair " +
       std::to_string(o.repair_quotes) + ", expected_columns ";
  s += o.expected_columns ? std::to_string(*o.expected_columns) : "inferred";
  return s;
}

std::string counters(const BufferOutcome& out) {
  return "total " + std::to_string(out.total_rows) + ", good " + std::to_string(out.quorled_rows) +
         ", repaired " + std::to_string(out.repaired_rows) + ", quarantined " +
         std::to_string(out.quarantined_rows) + ", columns " +
         std::to_string(out.inferred_columns) + ", delimiter " +
         std::to_string(static_cast<std::uint32_t>(out.delimiter));
}

// What the rules make of the records, taken from the reference tokenizer.
struct Expected {
  std::vector<Row> good;
  std::vector<QuarantineEntry> quarantine;
  std::uint64_t total = 0;
  std::uint64_t repaired = 0;
};

Expected expected_outcome(std::string_view data, const RepairOptions& o, std::uint8_t delimiter,
                          std::uint64_t c) {
  Expected e;
  const std::string joiner = code_point_utf8(delimiter);
  testing::ReferenceTokenizer reference(data, delimiter, o.quote_char, o.repair_quotes);
  while (auto record = reference.next_record()) {
    Row row = std::move(*record);
    // The line on which the record ends, not the one after its line break.
    const std::uint64_t line = reference.line() - (reference.ended_with_break() ? 1 : 0);
    ++e.total;
    if (c == 0 || row.size() == c) {
      e.good.push_back(std::move(row));
    } else if (row.size() < c && o.fill_ragged_rows) {
      row.resize(c);
      e.good.push_back(std::move(row));
      ++e.repaired;
    } else if (row.size() < c) {
      e.quarantine.push_back(
          {std::move(row), reason_text(QuarantineReason::TooFewColumns, c), line});
    } else if (o.merge_overflow) {
      for (std::size_t i = c; i < row.size(); ++i)
        row[c - 1] += joiner + row[i];
      row.resize(c);
      e.good.push_back(std::move(row));
      ++e.repaired;
    } else {
      e.quarantine.push_back(
          {std::move(row), reason_text(QuarantineReason::ExtraColumns, c), line});
    }
  }
  return e;
}

void check_counters(std::string_view data, const RepairOptions& o, const BufferOutcome& out,
                    const std::vector<Row>& good, const std::vector<QuarantineEntry>& quarantine) {
  const auto context = [&] { return describe(o) + "; " + counters(out); };
  FUZZ_CHECK(out.total_rows == out.quorled_rows + out.quarantined_rows, context());
  FUZZ_CHECK(out.repaired_rows <= out.quorled_rows, context());
  FUZZ_CHECK(good.size() == out.quorled_rows, context());
  FUZZ_CHECK(quarantine.size() == out.quarantined_rows, context());
  if (data.empty()) {
    FUZZ_CHECK(out.total_rows == 0 && out.inferred_columns == 0 && out.delimiter == U',',
               context());
    return;
  }
  if (o.delimiter) {
    FUZZ_CHECK(out.delimiter == *o.delimiter, context());
  } else {
    FUZZ_CHECK(out.delimiter == U',' || out.delimiter == U';' || out.delimiter == U'\t' ||
                   out.delimiter == U'|',
               context());
  }
  if (o.expected_columns) FUZZ_CHECK(out.inferred_columns == *o.expected_columns, context());
  for (std::size_t i = 0; i < good.size(); ++i) {
    const Row& row = good[i];
    FUZZ_CHECK(out.inferred_columns == 0 || row.size() == out.inferred_columns,
               context() + "; good row " + std::to_string(i) + " " + show(row));
    for (const std::string& field : row) {
      FUZZ_CHECK(valid(field), context() + "; good row " + std::to_string(i) + " " + show(row));
    }
  }
  for (std::size_t i = 0; i < quarantine.size(); ++i) {
    for (const std::string& field : quarantine[i].fields) {
      FUZZ_CHECK(valid(field), context() + "; quarantined " + std::to_string(i) + " " +
                                   show(quarantine[i].fields));
    }
  }
}

void check_against_rules(std::string_view data, const RepairOptions& o, const BufferOutcome& out,
                         const std::vector<Row>& good,
                         const std::vector<QuarantineEntry>& quarantine) {
  const auto context = [&] { return describe(o) + "; " + counters(out); };
  const Expected e =
      expected_outcome(data, o, static_cast<std::uint8_t>(out.delimiter), out.inferred_columns);
  FUZZ_CHECK(out.total_rows == e.total, context() + "; expected total " + std::to_string(e.total));
  FUZZ_CHECK(out.repaired_rows == e.repaired,
             context() + "; expected repaired " + std::to_string(e.repaired));
  FUZZ_CHECK(good.size() == e.good.size() && quarantine.size() == e.quarantine.size(),
             context() + "; expected " + std::to_string(e.good.size()) + " good, " +
                 std::to_string(e.quarantine.size()) + " quarantined");
  for (std::size_t i = 0; i < good.size(); ++i) {
    FUZZ_CHECK(good[i] == e.good[i], context() + "; good row " + std::to_string(i) + " is " +
                                         show(good[i]) + ", expected " + show(e.good[i]));
  }
  for (std::size_t i = 0; i < quarantine.size(); ++i) {
    const QuarantineEntry& got = quarantine[i];
    const QuarantineEntry& want = e.quarantine[i];
    FUZZ_CHECK(got.fields == want.fields && got.reason == want.reason && got.line == want.line,
               context() + "; quarantined " + std::to_string(i) + " is " + show(got.fields) +
                   " line " + std::to_string(got.line) + " " + show(got.reason) + ", expected " +
                   show(want.fields) + " line " + std::to_string(want.line) + " " +
                   show(want.reason));
  }
}

// The writer copies a verbatim row's bytes as its output line and writes fields flagged plain
// without looking at them; the reader makes str objects of "ascii" rows without decoding and
// drops the input when no row refers to it.
void check_stored_rows(std::string_view data, const RepairOptions& o, const BufferOutcome& out,
                       const std::vector<Row>& good) {
  const auto context = [&] { return describe(o) + "; " + counters(out); };
  const std::string delimiter_text = code_point_utf8(out.delimiter);
  const bool input_released = !out.rows.refers_to_input();
  StoredRow row;
  std::size_t i = 0;
  for (auto cursor = out.rows.cursor(); cursor.next(row, true); ++i) {
    FUZZ_CHECK(i < good.size(), context());
    const auto where = [&] {
      return context() + "; good row " + std::to_string(i) + " " + show(good[i]);
    };
    if (row.verbatim) {
      std::string line(row.raw);
      for (std::uint64_t k = 0; k < row.padding; ++k)
        line += delimiter_text;
      line += '\n';
      const std::string want = format_output_line(good[i], out.delimiter, o.quote_char);
      FUZZ_CHECK(line == want, where() + ": verbatim " + show(line) + ", written as " + show(want));
      if (row.quote_free) {
        FUZZ_CHECK(row.raw.find(static_cast<char>(o.quote_char)) == std::string_view::npos,
                   where() + ": quote-free " + show(row.raw));
      }
      if (row.ascii) FUZZ_CHECK(ascii(row.raw), where() + ": ascii " + show(row.raw));
    } else {
      for (std::size_t k = 0; k < row.fields.size(); ++k) {
        if (!row.plain[k]) continue;
        const std::string_view field = row.fields[k];
        FUZZ_CHECK(encode_field(field, out.delimiter, o.quote_char) == field,
                   where() + ": field " + show(field) + " flagged plain");
      }
    }
    if (input_released) {
      for (const std::string_view field : row.fields) {
        FUZZ_CHECK(field.empty() || field.data() < data.data() ||
                       field.data() >= data.data() + data.size(),
                   where() + ": refers to the input, which the reader may release");
      }
    }
  }
  FUZZ_CHECK(i == good.size(), context());
}

// The counting pass of the sniffer and the inference and the collecting pass of the pipeline are
// one state machine with two sinks: they must agree on every record.
void check_counting_pass(std::string_view data, std::uint8_t delimiter, const RepairOptions& o) {
  const auto context = [&] {
    return describe(o) + ", applied delimiter " + std::to_string(delimiter);
  };
  RecordTokenizer collecting(data, delimiter, o.quote_char, o.repair_quotes);
  RecordTokenizer counting(data, delimiter, o.quote_char, o.repair_quotes);
  FieldCollector collector(data);
  FieldCounter counter(data);
  for (std::size_t index = 0;; ++index) {
    const auto where = [&] { return context() + "; record " + std::to_string(index); };
    const bool got = collecting.next(collector);
    FUZZ_CHECK(counting.next(counter) == got, where());
    if (!got) break;
    FUZZ_CHECK(counter.field_count() == collector.field_count(),
               where() + ": counted " + std::to_string(counter.field_count()) + ", collected " +
                   std::to_string(collector.field_count()));
    FUZZ_CHECK(counting.line() == collecting.line() && counting.position() == collecting.position(),
               where() + ": counting at line " + std::to_string(counting.line()) + " offset " +
                   std::to_string(counting.position()) + ", collecting at line " +
                   std::to_string(collecting.line()) + " offset " +
                   std::to_string(collecting.position()));
    if (collector.field_count() == 1) {
      const std::string_view text = collector.text(collector.fields()[0]);
      FUZZ_CHECK(counter.first_field_blank() == is_white_space_only(text),
                 where() + ": blank " + std::to_string(counter.first_field_blank()) + " for " +
                     show(text));
    }
  }
}

bool starts_with_bom(std::string_view s) {
  return s.starts_with("\xEF\xBB\xBF");
}

// The clean output, read with the run's delimiter and quote and its column count, gives back the
// good rows; so does each output line read alone.
void check_round_trip(const RepairOptions& o, const BufferOutcome& out,
                      const std::vector<Row>& good) {
  const auto d = static_cast<std::uint8_t>(out.delimiter);
  const std::uint8_t q = o.quote_char;
  if (d >= 0x80 || q >= 0x80 || d == q || d == '\r' || d == '\n' || q == '\r' || q == '\n') {
    return;
  }
  const auto context = [&] { return describe(o) + "; " + counters(out); };
  std::string clean;
  for (const Row& row : good) {
    const std::string line = format_output_line(row, d, q);
    clean += line;
    if (starts_with_bom(line)) continue;
    RecordTokenizer alone(line, d, q, true);
    const auto back = alone.next_record();
    FUZZ_CHECK(back && format_output_line(*back, d, q) == line && !alone.next_record(),
               context() + "; line " + show(line) + " of " + show(row) + " reads back as " +
                   (back ? show(*back) : "nothing"));
  }
  if (starts_with_bom(clean)) return;
  RepairOptions again;
  again.delimiter = d;
  again.quote_char = q;
  again.repair_quotes = o.repair_quotes;
  again.expected_columns = out.inferred_columns;
  const BufferOutcome back = process_buffer(clean, again);
  const std::vector<Row> rows = back.good_rows();
  FUZZ_CHECK(back.quarantined_rows == 0 && back.repaired_rows == 0 && rows.size() == good.size(),
             context() + "; read back: " + counters(back) + "; clean output " + show(clean));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    FUZZ_CHECK(rows[i] == good[i], context() + "; good row " + std::to_string(i) + " " +
                                       show(good[i]) + " reads back as " + show(rows[i]) +
                                       "; clean output " + show(clean));
  }
}

void check_run(std::string_view data, const RepairOptions& o) {
  const BufferOutcome out = process_buffer(data, o);
  const std::vector<Row> good = out.good_rows();
  const std::vector<QuarantineEntry> quarantine = out.quarantine();
  check_counters(data, o, out, good, quarantine);
  if (data.empty()) return;
  check_against_rules(data, o, out, good, quarantine);
  check_stored_rows(data, o, out, good);
  check_counting_pass(data, static_cast<std::uint8_t>(out.delimiter), o);
  check_round_trip(o, out, good);
}

// Null where the build or the processor lacks it: the fastest.
ClassifyBlock classifier(unsigned choice) {
  static constexpr std::string_view names[] = {"", "scalar", "sse2", "avx2"};
  return block_classifier(names[choice & 3]);
}

}  // namespace
}  // namespace quorle::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace quorle;
  if (size < 4) return 0;
  const std::uint8_t flags = bytes[0];
  engine::RepairOptions options;
  if (flags & 1) options.delimiter = bytes[1];
  options.quote_char = bytes[2];
  options.fill_ragged_rows = (flags & 2) != 0;
  options.merge_overflow = (flags & 4) != 0;
  options.repair_quotes = (flags & 8) != 0;
  switch ((flags >> 4) & 3) {
    case 1: options.expected_columns = bytes[3] % 64 + 1; break;
    case 2: options.expected_columns = 0; break;
    default: break;  // inferred
  }
  engine::use_block_classifier(fuzz::classifier(flags >> 6));
  const std::string_view data(reinterpret_cast<const char*>(bytes + 4), size - 4);
  try {
    fuzz::check_run(data, options);
  } catch (const InternalError& e) {
    fuzz::fail(std::string("internal check: ") + e.what() + "; " + fuzz::describe(options));
  }
  return 0;
}

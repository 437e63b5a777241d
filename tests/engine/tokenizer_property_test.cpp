// The bulk-scanning tokenizer against the byte-at-a-time reference on random buffers built from
// the bytes that matter, with lengths that cross the scanner's 64-byte blocks.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/block_masks.hpp"
#include "engine/pipeline.hpp"
#include "engine/tokenizer.hpp"
#include "engine/utf8.hpp"
#include "random_buffers.hpp"
#include "reference_tokenizer.hpp"

namespace quorle::engine {
namespace {

using testing::Options;
using testing::RandomBuffers;
using testing::ReferenceTokenizer;

std::string code_point(std::uint8_t b) {
  return code_point_utf8(b);
}

// The clean encoding of a field, straight from the output rules.
std::string encode(const std::string& field, std::uint8_t delimiter, std::uint8_t quote) {
  const std::string d = code_point(delimiter), q = code_point(quote);
  const bool needs = field.find(q) != std::string::npos || field.find(d) != std::string::npos ||
                     field.find_first_of("\r\n") != std::string::npos;
  if (!needs) return field;
  std::string out = q;
  for (std::size_t i = 0; i < field.size();) {
    if (field.compare(i, q.size(), q) == 0) {
      out += q + q;
      i += q.size();
    } else {
      out += field[i++];
    }
  }
  return out + q;
}

void compare_with_reference(const std::string& input, const Options& o) {
  SCOPED_TRACE(::testing::PrintToString(input) + " delimiter " + std::to_string(o.delimiter) +
               " quote " + std::to_string(o.quote) + " repair " + std::to_string(o.repair));
  ReferenceTokenizer reference(input, o.delimiter, o.quote, o.repair);
  RecordTokenizer fast(input, o.delimiter, o.quote, o.repair);
  RecordTokenizer counting(input, o.delimiter, o.quote, o.repair);
  FieldCollector collector(input);
  FieldCounter counter(input);
  std::vector<Row> records;
  for (std::size_t index = 0;; ++index) {
    SCOPED_TRACE("record " + std::to_string(index));
    const auto expected = reference.next_record();
    const bool got = fast.next(collector);
    ASSERT_EQ(got, expected.has_value());
    ASSERT_EQ(counting.next(counter), got);
    if (!got) break;
    Row row;
    for (const FieldText& f : collector.fields())
      row.emplace_back(collector.text(f));
    ASSERT_EQ(row, *expected);
    ASSERT_EQ(fast.line(), reference.line());
    ASSERT_EQ(fast.last_span().ended_with_break, reference.ended_with_break());
    ASSERT_EQ(fast.position(), counting.position());
    ASSERT_EQ(counter.field_count(), row.size());
    if (row.size() == 1) {
      ASSERT_EQ(counter.first_field_blank(), is_white_space_only(row[0]));
    }
    if (fast.last_span().verbatim) {
      std::string line;
      for (std::size_t i = 0; i < row.size(); ++i) {
        if (i) line += static_cast<char>(o.delimiter);
        line += encode(row[i], o.delimiter, o.quote);
      }
      const RecordSpan& span = fast.last_span();
      ASSERT_EQ(line, input.substr(span.begin, span.end - span.begin));
    }
    records.push_back(row);
  }
  // With no column count enforced every record is a good row, stored compactly and read back.
  RepairOptions options;
  options.delimiter = o.delimiter;
  options.quote_char = o.quote;
  options.repair_quotes = o.repair;
  options.expected_columns = 0;
  ASSERT_EQ(process_buffer(input, options).good_rows(), records);
}

// Each block classifier that this build and processor run, so that every instruction set is
// checked.
class TokenizerProperty : public ::testing::TestWithParam<std::string_view> {
 protected:
  void SetUp() override {
    ClassifyBlock c = block_classifier(GetParam());
    if (!c) GTEST_SKIP() << GetParam() << " is not available here";
    use_block_classifier(c);
  }
  void TearDown() override { use_block_classifier(nullptr); }
};

TEST_P(TokenizerProperty, MatchesReferenceOnShortBuffers) {
  RandomBuffers random(20261207);
  for (int i = 0; i < 10000; ++i) {
    const Options o = random.options();
    compare_with_reference(random.buffer(o, 200), o);
    if (HasFatalFailure()) return;
  }
}

// Mostly well-formed records (fields quoted where needed, quotes doubled), now and then damaged,
// so that the bulk path for quoted records is taken as often as it is refused.
TEST_P(TokenizerProperty, MatchesReferenceOnEncodedRecords) {
  RandomBuffers random(4242);
  for (int i = 0; i < 3000; ++i) {
    Options o = random.options();
    if (o.delimiter >= 0x80 || o.quote >= 0x80 || o.delimiter == o.quote) o = {',', '"', true};
    std::string input;
    const std::uint64_t records = random.below(20);
    for (std::uint64_t r = 0; r < records; ++r) {
      const std::uint64_t fields = 1 + random.below(6);
      for (std::uint64_t f = 0; f < fields; ++f) {
        if (f) input += static_cast<char>(o.delimiter);
        std::string text = random.buffer(o, random.below(3) ? 6 : 40);
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
        std::string field = encode(text, o.delimiter, o.quote);
        if (random.below(3) == 0 && field == text) {  // quoted although nothing needs it
          field = static_cast<char>(o.quote) + text + static_cast<char>(o.quote);
          if (text.find(static_cast<char>(o.quote)) != std::string::npos) field = text;
        }
        if (random.below(25) == 0 && !field.empty()) {  // damage
          field.insert(random.below(field.size()), 1, static_cast<char>(o.quote));
        }
        input += field;
      }
      input += random.below(4) ? "\n" : random.below(2) ? "\r\n" : "\r";
    }
    compare_with_reference(input, o);
    if (HasFatalFailure()) return;
  }
}

TEST_P(TokenizerProperty, MatchesReferenceOnLongBuffers) {
  RandomBuffers random(7);
  for (int i = 0; i < 200; ++i) {
    const Options o = random.options();
    compare_with_reference(random.buffer(o, 5000), o);
    if (HasFatalFailure()) return;
  }
}

// The package's rules on top (the re-read, escapes, skipped spaces, text after a closing quote,
// CR lines inside quotes, the width): records, lines and what each rule did, for a collector and
// for a counter. Returns how often the quote rules acted, so the caller can tell they were met.
struct RulesMet {
  std::uint64_t literal = 0, stray = 0, inline_stray = 0;
};

void compare_package_rules(const std::string& input, const Options& o, std::uint64_t width,
                           int escape, bool skip_space, RulesMet& met) {
  SCOPED_TRACE(::testing::PrintToString(input) + " delimiter " + std::to_string(o.delimiter) +
               " quote " + std::to_string(o.quote) + " repair " + std::to_string(o.repair) +
               " width " + std::to_string(width) + " escape " + std::to_string(escape) +
               " skip space " + std::to_string(skip_space));
  TokenizerExtras extras;
  extras.reread_unterminated = true;
  extras.escape = escape;
  extras.skip_initial_space = skip_space;
  extras.literal_quotes = true;
  extras.quoted_cr_ends_line = true;
  ReferenceTokenizer reference(input, o.delimiter, o.quote, o.repair);
  reference.set_extras(true, escape, skip_space);
  reference.set_quote_rules(true, true);
  reference.set_width(width);
  RecordTokenizer fast(input, o.delimiter, o.quote, o.repair);
  RecordTokenizer counting(input, o.delimiter, o.quote, o.repair);
  for (RecordTokenizer* t : {&fast, &counting}) {
    t->set_extras(extras);
    t->set_width(width);
  }
  FieldCollector collector(input);
  FieldCounter counter(input);
  for (std::size_t index = 0;; ++index) {
    SCOPED_TRACE("record " + std::to_string(index));
    const auto expected = reference.next_record();
    const bool got = fast.next(collector);
    ASSERT_EQ(got, expected.has_value());
    ASSERT_EQ(counting.next(counter), got);
    if (!got) break;
    Row row;
    for (const FieldText& f : collector.fields())
      row.emplace_back(collector.text(f));
    ASSERT_EQ(row, *expected);
    const RecordSpan& span = fast.last_span();
    ASSERT_EQ(fast.line(), reference.line());
    ASSERT_EQ(span.ended_with_break, reference.ended_with_break());
    ASSERT_EQ(span.rereads, reference.rereads());
    ASSERT_EQ(span.literal_quotes, reference.literal_quotes());
    ASSERT_EQ(span.stray_quote_lines, reference.stray_quote_lines());
    ASSERT_EQ(fast.position(), counting.position());
    ASSERT_EQ(counter.field_count(), row.size());
    ASSERT_EQ(counting.last_span().stray_quote_lines, span.stray_quote_lines);
    if (span.verbatim) {
      std::string line;
      for (std::size_t i = 0; i < row.size(); ++i) {
        if (i) line += code_point(o.delimiter);
        line += encode(row[i], o.delimiter, o.quote);
      }
      ASSERT_EQ(line, input.substr(span.begin, span.end - span.begin));
    }
    met.literal += span.literal_quotes;
    met.stray += span.stray_quote_lines != 0;
  }
}

TEST_P(TokenizerProperty, PackageRulesMatchReference) {
  RandomBuffers random(31337);
  RulesMet met;
  for (int i = 0; i < 20000; ++i) {
    const Options o = random.options();
    const std::uint64_t width = random.below(3) == 0 ? 0 : 1 + random.below(5);
    const int escape = random.below(4) == 0 ? '\\' : -1;
    const bool skip_space = random.below(4) == 0;
    compare_package_rules(random.buffer(o, random.below(10) == 0 ? 2000 : 120), o, width, escape,
                          skip_space, met);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(met.literal, 1000u);
  EXPECT_GT(met.stray, 100u);
}

// Lines made of quote runs, doubled quotes and stray quotes, so that fields open inside the
// stretches of quoted fields read before: the shortcuts that skip scanning such a stretch again
// must find what the scan would.
TEST_P(TokenizerProperty, PackageRulesMatchReferenceInsideQuotedStretches) {
  static const char* const pieces[] = {"\"\"\"a\"\",z", "\"\"\"\"", "\"\"b", "\"x",  "w\" t",
                                       "w\"",          "a",            "\"q\"r", "\"\"\"", "\"p\"",
                                       " ",            "\\\"",       "\"\"\"\"\"c"};
  RandomBuffers random(5150);
  RulesMet met;
  for (int i = 0; i < 20000; ++i) {
    const Options o{',', '"', random.below(5) != 0};
    std::string input;
    const std::uint64_t lines = 1 + random.below(12);
    for (std::uint64_t l = 0; l < lines; ++l) {
      const std::uint64_t fields = 1 + random.below(4);
      for (std::uint64_t f = 0; f < fields; ++f) {
        if (f) input += ',';
        for (std::uint64_t k = random.below(3); k-- > 0;)
          input += pieces[random.below(std::size(pieces))];
      }
      input += random.below(6) ? "\n" : random.below(2) ? "\r\n" : "\r";
    }
    const std::uint64_t width = random.below(4) == 0 ? 0 : 1 + random.below(4);
    compare_package_rules(input, o, width, random.below(4) == 0 ? '\\' : -1, random.below(5) == 0,
                          met);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(met.literal, 1000u);
  EXPECT_GT(met.stray, 100u);
}

INSTANTIATE_TEST_SUITE_P(EachInstructionSet, TokenizerProperty,
                         ::testing::ValuesIn(BLOCK_CLASSIFIERS));

TEST(QuoteLookahead, MatchesThePlainScan) {
  // Every quote position of random lines, asked in increasing order as the tokenizer does.
  RandomBuffers random(99);
  for (int i = 0; i < 3000; ++i) {
    const Options o = random.options();
    const std::string s = random.buffer(o, 300);
    const auto* d = reinterpret_cast<const std::uint8_t*>(s.data());
    QuoteLookahead lookahead(d, s.size(), o.delimiter, o.quote);
    for (std::size_t p = 0; p + 1 < s.size(); ++p) {
      if (d[p] != o.quote || d[p + 1] == o.quote) continue;
      bool closes = true;
      if (!lookahead.field_end_follows(p)) {
        for (std::size_t k = p + 1; k < s.size() && d[k] != '\n' && d[k] != '\r'; ++k) {
          if (d[k] == o.quote && lookahead.field_end_follows(k)) {
            closes = false;
            break;
          }
        }
      }
      ASSERT_EQ(lookahead.closes(p), closes) << ::testing::PrintToString(s) << " at " << p;
    }
  }
}

}  // namespace
}  // namespace quorle::engine

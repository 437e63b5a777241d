// Drafts in the row store against the collector the backend keeps: the same fields and decoding,
// and the fits (first fields, merged tail, empty tail) as list operations on the collected
// fields. Then wide rows, texts across the store's growth and the decoder's pieces, and the
// re-read of an unterminated quote against the reference tokenizer.
#include "engine/row_draft.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/legacy_bytes.hpp"
#include "engine/pipeline.hpp"
#include "engine/tokenizer.hpp"
#include "engine/report_pass.hpp"
#include "engine/utf8.hpp"
#include "reference_tokenizer.hpp"

namespace quorle::engine {
namespace {

using Texts = std::vector<std::string>;

Texts collected(const FieldCollector& record) {
  Texts texts;
  for (const FieldText& f : record.fields())
    texts.emplace_back(record.text(f));
  return texts;
}

std::vector<Texts> stored_rows(const RowStore& store) {
  std::vector<Texts> rows;
  StoredRow row;
  for (auto cursor = store.cursor(); cursor.next(row, true);) {
    Texts t(row.fields.begin(), row.fields.end());
    t.resize(row.field_count());
    rows.push_back(t);
  }
  return rows;
}

struct DraftSetup {
  std::uint8_t delimiter = ',';
  bool repair = true;
  TokenizerExtras extras;
  bool cp1252 = false;
};

RecordTokenizer tokenizer_for(const std::string& input, const DraftSetup& s) {
  RecordTokenizer t(input, s.delimiter, '"', s.repair);
  t.set_extras(s.extras);
  return t;
}

// Tokenizes `input` into a collector and, in step, into drafts; each draft is committed whole,
// cut, merged or dropped at random, and the store must read back those fits of the collected
// fields.
void expect_drafts_match_collector(const std::string& input, const DraftSetup& s,
                                   std::mt19937_64& rng) {
  RecordTokenizer plain = tokenizer_for(input, s);
  RecordTokenizer drafted = tokenizer_for(input, s);
  FieldCollector collector(input);
  collector.set_legacy_cp1252(s.cp1252);
  RowStore store(input, s.delimiter, '"');
  RowDraft draft(store, input);
  draft.set_legacy_cp1252(s.cp1252);
  const std::string joiner = code_point_utf8(s.delimiter);
  std::vector<Texts> expected;
  for (std::size_t i = 0; plain.next(collector); ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    ASSERT_TRUE(drafted.next(draft));
    ASSERT_EQ(draft.field_count(), collector.field_count());
    ASSERT_EQ(draft.valid_utf8(), collector.valid_utf8());
    Texts fields = collected(collector);
    const std::uint64_t n = fields.size();
    const std::uint64_t c = 1 + rng() % n;
    bool empty_tail = true;
    for (std::uint64_t k = c; k < n; ++k)
      empty_tail &= fields[k].empty();
    ASSERT_EQ(draft.empty_from(c), empty_tail);
    switch (rng() % 4) {
      case 0: {
        const std::uint64_t padding = rng() % 3;
        draft.commit(padding);
        fields.resize(n + padding);
        expected.push_back(fields);
        break;
      }
      case 1:
        draft.commit_first(c);
        fields.resize(c);
        expected.push_back(fields);
        break;
      case 2: {
        draft.commit_merged(c, joiner);
        for (std::uint64_t k = c; k < n; ++k)
          fields[c - 1] += joiner + fields[k];
        fields.resize(c);
        expected.push_back(fields);
        break;
      }
      default:
        draft.drop();
    }
  }
  ASSERT_FALSE(drafted.next(draft));
  EXPECT_EQ(stored_rows(store), expected);
}

TEST(RowDraft, MatchesTheCollectorOnRandomBuffers) {
  std::mt19937_64 rng(20261208);
  auto below = [&](std::uint64_t n) { return rng() % n; };
  // Delimiters, quotes, escapes, line breaks, blanks, well-formed and ill-formed UTF-8.
  static const std::string pieces[] = {",",  "\"", "\"", "\"\"", "\\", "\n",   "\r",  " ",
                                       "a",  "b",  ";",  "\xC3\xA9", "\xFF", "\xE2\x82",
                                       "\xA7", "\xC2\xA7"};
  for (int round = 0; round < 6000; ++round) {
    std::string s;
    const std::size_t length = below(below(8) == 0 ? 400 : 40);
    while (s.size() < length) {
      if (below(12) == 0) {
        s.append(below(90), 'x');
      } else {
        s += pieces[below(std::size(pieces))];
      }
    }
    DraftSetup setup;
    setup.delimiter = below(4) == 0 ? ';' : below(5) == 0 ? 0xA7 : ',';
    setup.repair = below(4) != 0;
    setup.extras.reread_unterminated = below(4) != 0;
    setup.extras.escape = below(3) == 0 ? '\\' : -1;
    setup.extras.skip_initial_space = below(5) == 0;
    setup.cp1252 = below(2) == 0;
    SCOPED_TRACE(::testing::PrintToString(s));
    expect_drafts_match_collector(s, setup, rng);
    if (HasFatalFailure()) return;
  }
}

// Records of thousands of fields, so that their fields go on to the draft a list at a time, with
// texts of the input and of the arena (doubled quotes, ill-formed bytes) in every list.
TEST(RowDraft, WideMixedRecordsMatchTheCollector) {
  std::mt19937_64 rng(20261209);
  static const std::string fields[] = {"x",      "",        "\"q\"",       "\"a\"\"b\"", "\"\"",
                                       "\"c,d\"", "e\xFF" "f", "\"g\xFE\"\"\"", "\"h\" "};
  for (int round = 0; round < 20; ++round) {
    std::string input;
    for (int record = 0; record < 3; ++record) {
      const std::size_t width = 1 + rng() % 3000;
      for (std::size_t i = 0; i < width; ++i)
        input += (i ? "," : "") + fields[rng() % std::size(fields)];
      input += "\n";
    }
    DraftSetup setup;
    setup.extras.reread_unterminated = true;
    setup.cp1252 = round % 2 == 0;
    expect_drafts_match_collector(input, setup, rng);
    if (HasFatalFailure()) return;
  }
}

// A merge of input texts that lie one delimiter apart is that stretch of the input itself.
TEST(RowDraft, MergedPlainTextsAreTheInputStretch) {
  struct Case {
    const char* input;
    std::uint64_t columns;
    const char* last;
    bool in_input;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"a,\"q\",c,d,e\n", 3, "c,d,e", true},
           {"\"q\",,,x\n", 2, ",,x", true},      // empty texts lead
           {"\"q\",x,,\n", 2, "x,,", true},      // and trail
           {"\"q\",x,\"y\",z\n", 2, "x,y,z", false},  // a quoted text breaks the stretch
           {"\"q\",x,\"y\"\"\"\n", 2, "x,y\"", false},
           {"\"q\",\"\",\"\"\n", 2, ",", false},  // only empty texts: no place in the input
       }) {
    SCOPED_TRACE(c.input);
    const std::string input = c.input;
    RowStore store(input, ',', '"');
    RowDraft draft(store, input);
    RecordTokenizer tokenizer(input, ',', '"', true);
    ASSERT_TRUE(tokenizer.next(draft));
    draft.commit_merged(c.columns, ",");
    StoredRow row;
    std::uint64_t stored = 0;
    auto cursor = store.cursor();
    ASSERT_TRUE(cursor.next_head(row, stored));
    ASSERT_EQ(stored, c.columns);
    StoredField last;
    for (std::uint64_t i = 0; i < stored; ++i)
      last = cursor.next_field();
    EXPECT_EQ(last.text, c.last);
    EXPECT_EQ(!last.in_arena, c.in_input);
  }
}

// Rows of one to a million fields, stored as they are and merged into three columns, with plain
// and with quoted fields (whose texts are no stretch of the input).
TEST(RowDraft, WideRows) {
  for (const std::uint64_t width :
       {std::uint64_t{1}, std::uint64_t{1} << 16, std::uint64_t{1} << 20}) {
    for (const bool quoted : {false, true}) {
      SCOPED_TRACE(std::to_string(width) + (quoted ? " quoted" : " plain"));
      std::string wide;
      Texts texts;
      for (std::uint64_t i = 0; i < width; ++i) {
        texts.push_back(std::to_string(i % 1000));
        if (i) wide += ',';
        wide += quoted ? "\"" + texts.back() + "\" " : texts.back();  // a blank: not verbatim
      }
      const std::string input = "a,b,c\n" + wide + "\n1,2,3\n";
      Texts merged(texts.begin(), texts.begin() + std::min<std::uint64_t>(width, 3));
      for (std::uint64_t i = 3; i < width; ++i)
        merged[2] += "," + texts[i];
      merged.resize(3);
      for (const bool fitted : {true, false}) {
        ReportPassOptions options;
        if (!fitted) {
          options.header = false;
          options.expected_columns = width;
        }
        ReportPassOutcome out;
        ASSERT_TRUE(report_pass(input, options, out));
        const std::vector<Texts> rows = stored_rows(out.rows);
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_TRUE(rows[1] == (fitted ? merged : texts));
      }
    }
  }
}

// Texts pieced together in the arena across its growth: sizes around its first capacity and
// several doublings, each with doubled quotes at the edges of the pieces.
TEST(RowDraft, TextsAcrossTheStoreGrowth) {
  std::string input, first_expected;
  std::vector<std::string> expected;
  for (const std::size_t size : {std::size_t{4094}, std::size_t{4095}, std::size_t{4096},
                                 std::size_t{8193}, std::size_t{3} << 20}) {
    std::string raw = "\"", text;
    for (std::size_t i = 0; text.size() < size; ++i) {
      const char c = static_cast<char>('a' + i % 26);
      raw += c;
      text += c;
      if (i % 4093 == 0) {
        raw += "\"\"";
        text += '"';
      }
    }
    raw += "\" ";
    input += (input.empty() ? "" : ",") + raw;
    expected.push_back(text);
  }
  input += "\n";
  RowStore store(input, ',', '"');
  RowDraft draft(store, input);
  RecordTokenizer tokenizer(input, ',', '"', true);
  TokenizerExtras extras;
  extras.reread_unterminated = true;
  tokenizer.set_extras(extras);
  ASSERT_TRUE(tokenizer.next(draft));
  draft.commit(0);
  EXPECT_EQ(stored_rows(store), std::vector<Texts>{expected});
}

// An ill-formed field longer than the decoder's piece: every placement of a multi-byte
// sequence across the cut decodes as the whole field does.
TEST(RowDraft, LongIllFormedFieldsDecodeAsAWhole) {
  constexpr std::size_t piece = std::size_t{1} << 20;
  static const std::string sequences[] = {"\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xE2\x82", "\xFF",
                                          "\x80\x80\x80\x80\x80", "\xC3"};
  for (const std::string& seq : sequences) {
    for (std::size_t at = piece - 5; at <= piece + 1; ++at) {
      for (const bool cp1252 : {false, true}) {
        SCOPED_TRACE(::testing::PrintToString(seq) + " at " + std::to_string(at));
        std::string text(piece + 64, 'x');
        text.replace(at, seq.size(), seq);
        text[10] = '\xFE';  // the field is ill-formed wherever the sequence falls
        const std::string input = "\"" + text + "\"\n";
        RowStore store(input, ',', '"');
        RowDraft draft(store, input);
        draft.set_legacy_cp1252(cp1252);
        RecordTokenizer tokenizer(input, ',', '"', true);
        ASSERT_TRUE(tokenizer.next(draft));
        EXPECT_FALSE(draft.valid_utf8());
        draft.commit(0);
        std::string whole;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        if (cp1252) {
          append_utf8_or_cp1252(whole, bytes, text.size());
        } else {
          append_lossy_utf8(whole, bytes, text.size());
        }
        const std::vector<Texts> rows = stored_rows(store);
        ASSERT_EQ(rows.size(), 1u);
        ASSERT_TRUE(rows[0][0] == whole);
      }
    }
  }
}

// An unterminated quote, placed at several records of a file whose later records hold doubled
// quotes only (so that it runs to the end), is read again with the records after it coming back
// as the reference has them; with more and with less than a mebibyte after it (a quoted field
// hands over its pieces as it goes only that far).
TEST(RowDraft, RereadAtSeveralPlaces) {
  for (const std::size_t records : {3000u, 120000u}) {
    std::string tail;
    for (std::size_t i = 0; i < records; ++i)
      tail += i % 3 == 0 ? "2,a \"\"b\"\" c,d\n" : i % 3 == 1 ? "3,\"\"\"\",z\n" : "4,plain,g\n";
    for (const std::size_t records_before : {std::size_t{0}, std::size_t{1}, records / 2,
                                             records - 1}) {
      SCOPED_TRACE(std::to_string(records_before) + " of " + std::to_string(records));
      std::string input = "id,note,more\n";
      std::size_t from = 0;
      for (std::size_t i = 0; i < records_before; ++i)
        from = tail.find('\n', from) + 1;
      input += tail.substr(0, from) + "1,\"never closed,x\n" + tail.substr(from);
      RowStore store(input, ',', '"');
      RowDraft draft(store, input);
      RecordTokenizer tokenizer(input, ',', '"', true);
      TokenizerExtras extras;
      extras.reread_unterminated = true;
      tokenizer.set_extras(extras);
      testing::ReferenceTokenizer reference(input, ',', '"', true);
      reference.set_extras(true, -1);
      std::vector<Texts> expected;
      std::uint32_t rereads = 0;
      while (tokenizer.next(draft)) {
        draft.commit(0);
        rereads += tokenizer.last_span().rereads;
        expected.push_back(reference.next_record().value());
      }
      EXPECT_FALSE(reference.next_record().has_value());
      EXPECT_EQ(rereads, 1u);
      EXPECT_TRUE(stored_rows(store) == expected);
      EXPECT_EQ(store.size(), records + 2);
    }
  }
}

}  // namespace
}  // namespace quorle::engine

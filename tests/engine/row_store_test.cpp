#include "engine/row_store.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorle::engine {
namespace {

std::vector<std::string> strings(std::span<const std::string_view> views) {
  return {views.begin(), views.end()};
}

TEST(RowStore, ReadsBackWhatWasStored) {
  const std::string input = "a,b\n\"c,d\",e\nf,g";
  RowStore store(input, ',', '"');
  store.add_verbatim(0, 3, 0);
  store.add_verbatim(4, 7, 2);
  store.begin_row(4, 1);
  store.add_input_field(12, 1);
  store.add_text_field("made up");
  store.add_input_field(0, 0);
  store.begin_text();
  store.append_text("x");
  store.append_text(",y");
  store.end_text();
  store.begin_row(1, 0);
  store.add_input_field(14, 0);
  ASSERT_EQ(store.size(), 4u);

  auto cursor = store.cursor();
  StoredRow row;
  ASSERT_TRUE(cursor.next(row, true));
  EXPECT_TRUE(row.verbatim);
  EXPECT_EQ(row.raw, "a,b");
  EXPECT_EQ(strings(row.fields), (std::vector<std::string>{"a", "b"}));
  ASSERT_TRUE(cursor.next(row, false));
  EXPECT_EQ(row.raw, "\"c,d\",e");
  EXPECT_TRUE(row.fields.empty());
  EXPECT_EQ(row.padding, 2u);
  ASSERT_TRUE(cursor.next(row, true));
  EXPECT_FALSE(row.verbatim);
  EXPECT_EQ(strings(row.fields), (std::vector<std::string>{"f", "made up", "", "x,y"}));
  EXPECT_EQ(row.field_count(), 5u);
  ASSERT_TRUE(cursor.next(row, true));
  EXPECT_EQ(strings(row.fields), (std::vector<std::string>{""}));
  EXPECT_FALSE(cursor.next(row, true));
  EXPECT_EQ(cursor.index(), 4u);
}

// Fields read one at a time, unread ones skipped; drafts committed with their count, dropped or
// cut, each leaving the store as if only the rows kept had been added.
TEST(RowStore, DraftsAndFieldsOneAtATime) {
  const std::string input = "a,b,c\nd,e\nf,g\n";
  RowStore store(input, ',', '"');
  store.begin_draft();
  store.add_input_field(0, 1);
  store.add_text_field("made up");
  store.commit_draft(2, 1);
  store.begin_draft();
  store.add_input_field(2, 1);
  store.add_text_field("gone");
  store.drop_draft();
  store.add_verbatim(6, 3, 0);
  store.begin_draft();
  store.add_input_field(10, 1);
  store.add_text_field("kept");
  store.add_text_field("cut");
  store.add_input_field(12, 1);
  auto reader = store.cursor();
  reader.seek(store.draft_start());
  (void)reader.next_field();
  (void)reader.next_field();
  store.cut_draft(reader.position());
  store.commit_draft(2, 0);
  ASSERT_EQ(store.size(), 3u);

  auto cursor = store.cursor();
  StoredRow row;
  std::uint64_t stored = 0;
  ASSERT_TRUE(cursor.next_head(row, stored));
  EXPECT_EQ(stored, 2u);
  EXPECT_EQ(row.padding, 1u);
  EXPECT_EQ(cursor.next_field().text, "a");  // the second field is left unread
  ASSERT_TRUE(cursor.next_head(row, stored));
  EXPECT_TRUE(row.verbatim);
  EXPECT_EQ(row.raw, "d,e");
  ASSERT_TRUE(cursor.next(row, true));
  EXPECT_EQ(strings(row.fields), (std::vector<std::string>{"f", "kept"}));
  EXPECT_FALSE(cursor.next(row, true));
}

TEST(SplitVerbatim, WellFormedRecords) {
  struct Case {
    std::string raw;
    std::vector<std::string> fields;
  };
  for (const Case& c : std::vector<Case>{
           {"", {""}},
           {",", {"", ""}},
           {"a,", {"a", ""}},
           {"a,b,c", {"a", "b", "c"}},
           {"\"a,b\"", {"a,b"}},
           {"\"a\"\"b\",\"\"\"\",x", {"a\"b", "\"", "x"}},
           {"\"x\ny\",\"\r\"", {"x\ny", "\r"}},
           {"\"1,\"\"2\"\"\",\"3\"\"\",", {"1,\"2\"", "3\"", ""}},
       }) {
    SCOPED_TRACE(testing::PrintToString(c.raw));
    std::vector<std::string_view> fields;
    std::string unescaped;
    split_verbatim(c.raw, ',', '"', fields, unescaped);
    EXPECT_EQ(strings(fields), c.fields);
  }
}

}  // namespace
}  // namespace quorle::engine

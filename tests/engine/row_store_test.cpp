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

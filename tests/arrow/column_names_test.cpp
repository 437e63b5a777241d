#include "arrow/column_names.hpp"

#include <gtest/gtest.h>

#include <set>

namespace quorle::arrow {
namespace {

using Names = std::vector<std::string>;

TEST(ColumnNames, Table) {
  const struct {
    Names in, out;
  } cases[] = {
      {{}, {}},
      {{"id", "name"}, {"id", "name"}},
      {{"", "", ""}, {"column_1", "column_2", "column_3"}},
      {{"a", "", "b"}, {"a", "column_2", "b"}},
      {{"a", "a", "a"}, {"a", "a_2", "a_3"}},
      // A suffix never takes a name the header gives later, nor one it gave earlier.
      {{"a", "a", "a_2"}, {"a", "a_3", "a_2"}},
      {{"a_2", "a", "a"}, {"a_2", "a", "a_3"}},
      {{"column_2", ""}, {"column_2", "column_2_2"}},
      {{"", "column_1"}, {"column_1", "column_1_2"}},
      {{"x", "x_2", "x", "x_2"}, {"x", "x_2", "x_3", "x_2_2"}},
      {{"é", "é", "名前"}, {"é", "é_2", "名前"}},
      // A NUL would end the name's C string: "TR" for both, or an empty name.
      {{std::string("TR\0UE", 5), std::string("TR\0X", 4), std::string("\0", 1)},
       {"TR\uFFFDUE", "TR\uFFFDX", "\uFFFD"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(unique_column_names(c.in), c.out);
}

TEST(ColumnNames, ManyDuplicatesStayUnique) {
  Names in(5000, "v");
  in.push_back("v_17");
  const Names out = unique_column_names(in);
  EXPECT_EQ(std::set<std::string>(out.begin(), out.end()).size(), out.size());
  EXPECT_EQ(out.back(), "v_17");
  EXPECT_EQ(out[16], "v_18");
}

}  // namespace
}  // namespace quorle::arrow

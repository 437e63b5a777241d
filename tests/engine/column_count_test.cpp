#include "engine/column_count.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorle::engine {
namespace {

std::string repeat(const std::string& s, int times) {
  std::string out;
  for (int i = 0; i < times; ++i)
    out += s;
  return out;
}

TEST(InferColumnCount, TakesTheMostFrequentCount) {
  struct Case {
    std::string name, text;
    std::uint64_t expected;
    char delimiter = ',';
  };
  for (const Case& c : std::vector<Case>{
           {"empty", "", 0},
           {"byte order mark only", "\xEF\xBB\xBF", 0},
           {"blank lines only", "\n \n\r\n\xE3\x80\x80\n", 0},
           {"single record", "a,b,c,d", 4},
           {"majority", "a,b,c\n1,2,3\nx,y,z,u,v\n", 3},
           {"first 100 counted records only",
            repeat("a,b,c\n", 100) + repeat("a,b,c,d,e,f,g\n", 500), 3},
           {"blank lines do not count towards 100",
            repeat("a,b,c\n\n  \n", 100) + repeat("a,b,c,d,e,f,g\n", 500), 3},
           {"line of two tabs with the tab", "\t\t\n", 3, '\t'},
           {"no delimiter gives 1", "abc\ndef\n", 1},
           {"one field wins when most records have one", "a\nb\nc,d\n", 1},
           {"quoted delimiter is one field", "\"a,b\",c\n\"d,e\",f\n", 2},
           {"byte order mark does not change the first record",
            "\xEF\xBB\xBF"
            "a,b\n",
            2},
           {"tie: the count seen first", "a,b\na,b,c\n", 2},
           {"tie, other order", "a,b,c\na,b\n", 3},
       }) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(infer_column_count(c.text, static_cast<std::uint8_t>(c.delimiter)), c.expected);
  }
}

}  // namespace
}  // namespace quorle::engine

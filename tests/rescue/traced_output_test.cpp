// The clean rows as the package writes them: rows of blank fields, and a U+FEFF opening the file,
// keep a quote, so that the clean file reads back as the same rows, whether a row is copied from
// the input or built.
#include "rescue/traced_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>

namespace quorle::rescue {
namespace {

std::string clean(const std::string& input, engine::TracedOptions options,
                  std::uint8_t output_delimiter) {
  engine::TracedOutcome out;
  EXPECT_TRUE(engine::traced_pass(input, options, out));
  const std::string path = ::testing::TempDir() + "traced_output.csv";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  EXPECT_GE(fd, 0);
  {
    TracedRowWriter writer(fd, input, output_delimiter);
    const std::atomic<bool> stop{false};
    EXPECT_FALSE(writer.write(out.rows, stop));
    EXPECT_FALSE(writer.finish());
  }
  ::close(fd);
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(TracedRowWriter, WhatWouldReadBackOtherwiseIsQuoted) {
  const struct {
    const char* input;
    char delimiter, output_delimiter;
    bool skip_blank_lines;
    const char* output;
  } cases[] = {
      // Copied from the input (same delimiter, double quote), then built (another delimiter).
      {"a,b\n,\nx,y\n", ',', ',', true, "a,b\n\"\",\nx,y\n"},
      {"a,b\n,\nx,y\n", ',', ';', true, "a;b\n\"\";\nx;y\n"},
      {"a,b\n \t, \n", ',', ',', true, "a,b\n\" \t\", \n"},
      {"a,b\n \t, \n", ',', '\t', true, "a\tb\n\" \t\"\t \n"},
      {"a,b\n\"\",\"\"\n", ',', ',', true, "a,b\n\"\",\n"},
      {"a,b\n\"\",\"\"\n", ',', '|', true, "a|b\n\"\"|\n"},
      // Padded: the quote goes on the first field, the padding after it.
      {"a,b,c\n\"\"\n", ',', ',', true, "a,b,c\n\"\",,\n"},
      {"a,b,c\n\"\"\n", ',', ';', true, "a;b;c\n\"\";;\n"},
      // One column: a field of spaces would be a blank line.
      {"a\n\" \"\n", ',', ',', true, "a\n\" \"\n"},
      {"a\n\" \"\n", ';', ',', true, "a\n\" \"\n"},
      {"a\n  \n", ',', ',', false, "a\n\"  \"\n"},
      {"a\n\n", ',', ',', false, "a\n\"\"\n"},
      // A field holding the output delimiter is quoted as usual after the first.
      {"a;b\n ;\t\n", ';', '\t', true, "a\tb\n\" \"\t\"\t\"\n"},
      // U+FEFF opening the output would be taken for a byte-order mark; elsewhere it is text.
      {"\n\xEF\xBB\xBF" "a,b\n1,2\n", ',', ',', true, "\"\xEF\xBB\xBF" "a\",b\n1,2\n"},
      {"\n\xEF\xBB\xBF" "a,b\n1,2\n", ',', ';', true, "\"\xEF\xBB\xBF" "a\";b\n1;2\n"},
      {"a,b\n\xEF\xBB\xBF" "1,2\n", ',', ',', true, "a,b\n\xEF\xBB\xBF" "1,2\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    SCOPED_TRACE(c.output_delimiter);
    engine::TracedOptions options;
    options.delimiter = static_cast<std::uint8_t>(c.delimiter);
    options.skip_blank_lines = c.skip_blank_lines;
    EXPECT_EQ(clean(c.input, options, static_cast<std::uint8_t>(c.output_delimiter)), c.output);
  }
}

}  // namespace
}  // namespace quorle::rescue

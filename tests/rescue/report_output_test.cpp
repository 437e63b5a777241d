// The package's row writer against the line format: rows stored every way (verbatim, built,
// padded, a lone empty field), with fields long enough to go out straight and rows wide enough
// to go out in pieces, written with the input's delimiter and with another; and what would read
// back otherwise (rows of blank fields, a U+FEFF opening the file) keeps a quote; long runs copied
// from the input file inside the kernel, or from memory where the system refuses that copy.
#include "rescue/report_output.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rescue/line_format.hpp"

namespace quorle::rescue {
namespace {

std::string written(const engine::RowStore& rows, std::string_view input, std::uint8_t delimiter) {
  const std::string path = ::testing::TempDir() + "report_rows.csv";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  EXPECT_GE(fd, 0);
  {
    CleanRowWriter writer(fd, input, delimiter);
    const std::atomic<bool> stop{false};
    EXPECT_FALSE(writer.write(rows, stop));
    EXPECT_FALSE(writer.finish());
  }
  ::close(fd);
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  ::unlink(path.c_str());
  return s.str();
}

// The line format's bytes for a row; a row of blank fields has its first field quoted, or it would
// read back as a blank line or padding.
std::string expected_line(const engine::Row& row, std::uint8_t delimiter) {
  bool blank = !row.empty();
  for (const std::string& f : row) blank = blank && f.find_first_not_of(" \t") == std::string::npos;
  if (!blank) return format_output_line(row, delimiter, '"');
  std::string line = "\"" + row[0] + "\"";
  for (std::size_t i = 1; i < row.size(); ++i) {
    line += static_cast<char>(delimiter);
    line += encode_field(row[i], delimiter, '"');
  }
  return line + "\n";
}

TEST(CleanRowWriter, WritesWhatTheLineFormatWrites) {
  std::mt19937_64 rng(11);
  const std::string long_plain(70000, 'p');
  std::string long_quoted(70000, 'q');
  long_quoted[5] = '"';
  long_quoted[69999] = '"';
  std::string long_lines(200000, 'l');
  long_lines[100000] = '\n';
  long_lines[150000] = ',';
  // Verbatim rows are lines of the input: their own clean encoding.
  const std::vector<std::pair<std::string, engine::Row>> lines = {
      {"a,b", {"a", "b"}},
      {"\"x,y\",\"q\"\"r\"", {"x,y", "q\"r"}},
      {"", {""}},
      {long_plain + "," + encode_field(long_quoted, ',', '"'), {long_plain, long_quoted}},
  };
  std::string input;
  for (const auto& line : lines)
    input += line.first + "\n";
  engine::RowStore store(input, ',', '"');
  std::vector<engine::Row> rows;
  std::size_t at = 0;
  for (const auto& [raw, fields] : lines) {
    const std::uint64_t padding = fields.size() == 2 && raw.size() < 20 ? 1 : 0;
    store.add_verbatim(at, raw.size(), padding);
    engine::Row padded = fields;
    padded.resize(fields.size() + padding);
    rows.push_back(padded);
    at += raw.size() + 1;
  }
  auto add_built = [&](const engine::Row& fields, std::uint64_t padding, bool plain) {
    store.begin_row(fields.size(), padding);
    for (const std::string& f : fields)
      store.add_text_field(f, plain && f.find_first_of(",\"\n\r;") == std::string::npos);
    engine::Row padded = fields;
    padded.resize(fields.size() + padding);
    rows.push_back(padded);
  };
  add_built({""}, 0, true);
  add_built({"only"}, 0, true);
  add_built({long_quoted}, 0, false);
  add_built({}, 3, true);
  add_built({long_plain, "s", long_quoted, long_lines, ""}, 2, false);
  add_built({long_plain, long_plain}, 0, true);
  engine::Row wide;  // far more than one piece of the line buffer
  for (int i = 0; i < 100000; ++i)
    wide.push_back(rng() % 7 == 0 ? "c\"d" : rng() % 5 == 0 ? "e;f" : std::to_string(i));
  add_built(wide, 0, false);
  add_built(wide, 0, true);
  for (const std::uint8_t delimiter : {',', ';'}) {
    SCOPED_TRACE(delimiter);
    std::string expected;
    for (const engine::Row& row : rows)
      expected += expected_line(row, delimiter);
    const std::string got = written(store, input, delimiter);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
  }
}

std::string clean(const std::string& input, engine::ReportPassOptions options,
                  std::uint8_t output_delimiter) {
  engine::ReportPassOutcome out;
  EXPECT_TRUE(engine::report_pass(input, options, out));
  const std::string path = ::testing::TempDir() + "report_output.csv";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  EXPECT_GE(fd, 0);
  {
    CleanRowWriter writer(fd, input, output_delimiter);
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

TEST(CleanRowWriter, WhatWouldReadBackOtherwiseIsQuoted) {
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
    engine::ReportPassOptions options;
    options.delimiter = static_cast<std::uint8_t>(c.delimiter);
    options.skip_blank_lines = c.skip_blank_lines;
    EXPECT_EQ(clean(c.input, options, static_cast<std::uint8_t>(c.output_delimiter)), c.output);
  }
}

// Runs of verbatim rows from 256 KiB on are copied from the input file inside the kernel, and
// written from memory where the system refuses that copy. The file holds 'b' wherever the mapped
// input holds 'a', so the output tells which of the two each byte came from.
TEST(CleanRowWriter, LongRunsComeFromTheFileOrFromMemory) {
  std::string input;
  for (int i = 0; input.size() < (std::size_t{400} << 10); ++i)
    input += "row" + std::to_string(i) + ",aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa,a z\n";
  std::string from_file = input;
  std::replace(from_file.begin(), from_file.end(), 'a', 'b');
  engine::RowStore store(input, ',', '"');
  for (std::size_t at = 0; at < input.size();) {
    const std::size_t end = input.find('\n', at);
    store.add_verbatim(at, end - at, 0, true, true);
    at = end + 1;
  }

  enum class Source { File, OtherFilesystem, Truncated, Empty };
  enum class Output { File, Appending, Pipe };
  enum class Expect { FileBytes, MemoryBytes, KernelDecides, ChangedError };
  const struct {
    const char* name;
    Source source;
    std::size_t offset;  // bytes before the input in the source file
    Output output;
    Expect expect;
  } cases[] = {
      {"same filesystem", Source::File, 0, Output::File, Expect::FileBytes},
      {"input after a preamble", Source::File, 7, Output::File, Expect::FileBytes},
      {"output a pipe (EINVAL)", Source::File, 0, Output::Pipe, Expect::MemoryBytes},
      {"output opened to append (EBADF)", Source::File, 3, Output::Appending, Expect::MemoryBytes},
      // A memfd lies on the kernel's own tmpfs: since Linux 5.19 refused with EXDEV; 5.3 to
      // 5.18 copy between any two filesystems.
      {"source on another filesystem", Source::OtherFilesystem, 5, Output::File,
       Expect::KernelDecides},
      {"source emptied before the copy", Source::Empty, 0, Output::File, Expect::MemoryBytes},
      {"source cut short during the copy", Source::Truncated, 0, Output::File,
       Expect::ChangedError},
  };
  const std::string dir = ::testing::TempDir();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string prefix = std::string(c.offset, 'p');
    std::string held = prefix + from_file;  // what the source file holds
    if (c.source == Source::Truncated) held.resize(prefix.size() + from_file.size() / 2);
    if (c.source == Source::Empty) held.clear();
    const std::string source_path = dir + "kernel_copy_source.csv";
    int source = c.source == Source::OtherFilesystem
                     ? ::memfd_create("kernel_copy_source", 0)
                     : ::open(source_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(source, 0);
    ASSERT_EQ(::write(source, held.data(), held.size()), static_cast<ssize_t>(held.size()));

    const std::string out_path = dir + "kernel_copy_out.csv";
    int out = -1, pipe_ends[2] = {-1, -1};
    std::string got;
    std::thread drain;
    if (c.output == Output::Pipe) {
      ASSERT_EQ(::pipe(pipe_ends), 0);
      out = pipe_ends[1];
      drain = std::thread([&] {
        char chunk[65536];
        for (ssize_t n; (n = ::read(pipe_ends[0], chunk, sizeof chunk)) > 0;) got.append(chunk, n);
      });
    } else {
      const int append = c.output == Output::Appending ? O_APPEND : 0;
      out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | append, 0644);
      ASSERT_GE(out, 0);
    }

    Expect expect = c.expect;
    if (expect == Expect::KernelDecides) {
      const std::string probe_path = dir + "kernel_copy_probe";
      const int probe = ::open(probe_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      off_t at = 0;
      const bool copies = ::copy_file_range(source, &at, probe, nullptr, 1, 0) == 1;
      ::close(probe);
      ::unlink(probe_path.c_str());
      expect = copies ? Expect::FileBytes : Expect::MemoryBytes;
    }

    std::optional<RescueError> error;
    {
      CleanRowWriter writer(out, input, ',', InputSource{source, c.offset});
      const std::atomic<bool> stop{false};
      error = writer.write(store, stop);
      if (!error) error = writer.finish();
    }
    ::close(out);
    if (drain.joinable()) drain.join();
    if (c.output == Output::Pipe) {
      ::close(pipe_ends[0]);
    } else {
      std::stringstream s;
      s << std::ifstream(out_path, std::ios::binary).rdbuf();
      got = s.str();
      ::unlink(out_path.c_str());
    }
    ::close(source);
    ::unlink(source_path.c_str());

    if (expect == Expect::ChangedError) {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->message, "the input file changed while it was copied");
      continue;
    }
    ASSERT_FALSE(error) << error->message;
    ASSERT_EQ(got.size(), input.size());
    EXPECT_TRUE(got == (expect == Expect::FileBytes ? from_file : input));
  }
}

}  // namespace
}  // namespace quorle::rescue

// Long runs copied from the input file inside the kernel fall back to writing from the mapped
// input wherever the system refuses the copy, and fail where it gave up halfway. copy_file_range
// is replaced in this test binary by one that plays a script of answers before it asks the
// kernel; with no script it only asks the kernel.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rescue/report_output.hpp"

namespace {

// One answer per call: 0 asks the kernel for one 4 KiB piece at most, any other value fails
// with that errno. Past the script every call goes to the kernel whole.
std::vector<int> script;
std::size_t next_answer = 0;

}  // namespace

extern "C" ssize_t copy_file_range(int in, off64_t* in_at, int out, off64_t* out_at,
                                   std::size_t length, unsigned int flags) noexcept {
  if (next_answer < script.size()) {
    if (const int fails = script[next_answer++]) {
      errno = fails;
      return -1;
    }
    length = std::min<std::size_t>(length, 4096);
  }
  return ::syscall(SYS_copy_file_range, in, in_at, out, out_at, length, flags);
}

namespace quorle::rescue {
namespace {

TEST(KernelCopy, RefusalsFallBackToMemory) {
  // The file holds 'b' wherever the mapped input holds 'a': the output tells where it came from.
  std::string input;
  for (int i = 0; input.size() < (std::size_t{300} << 10); ++i)
    input += "row" + std::to_string(i) + ",aaaaaaaaaaaaaaaaaaaaaaaa\n";
  std::string in_file = input;
  std::replace(in_file.begin(), in_file.end(), 'a', 'b');
  engine::RowStore store(input, ',', '"');
  for (std::size_t at = 0; at < input.size();) {
    const std::size_t end = input.find('\n', at);
    store.add_verbatim(at, end - at, 0, true, true);
    at = end + 1;
  }

  enum class Source { File, Short, Pipe };
  const struct {
    const char* name;
    Source source;
    std::vector<int> script;
    const char* outcome;  // "file", "memory", the error message, or "EIO" for that errno
  } cases[] = {
      {"copied whole", Source::File, {}, "file"},
      {"copied in pieces, interrupted once", Source::File, {0, EINTR, 0}, "file"},
      {"source a pipe", Source::Pipe, {}, "memory"},
      {"other filesystem (EXDEV)", Source::File, {EXDEV}, "memory"},
      {"not this kind of file (EINVAL)", Source::File, {EINVAL}, "memory"},
      {"no such call (ENOSYS)", Source::File, {ENOSYS}, "memory"},
      {"not supported (EOPNOTSUPP)", Source::File, {EOPNOTSUPP}, "memory"},
      {"refused after a first piece", Source::File, {0, EXDEV},
       "the input file changed while it was copied"},
      {"source shorter than the run", Source::Short, {}, "the input file changed while it was copied"},
      {"read error", Source::File, {EIO}, "EIO"},
  };
  const std::string dir = ::testing::TempDir();
  const std::string source_path = dir + "kernel_copy_test_source.csv";
  const std::string out_path = dir + "kernel_copy_test_out.csv";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int source = -1, pipe_ends[2] = {-1, -1};
    if (c.source == Source::Pipe) {
      ASSERT_EQ(::pipe(pipe_ends), 0);
      source = pipe_ends[0];
    } else {
      const std::string held = c.source == Source::Short ? in_file.substr(0, 5000) : in_file;
      std::ofstream(source_path, std::ios::binary) << held;
      source = ::open(source_path.c_str(), O_RDONLY);
    }
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(source, 0);
    ASSERT_GE(out, 0);

    script = c.script;
    next_answer = 0;
    std::optional<RescueError> error;
    {
      CleanRowWriter writer(out, input, ',', InputSource{source, 0});
      const std::atomic<bool> stop{false};
      error = writer.write(store, stop);
      if (!error) error = writer.finish();
    }
    script.clear();
    ::close(out);
    ::close(source);
    if (pipe_ends[1] >= 0) ::close(pipe_ends[1]);
    std::stringstream got;
    got << std::ifstream(out_path, std::ios::binary).rdbuf();

    const std::string outcome = c.outcome;
    if (outcome == "file" || outcome == "memory") {
      ASSERT_FALSE(error) << error->message;
      EXPECT_TRUE(got.str() == (outcome == "file" ? in_file : input));
    } else if (outcome == "EIO") {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->os_error, EIO);
    } else {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->message, outcome);
    }
  }
  ::unlink(source_path.c_str());
  ::unlink(out_path.c_str());
}

}  // namespace
}  // namespace quorle::rescue

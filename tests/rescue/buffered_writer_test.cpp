#include "rescue/buffered_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace quorle::rescue {
namespace {

std::string temp_path() {
  return ::testing::TempDir() + "writer_" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int create(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

TEST(BufferedWriter, TextsAroundTheBufferSize) {
  for (std::size_t size : {8191u, 8192u, 8193u, 20000u}) {
    SCOPED_TRACE(size);
    const std::string path = temp_path();
    std::string expected = "head\n";
    {
      BufferedWriter w(create(path));
      ASSERT_FALSE(w.append("head\n"));
      const std::string big(size, 'x');
      ASSERT_FALSE(w.append(big));
      ASSERT_FALSE(w.append("tail\n"));
      ASSERT_FALSE(w.append_repeated(",", 10000));
      ASSERT_FALSE(w.append_repeated("\xC2\xA7", 3));
      ASSERT_FALSE(w.flush());
      ASSERT_FALSE(w.close());
      expected += big + "tail\n" + std::string(10000, ',') + "\xC2\xA7\xC2\xA7\xC2\xA7";
    }
    EXPECT_EQ(slurp(path), expected);
    std::remove(path.c_str());
  }
}

// Rows far shorter than the buffer, and a padding run longer than it, fill it past its end many
// times over: every byte arrives once, in order.
TEST(BufferedWriter, ShortTextsAcrossTheBufferEnd) {
  const std::string path = temp_path();
  std::string expected;
  {
    BufferedWriter w(create(path));
    for (int i = 0; i < 60000; ++i) {
      const std::string row = std::to_string(i) + ",row\n";
      ASSERT_FALSE(w.append(row));
      expected += row;
      if (i % 20000 == 7) {
        ASSERT_FALSE(w.append_repeated(";", BufferedWriter::CAPACITY + 3));
        expected += std::string(BufferedWriter::CAPACITY + 3, ';');
      }
    }
    ASSERT_FALSE(w.close());
  }
  EXPECT_EQ(slurp(path), expected);
  std::remove(path.c_str());
}

TEST(BufferedWriter, FullDeviceFailsWithTheSystemMessage) {
  BufferedWriter w(::open("/dev/full", O_WRONLY));
  EXPECT_FALSE(w.append("fits in the buffer"));
  auto error = w.flush();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, "No space left on device (os error 28)");
  EXPECT_EQ(error->os_error, 28);
  error = w.append(std::string(9000, 'x'));  // the retained bytes, then the long text
  ASSERT_TRUE(error);
  EXPECT_FALSE(w.close()) << "the closing flush ignores its failure";
}

TEST(BufferedWriter, DestructorFlushesWhatIsBuffered) {
  const std::string path = temp_path();
  {
    BufferedWriter w(create(path));
    ASSERT_FALSE(w.append("kept"));
  }
  EXPECT_EQ(slurp(path), "kept");
  std::remove(path.c_str());
}

}  // namespace
}  // namespace quorle::rescue

namespace quorle::rescue {
namespace {

// Both layers' shapes write every byte once, in order, around their long-text lengths and
// capacities, with a stretch copied from another file inside the kernel; written() counts them.
TEST(BufferedWriter, BothShapesWriteTheSameBytes) {
  const std::string source_path = temp_path() + "_source";
  const std::string source(300000, 's');
  std::ofstream(source_path, std::ios::binary) << source;
  for (const BufferShape& shape : {BACKEND_BUFFER, PACKAGE_BUFFER}) {
    SCOPED_TRACE(shape.capacity);
    const std::string path = temp_path();
    const int fd = create(path);
    const int from = ::open(source_path.c_str(), O_RDONLY);
    std::string expected;
    {
      BufferedWriter w(fd, shape);
      for (std::size_t size : {std::size_t{5}, shape.long_text - 1, shape.long_text,
                               shape.long_text + 1, shape.capacity - 3, shape.capacity + 1}) {
        const std::string text(size, static_cast<char>('a' + size % 26));
        ASSERT_FALSE(w.append(text));
        expected += text;
      }
      ASSERT_FALSE(w.append_repeated(";", shape.capacity + 3));
      expected += std::string(shape.capacity + 3, ';');
      std::optional<RescueError> error;
      ASSERT_TRUE(w.copy_from(from, 100, 200000, error));
      ASSERT_FALSE(error);
      expected += source.substr(100, 200000);
      ASSERT_FALSE(w.append("tail\n"));
      expected += "tail\n";
      EXPECT_EQ(w.written(), expected.size());
      ASSERT_FALSE(w.flush());
      if (!shape.owns_fd) ::close(fd);
    }
    ::close(from);
    EXPECT_EQ(slurp(path), expected);
    std::remove(path.c_str());
  }
  std::remove(source_path.c_str());
}

}  // namespace
}  // namespace quorle::rescue

// Rows handed over in pieces to the writer thread come out exactly as the rows written in one piece,
// and so do rows written on the caller's thread (a small input), all of them or the first batch
// only (the thread starts when a batch's padding is not known).
#include "rescue/writer_thread.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "engine/report_pass.hpp"

namespace quorle::rescue {
namespace {

enum class Where { THREAD, CALLER, CALLER_THEN_THREAD };

std::string output_of(const std::string& input, std::uint64_t batch_step, std::uint8_t delimiter,
                      Where where = Where::THREAD) {
  const std::string path = ::testing::TempDir() + "batches.csv";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  EXPECT_GE(fd, 0);
  {
    WriterThread writer(fd, input, delimiter, {}, where == Where::THREAD ? 0 : input.size() + 1);
    const WriterThread::Waiting go_on = [] { return true; };
    engine::ReportPassOutcome out;
    bool first = true;
    const engine::HandOverRows batches = [&](engine::RowStore&& rows) {
      const bool known = where == Where::CALLER || (where == Where::CALLER_THEN_THREAD && first);
      first = false;
      return writer.push(std::move(rows), go_on, known ? 3 : WriterThread::UNKNOWN_WIDTH);
    };
    EXPECT_TRUE(engine::report_pass(input, {}, out, {}, 1 << 30, batches, batch_step));
    EXPECT_TRUE(writer.push(std::move(out.rows), go_on, out.columns));
    bool stopped = true;
    EXPECT_FALSE(writer.finish(go_on, stopped));
    EXPECT_FALSE(stopped);
  }
  ::close(fd);
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(WriterThread, PiecesWriteWhatOnePieceWrites) {
  std::mt19937_64 rng(7);
  static constexpr const char* records[] = {
      "1,2,3\n", "\"a,b\",c,d\n", "x\n", "4,5,6,7\n", "p,q,\r\n", "\n", "\"m\nn\",o,p\n"};
  std::string input = "h1,h2,h3\n";
  for (int i = 0; i < 5000; ++i)
    input += records[rng() % std::size(records)];
  for (const std::uint8_t delimiter : {',', ';'}) {
    const std::string whole = output_of(input, std::uint64_t{1} << 40, delimiter);
    ASSERT_GT(whole.size(), input.size() / 2);
    for (const std::uint64_t step : {1u, 7u, 100u, 4096u}) {
      SCOPED_TRACE(step);
      EXPECT_EQ(output_of(input, step, delimiter), whole);
      EXPECT_EQ(output_of(input, step, delimiter, Where::CALLER), whole);
      EXPECT_EQ(output_of(input, step, delimiter, Where::CALLER_THEN_THREAD), whole);
    }
  }
}

}  // namespace
}  // namespace quorle::rescue

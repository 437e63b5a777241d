#include "arrow/stream.hpp"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "arrow/builder.hpp"
#include "arrow/schema.hpp"
#include "tests/arrow/batch_reader.hpp"

namespace quorle::arrow {
namespace {

// Batches of one row each ("0", "1", ...), then a way to stop: the end, a failure, or a throw.
class CountingSource : public BatchSource {
 public:
  enum class Stop { kEnd, kFail, kThrowBadAlloc, kThrowOther };
  CountingSource(int batches, Stop stop, int* alive)
      : batches_(batches), stop_(stop), alive_(alive) {
    ++*alive_;
  }
  ~CountingSource() override { --*alive_; }

  bool schema(ArrowSchema* out) override {
    export_schema({"n"}, StringType::kString, out);
    return true;
  }
  bool next(ArrowArray* out) override {
    if (made_ < batches_) {
      const std::string text = std::to_string(made_++);
      builder_.row(std::vector<std::string_view>{text});
      builder_.finish(out);
      return true;
    }
    switch (stop_) {
      case Stop::kEnd: return true;
      case Stop::kFail:
        builder_.row(std::vector<std::string_view>{"half"});
        builder_.finish(out);  // a batch in the way of a failure is released by the stream
        error_ = "disk gone at byte 42";
        return false;
      case Stop::kThrowBadAlloc: throw std::bad_alloc();
      case Stop::kThrowOther: throw std::runtime_error("bad state");
    }
    return false;
  }
  const char* last_error() const override { return error_.c_str(); }
  int error_code() const override { return 5; }

 private:
  int batches_, made_ = 0;
  Stop stop_;
  int* alive_;
  std::string error_;
  StringBatchBuilder builder_{1};
};

ArrowArrayStream make(int batches, CountingSource::Stop stop, int* alive) {
  ArrowArrayStream stream;
  EXPECT_TRUE(export_stream(std::make_unique<CountingSource>(batches, stop, alive), &stream));
  return stream;
}

TEST(Stream, BatchesThenEnd) {
  int alive = 0;
  ArrowArrayStream stream = make(3, CountingSource::Stop::kEnd, &alive);
  ArrowSchema schema;
  ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
  EXPECT_STREQ(schema.children[0]->name, "n");
  schema.release(&schema);
  std::vector<ArrowArray> batches(3);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(stream.get_next(&stream, &batches[i]), 0);
    EXPECT_EQ(testing::read_batch(batches[i], "u"), (testing::Rows{{std::to_string(i)}}));
  }
  for (int i = 0; i < 2; ++i) {  // the end, and again
    ArrowArray end;
    end.release = reinterpret_cast<void (*)(ArrowArray*)>(1);
    ASSERT_EQ(stream.get_next(&stream, &end), 0);
    EXPECT_EQ(end.release, nullptr);
  }
  EXPECT_EQ(stream.get_last_error(&stream), nullptr);
  stream.release(&stream);
  EXPECT_EQ(stream.release, nullptr);
  EXPECT_EQ(alive, 0);
  // Batches outlive the stream and its source.
  EXPECT_EQ(testing::read_batch(batches[2], "u"), (testing::Rows{{"2"}}));
  for (ArrowArray& b : batches)
    b.release(&b);
}

TEST(Stream, FailureIsStickyAndSaysWhy) {
  const struct {
    CountingSource::Stop stop;
    int code;
    const char* message;
  } cases[] = {
      {CountingSource::Stop::kFail, 5, "disk gone at byte 42"},
      {CountingSource::Stop::kThrowBadAlloc, ENOMEM, "out of memory"},
      {CountingSource::Stop::kThrowOther, EIO, "bad state"},
  };
  for (const auto& c : cases) {
    int alive = 0;
    ArrowArrayStream stream = make(1, c.stop, &alive);
    ArrowArray batch;
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    batch.release(&batch);
    for (int i = 0; i < 2; ++i) {
      ArrowArray failed;
      EXPECT_EQ(stream.get_next(&stream, &failed), c.code);
      EXPECT_EQ(failed.release, nullptr);
      EXPECT_STREQ(stream.get_last_error(&stream), c.message);
    }
    stream.release(&stream);
    EXPECT_EQ(alive, 0);
  }
}

TEST(Stream, EarlyReleaseDestroysTheSourceOnce) {
  int alive = 0;
  ArrowArrayStream stream = make(100, CountingSource::Stop::kEnd, &alive);
  ArrowArray batch;
  ASSERT_EQ(stream.get_next(&stream, &batch), 0);
  EXPECT_EQ(alive, 1);
  ArrowArrayStream copy = stream;  // a careless consumer releasing twice through one struct
  stream.release(&stream);
  EXPECT_EQ(alive, 0);
  stream.release = copy.release;
  stream.release(&stream);
  batch.release(&batch);
}

}  // namespace
}  // namespace quorle::arrow

#include "arrow/builder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "arrow/schema.hpp"
#include "tests/arrow/batch_reader.hpp"

namespace quorle::arrow {
namespace {

using testing::Rows;
using testing::Value;

// Rows as the builder receives them: field texts, or nullopt for a padding() call; fewer than the
// column count when the row ends padded.
using Input = std::vector<std::vector<Value>>;

// The rows a batch must give back: padding is "" or a null.
Rows expected(const Input& input, std::size_t columns, bool null_padding) {
  const Value pad = null_padding ? Value{} : Value{""};
  Rows rows;
  for (const auto& r : input) {
    std::vector<Value> row(r.begin(), r.end());
    for (Value& v : row)
      v = v ? v : pad;
    row.resize(columns, pad);
    rows.push_back(row);
  }
  return rows;
}

// Complete rows go in whole, every other one as delimited text; the others field by field, every
// other text written into the room the builder gives for it (when it gives one).
void append(StringBatchBuilder& builder, const std::vector<Value>& row) {
  static bool as_text = false;
  static bool in_room = false;
  const bool complete =
      std::all_of(row.begin(), row.end(), [](const Value& v) { return v.has_value(); });
  if (complete && !row.empty() && (as_text = !as_text)) {
    std::string text = *row[0];
    for (std::size_t k = 1; k < row.size(); ++k)
      text += "|" + *row[k];
    return builder.delimited_row(text.data(), text.data() + text.size(), '|');
  }
  if (complete) {
    std::vector<std::string_view> fields;
    for (const Value& v : row)
      fields.push_back(*v);
    return builder.row(fields);
  }
  for (const Value& v : row) {
    if (!v) {
      builder.padding();
      continue;
    }
    if ((in_room = !in_room)) {
      if (char* to = builder.field_room(v->size())) {
        std::copy(v->begin(), v->end(), to);
        continue;
      }
    }
    builder.field(*v);
  }
  builder.end_row();
}

// Builds the input in batches of at most `batch_rows` (or fewer when the builder is full),
// reads every batch back, and releases them only once the builder is gone.
Rows build(const Input& input, std::size_t columns, BuilderOptions options, std::size_t batch_rows,
           std::vector<std::uint64_t>* column_bytes = nullptr) {
  std::vector<ArrowArray> batches;
  {
    StringBatchBuilder builder(columns, options);
    auto finish = [&] {
      batches.emplace_back();
      builder.finish(&batches.back());
    };
    for (const auto& r : input) {
      append(builder, r);
      if (builder.full() || builder.rows() >= batch_rows) finish();
    }
    if (builder.rows() > 0 || batches.empty()) finish();
  }
  Rows rows;
  for (ArrowArray& b : batches) {
    Rows part = testing::read_batch(b, format_of(options.type));
    rows.insert(rows.end(), part.begin(), part.end());
    if (column_bytes != nullptr) {
      for (std::int64_t k = 0; k < b.n_children; ++k) {
        const ArrowArray& c = *b.children[k];
        column_bytes->push_back(options.type == StringType::kString
                                    ? static_cast<const std::int32_t*>(c.buffers[1])[c.length]
                                    : static_cast<const std::int64_t*>(c.buffers[1])[c.length]);
      }
    }
    b.release(&b);
    EXPECT_EQ(b.release, nullptr);
  }
  return rows;
}

TEST(StringBatchBuilder, RowsComeBackWithPadding) {
  const Input input = {{"id", "naïve", "名前"}, {"", "", ""}, {"1"}, {}, {"a,b", "\"q\"", "x\ny"}};
  for (bool null_padding : {false, true}) {
    for (StringType type : {StringType::kString, StringType::kLargeString}) {
      EXPECT_EQ(build(input, 3, {type, null_padding}, 2), expected(input, 3, null_padding));
    }
  }
}

// A table of many columns starts each with smaller buffers; its rows come back all the same.
TEST(StringBatchBuilder, WideTablesRoundTrip) {
  for (const std::size_t columns : {std::size_t{1} << 12, std::size_t{1} << 18}) {
    Input input(3);
    for (std::size_t k = 0; k < columns; ++k) {
      input[0].push_back(std::to_string(k));
      input[1].push_back(std::string(k % 3, 'x'));
    }
    input[2] = {"last"};
    EXPECT_EQ(build(input, columns, {}, 2), expected(input, columns, false));
  }
}

TEST(StringBatchBuilder, EmptyBatchIsValid) {
  EXPECT_EQ(build({}, 4, {}, 10), Rows{});
  EXPECT_EQ(build({}, 0, {}, 10), Rows{});
  EXPECT_EQ(build({{}, {}}, 0, {}, 10).size(), 2u);
}

TEST(StringBatchBuilder, MisuseIsRefused) {
  StringBatchBuilder builder(1);
  builder.field("a", 1);
  EXPECT_THROW(builder.field("b", 1), std::length_error);
  StringBatchBuilder narrow(2);
  EXPECT_THROW(narrow.delimited_row("a,b,c", "a,b,c" + 5, ','), std::length_error);
  StringBatchBuilder tight(1, {StringType::kString, false, 4});
  EXPECT_THROW(tight.field("12345", 5), FieldTooLarge);
}

// A string column past its byte limit ends the batch before the row; the row opens the next one,
// nulls and all, and no batch is ever empty because of it.
TEST(StringBatchBuilder, FullColumnEndsTheBatch) {
  const Input input = {{"aaaa", "b"}, {"cc", "dddd"}, {"e", "ffff"}, {"ggggg"}, {"h", "i"}};
  std::vector<std::uint64_t> bytes;
  const BuilderOptions options{StringType::kString, true, 6};
  EXPECT_EQ(build(input, 2, options, 100, &bytes), expected(input, 2, true));
  EXPECT_EQ(bytes, (std::vector<std::uint64_t>{6, 5, 6, 4, 1, 1}));

  StringBatchBuilder builder(1, options);
  builder.row(std::vector<std::string_view>{"abcd"});
  builder.row(std::vector<std::string_view>{"efg"});
  ASSERT_TRUE(builder.full());
  EXPECT_EQ(builder.rows(), 1u);
  EXPECT_THROW(builder.field("x", 1), std::logic_error);
}

TEST(StringBatchBuilder, LargeStringsIgnoreTheLimit) {
  const Input input = {{"aaaa"}, {"bbbb"}, {"cccc"}};
  std::vector<std::uint64_t> bytes;
  EXPECT_EQ(build(input, 1, {StringType::kLargeString, false, 4}, 100, &bytes),
            expected(input, 1, false));
  EXPECT_EQ(bytes, (std::vector<std::uint64_t>{12}));
}

// Random rows, widths, limits and batch sizes: whatever the cuts, the rows come back in order.
TEST(StringBatchBuilder, RandomRowsRoundTrip) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    const std::size_t columns = 1 + rng() % 5;
    const std::uint64_t limit = 8 + rng() % 64;
    Input input(rng() % 300);
    for (auto& row : input) {
      row.resize(rng() % (columns + 1));
      for (auto& f : row) {
        if (rng() % 8 != 0) f = std::string(rng() % 9, static_cast<char>('a' + rng() % 26));
      }
    }
    const BuilderOptions options{rng() % 2 ? StringType::kString : StringType::kLargeString,
                                 rng() % 2 == 0, limit};
    std::vector<std::uint64_t> bytes;
    ASSERT_EQ(build(input, columns, options, 1 + rng() % 50, &bytes),
              expected(input, columns, options.null_padding));
    if (options.type == StringType::kString) {
      for (std::uint64_t b : bytes)
        ASSERT_LE(b, limit);
    }
  }
}

// delimited_row against row(), the plain path, on random rows: fields of 0 to 40 bytes (around
// the 16-byte copy), rows across and between 64-byte masks, each in a buffer of its exact size
// (a sanitizer build reports any read past it), with limits that set rows aside.
TEST(StringBatchBuilder, DelimitedRowsMatchSplitRows) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 300; ++round) {
    const std::size_t columns = 1 + rng() % 12;
    const BuilderOptions options{rng() % 2 ? StringType::kString : StringType::kLargeString,
                                 rng() % 2 == 0, rng() % 3 == 0 ? 40 + rng() % 200 : INT32_MAX};
    StringBatchBuilder split(columns, options), delimited(columns, options);
    std::vector<ArrowArray> batches[2];
    auto finish = [&](StringBatchBuilder& b, std::vector<ArrowArray>& out) {
      out.emplace_back();
      b.finish(&out.back());
    };
    for (int r = 0, n = static_cast<int>(rng() % 200); r < n; ++r) {
      std::vector<std::string> fields(1 + rng() % columns);
      for (std::string& f : fields) {
        const std::size_t size = rng() % 4 == 0 ? rng() % 41 : rng() % 10;
        for (std::size_t i = 0; i < size; ++i)
          f += static_cast<char>(rng() % 3 == 0 ? 0x80 + rng() % 128 : 'a' + rng() % 26);
      }
      std::string joined = fields[0];
      for (std::size_t k = 1; k < fields.size(); ++k)
        joined += ";" + fields[k];
      const std::unique_ptr<char[]> text(new char[joined.size()]);
      std::copy(joined.begin(), joined.end(), text.get());
      const std::vector<std::string_view> views(fields.begin(), fields.end());
      split.row(views);
      delimited.delimited_row(text.get(), text.get() + joined.size(), ';');
      ASSERT_EQ(split.full(), delimited.full());
      if (split.full() || rng() % 50 == 0) {
        finish(split, batches[0]);
        finish(delimited, batches[1]);
      }
    }
    finish(split, batches[0]);
    finish(delimited, batches[1]);
    ASSERT_EQ(batches[0].size(), batches[1].size());
    for (std::size_t i = 0; i < batches[0].size(); ++i) {
      ASSERT_EQ(testing::read_batch(batches[1][i], format_of(options.type)),
                testing::read_batch(batches[0][i], format_of(options.type)));
    }
    for (auto& list : batches) {
      for (ArrowArray& b : list)
        b.release(&b);
    }
  }
}

// A consumer may move a child out and release the parent; each frees its own (the sanitizer build
// reports a leak or a double free otherwise).
TEST(StringBatchBuilder, MovedChildOutlivesItsBatch) {
  StringBatchBuilder builder(2, {StringType::kString, true});
  builder.row(std::vector<std::string_view>{"x"});
  ArrowArray batch;
  builder.finish(&batch);
  ArrowArray child = *batch.children[1];
  batch.children[1]->release = nullptr;
  batch.release(&batch);
  EXPECT_EQ(child.null_count, 1);
  child.release(&child);
}

TEST(Schema, StructOfNamedStrings) {
  ArrowSchema schema;
  export_schema({"a", "", "a"}, StringType::kLargeString, &schema);
  EXPECT_STREQ(schema.format, "+s");
  ASSERT_EQ(schema.n_children, 3);
  const char* names[] = {"a", "column_2", "a_2"};
  for (int k = 0; k < 3; ++k) {
    EXPECT_STREQ(schema.children[k]->format, "U");
    EXPECT_STREQ(schema.children[k]->name, names[k]);
    EXPECT_EQ(schema.children[k]->flags, ARROW_FLAG_NULLABLE);
    EXPECT_NE(schema.children[k]->release, nullptr);
  }
  EXPECT_EQ(requested_string_type(&schema), StringType::kLargeString);
  ArrowSchema moved = *schema.children[0];
  schema.children[0]->release = nullptr;
  schema.release(&schema);
  EXPECT_EQ(schema.release, nullptr);
  EXPECT_STREQ(moved.name, "a");
  moved.release(&moved);
}

TEST(Schema, RequestedTypeNeedsOneStringWidth) {
  ArrowSchema mixed;
  export_schema({"a", "b"}, StringType::kString, &mixed);
  EXPECT_EQ(requested_string_type(&mixed), StringType::kString);
  mixed.children[1]->format = "U";
  EXPECT_EQ(requested_string_type(&mixed), std::nullopt);
  mixed.format = "u";
  EXPECT_EQ(requested_string_type(&mixed), std::nullopt);
  mixed.release(&mixed);
  EXPECT_EQ(requested_string_type(nullptr), std::nullopt);
}

}  // namespace
}  // namespace quorle::arrow

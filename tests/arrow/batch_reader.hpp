// Reads a batch back through nothing but the C data interface, checking on the way every rule a
// consumer relies on, so that the tests compare plain values.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "arrow/abi.hpp"

namespace quorle::arrow::testing {

using Value = std::optional<std::string>;  // nullopt: a null
using Rows = std::vector<std::vector<Value>>;

template <class Offset>
void read_column(const ArrowArray& child, std::int64_t column, Rows& rows) {
  const auto* valid = static_cast<const std::uint8_t*>(child.buffers[0]);
  const auto* offsets = static_cast<const Offset*>(child.buffers[1]);
  const auto* data = static_cast<const char*>(child.buffers[2]);
  ASSERT_NE(offsets, nullptr);
  ASSERT_NE(data, nullptr);
  ASSERT_EQ(offsets[0], 0);
  std::int64_t nulls = 0;
  for (std::int64_t r = 0; r < child.length; ++r) {
    ASSERT_LE(offsets[r], offsets[r + 1]) << "offsets go back at row " << r;
    const bool is_null = valid != nullptr && ((valid[r / 8] >> (r % 8)) & 1) == 0;
    nulls += is_null;
    if (is_null) {
      rows[r][column] = std::nullopt;
    } else {
      rows[r][column] = std::string(data + offsets[r], offsets[r + 1] - offsets[r]);
    }
  }
  ASSERT_EQ(child.null_count, nulls);
  if (valid == nullptr) {
    ASSERT_EQ(child.null_count, 0);
  }
}

/// The rows of a struct-of-strings batch whose children have the given format.
inline Rows read_batch(const ArrowArray& batch, const char* format) {
  Rows rows;
  EXPECT_NE(batch.release, nullptr);
  EXPECT_EQ(batch.offset, 0);
  EXPECT_EQ(batch.null_count, 0);
  EXPECT_EQ(batch.n_buffers, 1);
  EXPECT_EQ(batch.buffers[0], nullptr);
  EXPECT_EQ(batch.dictionary, nullptr);
  rows.assign(static_cast<std::size_t>(batch.length),
              std::vector<Value>(static_cast<std::size_t>(batch.n_children)));
  for (std::int64_t k = 0; k < batch.n_children; ++k) {
    const ArrowArray& child = *batch.children[k];
    EXPECT_NE(child.release, nullptr);
    EXPECT_EQ(child.length, batch.length);
    EXPECT_EQ(child.offset, 0);
    EXPECT_EQ(child.n_buffers, 3);
    EXPECT_EQ(child.n_children, 0);
    if (std::strcmp(format, "u") == 0) {
      read_column<std::int32_t>(child, k, rows);
    } else {
      read_column<std::int64_t>(child, k, rows);
    }
  }
  return rows;
}

}  // namespace quorle::arrow::testing

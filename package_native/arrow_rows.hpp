// Stored rows into a batch of Arrow string columns: a built row's fields as the cursor hands them
// out, a verbatim row split (a quote-free one straight from the input), and long texts copied in
// pieces, so that a row of millions of fields or of a gigabyte never exists twice in full.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/builder.hpp"
#include "engine/row_store.hpp"

namespace quorle::native {

class ArrowRows {
 public:
  ArrowRows(std::uint8_t delimiter, std::uint8_t quote) : delimiter_(delimiter), quote_(quote) {}

  /// The fields of a header row, as column names.
  void header_names(const engine::StoredRow& row, std::vector<std::string>& names);
  /// Adds the row whose head `cursor` (over `store`) just gave; `stored` built fields follow.
  void add(arrow::StringBatchBuilder& b, engine::RowStore& store, engine::RowStore::Cursor& cursor,
           const engine::StoredRow& row, std::uint64_t stored);

 private:
  void split(const engine::StoredRow& row, std::vector<std::string_view>& fields);
  void add_verbatim(arrow::StringBatchBuilder& b, std::string_view raw);
  void add_text(arrow::StringBatchBuilder& b, engine::RowStore& store, std::string_view text);

  const std::uint8_t delimiter_;
  const std::uint8_t quote_;
  std::vector<std::string_view> fields_;
  std::string unescaped_;
};

}  // namespace quorle::native

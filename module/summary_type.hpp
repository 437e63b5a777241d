// QuorleSummary: the immutable counters of one run.
#pragma once

#include <cstdint>

#include "module/py_ref.hpp"

namespace quorle::pyext {

struct SummaryRecord {
  std::uint64_t total_rows = 0;
  std::uint64_t quorled_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
  char32_t detected_delimiter = U',';  ///< one character, U+0000 to U+00FF
  std::uint64_t inferred_columns = 0;
};

/// The class (borrowed), made once per process; null with an exception set on failure.
PyObject* summary_type();
/// A new instance holding a copy of the record.
PyRef new_summary(const SummaryRecord& record);

}  // namespace quorle::pyext

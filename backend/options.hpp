// The six repair options that quorle_file and the reader share, converted and checked.
#pragma once

#include "engine/records.hpp"
#include "pyboundary/py_ref.hpp"

namespace quorle::pyext {

/// Converts the slots of delimiter, quote_char, fill_ragged_rows, merge_overflow,
/// expected_columns and repair_quotes, in that order, into a repair policy. A delimiter or quote
/// that is not one ASCII byte other than CR and LF, or a delimiter equal to the quote, is refused
/// with ValueError: a multi-byte character would be cut at its first byte and the file garbled.
bool convert_repair_options(PyObject* const* slots, engine::RepairOptions& out);

}  // namespace quorle::pyext

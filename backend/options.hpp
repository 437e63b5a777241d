// The six repair options that quorle_file and the reader share: their parameters and checks.
#pragma once

#include "engine/records.hpp"
#include "pyboundary/keywords.hpp"

namespace quorle::pyext {

/// The parameters of the six options, every one of which a call may leave out.
inline constexpr std::array<Parameter, 6> REPAIR_OPTION_PARAMETERS = {{
    {"delimiter", false},
    {"quote_char", false},
    {"fill_ragged_rows", false},
    {"merge_overflow", false},
    {"expected_columns", false},
    {"repair_quotes", false},
}};

/// Converts the slots bound to REPAIR_OPTION_PARAMETERS, in their order, into a repair policy. A
/// delimiter or quote that is not one ASCII byte other than CR and LF, or a delimiter equal to the
/// quote, is refused with ValueError: a multi-byte character would be cut at its first byte and
/// the file garbled.
bool convert_repair_options(PyObject* const* slots, engine::RepairOptions& out);

}  // namespace quorle::pyext

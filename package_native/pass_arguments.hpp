// The arguments of the pass that rescue() and open_batches() both take, by name: one block of
// parameters at the end of both tables.
#pragma once

#include "engine/parallel_pass.hpp"
#include "engine/report_pass.hpp"
#include "pyboundary/keywords.hpp"

namespace quorle::native {

// threads: how many sort parts of the input (1 when absent); part_bytes: the size of a part.
inline constexpr std::array<pyext::Parameter, 20> PASS_PARAMETERS = {{
    {"delimiter"},        {"quote"},
    {"escape"},           {"header"},
    {"expected_columns"}, {"skip_blank_lines"},
    {"fill_ragged_rows"}, {"merge_overflow"},
    {"repair_quotes"},    {"long_quoted_lines"},
    {"recode_cp1252"},    {"first_line"},
    {"header_rows"},      {"skip_initial_space"},
    {"comment"},          {"skip_repeated_header"},
    {"header_names"},     {"width_hint"},
    {"threads", false},   {"part_bytes", false},
}};

/// Reads the block of pass arguments (bound in the order of PASS_PARAMETERS) into `out` and
/// `plan`. False with a Python exception set.
bool pass_options(PyObject* const* block, engine::ReportPassOptions& out,
                  engine::ParallelPlan& plan);

/// A byte given as an int (a delimiter, a quote).
bool byte_argument(PyObject* value, const char* name, std::uint8_t& out);

}  // namespace quorle::native

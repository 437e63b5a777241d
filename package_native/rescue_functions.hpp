// The package's functions over a whole buffer of UTF-8 text: sniff() guesses the delimiter, and
// rescue() sorts the records into the clean output (written by a thread of its own) and the
// quarantine, returning the outcome for the report.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorle::native {

inline constexpr const char* SNIFF_DOC = "sniff(buffer) -> int\n\nThe likely delimiter byte.";
PyObject* native_sniff(PyObject*, PyObject* args);

inline constexpr const char* RESCUE_DOC =
    "rescue(buffer, /, *, out_fd, quarantine_fd, out_path, quarantine_path, delimiter, quote, "
    "escape, header, expected_columns, skip_blank_lines, fill_ragged_rows, merge_overflow, "
    "repair_quotes, output_delimiter, long_quoted_lines, recode_cp1252, source_fd, "
    "source_offset, begin, end, first_line, header_rows, skip_initial_space, comment, "
    "skip_repeated_header, header_names, width_hint, trace_rows=False) -> dict\n\n"
    "Sorts the records of UTF-8 text and writes the outputs. "
    "comment is a byte or -1; header_names None or bytes in UTF-8, one a column.";
PyObject* native_rescue(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

}  // namespace quorle::native

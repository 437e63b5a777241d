// The Python functions of the Arrow stream: open_batches starts the pass (pass_source.hpp) and
// gives an opaque handle; the names, the schema and the stream (taken once) come from the handle,
// and so does the outcome once the stream has ended.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorle::native {

inline constexpr const char* OPEN_BATCHES_DOC =
    "open_batches(buffer, /, *, batch_rows, null_padding, mapped, quarantine_fd, "
    "quarantine_temporary, quarantine_target, quarantine_name, delimiter, quote, escape, header, "
    "expected_columns, skip_blank_lines, fill_ragged_rows, merge_overflow, repair_quotes, "
    "long_quoted_lines, recode_cp1252, first_line, header_rows, skip_initial_space, comment, "
    "skip_repeated_header, header_names, width_hint) -> handle\n\n"
    "Starts the pass over UTF-8 text. The quarantine (fd, or -1) is an unnamed file (temporary "
    "b\"\") or a named temporary, put in place of quarantine_target when the stream ends and "
    "dropped if it is abandoned; with an empty target it is written straight into its file.";

PyObject* open_batches(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept;
PyObject* batches_names(PyObject*, PyObject* handle);
PyObject* batches_schema(PyObject*, PyObject* handle);
PyObject* batches_stream(PyObject*, PyObject* args);
PyObject* batches_result(PyObject*, PyObject* handle);

}  // namespace quorle::native

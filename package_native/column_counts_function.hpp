// csv_quorle._native.column_counts: how often each class of cell stands in each column of a
// table's first rows, for detection's column profiles. Python says what class a cell is; this
// does the counting.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorle::native {

/// column_counts(records, columns, limit, classes, classify, count) -> list of int
PyObject* column_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

inline constexpr const char* COLUMN_COUNTS_DOC =
    "column_counts(records, /, *, columns, limit, classes, classify, count) -> list of int\n\n"
    "For the first `limit` records (tuples whose third item is the list of fields), counts per "
    "column (the first `columns`) and class: entry column * count + class. A cell's class is "
    "classes[cell], or else classify(cell), an int from 0 to count - 1.";

}  // namespace quorle::native

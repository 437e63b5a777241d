// csv_quorle._native.sample_records: the records a candidate dialect reads from a sample of
// decoded lines, for detection's scoring.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorle::native {

/// sample_records(lines, /, *, delimiter, quote=None, escape=None, skip_initial_space=False,
/// limit=None) -> (records, stopped)
PyObject* sample_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;

inline constexpr const char* SAMPLE_RECORDS_DOC =
    "sample_records(lines, /, *, delimiter, quote=None, escape=None, skip_initial_space=False, "
    "limit=None) -> (records, stopped)\n\n"
    "The records of `lines` (str, each with its line break) under a dialect, read as the csv "
    "module reads them with strict=False: each a tuple (first line, last line, fields, filled, "
    "bare), lines counted from 1; `filled` counts the fields holding more than whitespace; "
    "`bare` is a record with nothing written (no field filled, at most one field or all empty, "
    "no quote on its lines). `stopped`: the reader gave up at a line break followed by text.";

}  // namespace quorle::native

// csv_quorle._native.dialect_counts and weak_block: what dialect scoring counts over one
// candidate's records (widths, typed cells, rows that split, the block a weak delimiter's table
// stands in). Python keeps the thresholds and the decisions; this does the counting.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorle::native {

/// dialect_counts(records, typed, lines, weights, weigh) -> tuple
PyObject* dialect_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;

inline constexpr const char* DIALECT_COUNTS_DOC =
    "dialect_counts(records, /, *, typed, lines, weights, weigh) -> tuple\n\n"
    "Counts over records (tuples first, last, fields, filled, bare): (widths, counted, halves, "
    "cells, read, split_rows, split_same, multi, multi_first, multi_run, filled_rows, "
    "filled_multi, trimmed).\n"
    "widths: {width: records} in the order first seen, over the rows scored (the filled "
    "records, else those not bare); counted: how many rows that is; halves and cells: the sum of "
    "the cells' weights in halves (weights[cell], else weigh(cell), 0 to 2) and the number of "
    "cells, over the first `typed` rows; read: filled records whose last line is at most "
    "`lines`. Over the records not bare and not opening with '#' (else those not bare): "
    "split_rows, split_same (one width for all, the first of two fields or more), multi (records "
    "with a filled field past the first), multi_first (the first of them is one), multi_run (the "
    "longest run of them one after the other). Over the filled records: filled_rows, "
    "filled_multi (two fields or more) and trimmed, {width: records} of the widths of two or "
    "more without trailing empty fields, first seen first.";

/// weak_block(records, width, wider) -> (start, end, first, agree)
PyObject* weak_block(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept;

inline constexpr const char* WEAK_BLOCK_DOC =
    "weak_block(records, /, *, width, wider) -> (start, end, first, agree)\n\n"
    "Blocks are runs of filled records, less the records opening with '#' at a run's start; the "
    "block records[start:end] holds most records of `width` (without trailing empty fields), "
    "the first such block winning a tie. first: the index in the block of the first record of "
    "that width (trimmed or not; or wider, when `wider`), -1 if none; agree: the records of the "
    "block from there on that fit so.";

/// blank_openings(records) -> (filled, opened)
PyObject* blank_openings(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;

inline constexpr const char* BLANK_OPENINGS_DOC =
    "blank_openings(records, /) -> (filled, opened)\n\n"
    "Over the fields after the first of every record: filled, those holding more than "
    "whitespace (as str.strip has it); opened, those of them that open with a space.";

}  // namespace quorle::native

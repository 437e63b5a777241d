// csv_quorle._native.transcode_single_byte: a single-byte code page to UTF-8, written to an open
// descriptor with the interpreter lock released; utf8_evidence: what a buffer says about UTF-8.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorle::native {

/// transcode_single_byte(table, source, out_fd) -> (bytes written, replaced, first lines)
PyObject* transcode_single_byte(PyObject* self, PyObject* args);

inline constexpr const char* TRANSCODE_SINGLE_BYTE_DOC =
    "transcode_single_byte(table, source, out_fd) -> (written, replaced, first_lines)\n\n"
    "Writes the UTF-8 of `source` read with a single-byte code page to `out_fd`. `table` packs "
    "256 entries of 4 bytes: a length (0 for an undefined byte, written as U+FFFD and counted), "
    "then up to 3 bytes of UTF-8.";

/// utf8_evidence(source, final) -> (clean, mixed, invalid, first_invalid)
PyObject* utf8_evidence(PyObject* self, PyObject* args);

inline constexpr const char* UTF8_EVIDENCE_DOC =
    "utf8_evidence(source, final) -> (clean, mixed, invalid, first_invalid)\n\n"
    "Counts the well-formed multi-byte UTF-8 sequences of `source` on lines (ended by LF or CR) "
    "without ill-formed bytes and on lines with them, and the ill-formed bytes; first_invalid "
    "is the offset of the first of those, or -1. With `final` false, a character cut by the end "
    "of `source` is left out.";

}  // namespace quorle::native

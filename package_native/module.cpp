// csv_quorle._native: the package's private bridge to the engine. It takes a buffer of UTF-8 text
// and open descriptors for the outputs; paths, files and the report belong to the Python side.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "package_native/batches_functions.hpp"
#include "package_native/column_counts_function.hpp"
#include "package_native/commit_functions.hpp"
#include "package_native/dialect_counts_function.hpp"
#include "package_native/rescue_functions.hpp"
#include "package_native/sample_records_function.hpp"
#include "package_native/source_map.hpp"
#include "package_native/transcode_functions.hpp"
#include "pyboundary/entry_guard.hpp"
#include "pyboundary/finalizing.hpp"

namespace quorle::native {
namespace {

PyMethodDef native_methods[] = {
    {"sniff", pyext::guarded_entry<native_sniff>, METH_VARARGS, SNIFF_DOC},
    {"rescue", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_rescue)),
     METH_FASTCALL | METH_KEYWORDS, RESCUE_DOC},
    {"open_batches", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_batches)),
     METH_FASTCALL | METH_KEYWORDS, OPEN_BATCHES_DOC},
    {"batches_names", pyext::guarded_entry<batches_names>, METH_O, "batches_names(handle) -> list of str"},
    {"batches_schema", pyext::guarded_entry<batches_schema>, METH_O, "batches_schema(handle) -> arrow_schema capsule"},
    {"batches_stream", pyext::guarded_entry<batches_stream>, METH_VARARGS,
     "batches_stream(handle, requested_schema) -> arrow_array_stream capsule, once"},
    {"batches_result", pyext::guarded_entry<batches_result>, METH_O,
     "batches_result(handle) -> dict once the stream has ended, else None"},
    {"transcode_single_byte", pyext::guarded_entry<transcode_single_byte>, METH_VARARGS, TRANSCODE_SINGLE_BYTE_DOC},
    {"commit", pyext::guarded_entry<commit>, METH_VARARGS, COMMIT_DOC},
    {"pause_commits_for_tests", pyext::guarded_entry<pause_commits>, METH_VARARGS, PAUSE_COMMITS_DOC},
    {"utf8_evidence", pyext::guarded_entry<utf8_evidence>, METH_VARARGS, UTF8_EVIDENCE_DOC},
    {"sample_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sample_records)),
     METH_FASTCALL | METH_KEYWORDS, SAMPLE_RECORDS_DOC},
    {"column_counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_counts)),
     METH_FASTCALL | METH_KEYWORDS, COLUMN_COUNTS_DOC},
    {"dialect_counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dialect_counts)),
     METH_FASTCALL | METH_KEYWORDS, DIALECT_COUNTS_DOC},
    {"weak_block", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(weak_block)),
     METH_FASTCALL | METH_KEYWORDS, WEAK_BLOCK_DOC},
    {"blank_openings", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(blank_openings)),
     METH_FASTCALL | METH_KEYWORDS, BLANK_OPENINGS_DOC},
    {nullptr, nullptr, 0, nullptr},
};

int native_exec(PyObject* module) {
  if (pyext::watch_finalizing() < 0) return -1;
  return add_source_map_type(module);
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(native_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "csv_quorle._native",
    "The engine of csv_quorle.",
    0,
    native_methods,
    native_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorle::native

PyMODINIT_FUNC PyInit__native() {
  return PyModuleDef_Init(&quorle::native::native_module);
}

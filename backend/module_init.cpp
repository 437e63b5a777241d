// The module definition and its execution step.
#include <iterator>

#include "pyboundary/entry_guard.hpp"
#include "backend/functions.hpp"
#include "backend/reader_type.hpp"
#include "backend/summary_type.hpp"

namespace quorle::pyext {
namespace {

constexpr const char* MODULE_DOC =
    "High-performance, fault-tolerant CSV quorle and reconstruction engine.\n"
    "\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError.";

constexpr const char* ALL[] = {"quorle_file", "sniff", "open", "QuorleSummary", "QuorleReader"};

bool set_str(PyObject* module, const char* attribute, const char* value) {
  PyRef text = PyRef::steal(PyUnicode_FromString(value));
  return text && PyObject_SetAttrString(module, attribute, text.get()) == 0;
}

bool add_function(PyObject* module, PyMethodDef* def) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  PyRef function = PyRef::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!function) return false;
  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  return name && PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

bool add_type(PyObject* module, const char* name, PyObject* type) {
  return type && PyObject_SetAttrString(module, name, type) == 0;
}

int exec_module(PyObject* module) noexcept {
  return guarded(-1, [&]() -> int {
    if (!PyModule_Check(module)) {
      PyErr_SetString(PyExc_SystemError, "_csv_quorle_backend was not given a module to fill");
      return -1;
    }
    if (!set_str(module, "__version__", QUORLE_VERSION) ||
        !set_str(module, "__doc__", MODULE_DOC)) {
      return -1;
    }
    PyRef all = PyRef::steal(PyList_New(std::size(ALL)));
    if (!all) return -1;
    for (std::size_t i = 0; i < std::size(ALL); ++i) {
      PyObject* s = PyUnicode_FromString(ALL[i]);
      if (!s) return -1;
      PyList_SET_ITEM(all.get(), static_cast<Py_ssize_t>(i), s);
    }
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    if (!add_function(module, &quorle_file_def) || !add_function(module, &sniff_def) ||
        !add_function(module, &open_def)) {
      return -1;
    }
    if (!add_type(module, "QuorleSummary", summary_type()) ||
        !add_type(module, "QuorleReader", reader_type())) {
      return -1;
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_csv_quorle_backend",
    "The native _csv_quorle_backend Python module.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorle::pyext

PyMODINIT_FUNC PyInit__csv_quorle_backend() {
  return PyModuleDef_Init(&quorle::pyext::module_def);
}

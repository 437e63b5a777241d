// An extension built only for tests: functions that fail on purpose inside the same guard that
// every entry point of _csv_quorle_backend runs in, so that the Python tests can see what each
// kind of failure becomes.
#include <new>
#include <stdexcept>

#include "engine/invariant.hpp"
#include "engine/records.hpp"
#include "backend/internal_failure.hpp"
#include "pyboundary/entry_guard.hpp"

namespace quorle::pyext {
namespace {

PyObject* broken_invariant(PyObject*, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, []() -> PyObject* {
    QUORLE_CHECK(1 + 1 == 3);
    return nullptr;
  });
}
PyObject* out_of_memory(PyObject*, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, []() -> PyObject* { throw std::bad_alloc(); });
}
PyObject* too_many_columns(PyObject*, PyObject*) noexcept {
  return guarded<PyObject*>(
      nullptr, []() -> PyObject* { throw engine::ColumnCountTooLarge(std::uint64_t{1} << 40); });
}
PyObject* standard_exception(PyObject*, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr,
                            []() -> PyObject* { throw std::runtime_error("no text here"); });
}
PyObject* foreign_exception(PyObject*, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, []() -> PyObject* { throw 42; });
}
PyObject* failure_without_exception(PyObject*, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, []() -> PyObject* { return nullptr; });
}
PyObject* internal_failure(PyObject*, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr,
                            []() -> PyObject* { return Py_XNewRef(internal_failure_class()); });
}

PyMethodDef probe_methods[] = {
    {"broken_invariant", broken_invariant, METH_NOARGS, nullptr},
    {"out_of_memory", out_of_memory, METH_NOARGS, nullptr},
    {"too_many_columns", too_many_columns, METH_NOARGS, nullptr},
    {"standard_exception", standard_exception, METH_NOARGS, nullptr},
    {"foreign_exception", foreign_exception, METH_NOARGS, nullptr},
    {"failure_without_exception", failure_without_exception, METH_NOARGS, nullptr},
    {"internal_failure", internal_failure, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Like the module itself, the probe needs no interpreter lock: importing it in a test run must not
// turn the lock back on for the whole run.
PyModuleDef_Slot probe_slots[] = {
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT,
                         "_quorle_guard_probe",
                         nullptr,
                         0,
                         probe_methods,
                         probe_slots,
                         nullptr,
                         nullptr,
                         nullptr};

}  // namespace
}  // namespace quorle::pyext

PyMODINIT_FUNC PyInit__quorle_guard_probe() {
  return PyModuleDef_Init(&quorle::pyext::probe_def);
}

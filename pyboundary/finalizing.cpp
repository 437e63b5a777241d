#include "pyboundary/finalizing.hpp"

#include <atomic>

namespace quorle::pyext {

#if PY_VERSION_HEX >= 0x030D0000

bool interpreter_finalizing() noexcept {
  return Py_IsFinalizing() != 0;
}

int watch_finalizing() noexcept {
  return 0;
}

#else

namespace {

std::atomic<bool> at_exit{false};

PyObject* note_exit(PyObject*, PyObject*) noexcept {
  at_exit.store(true, std::memory_order_release);
  Py_RETURN_NONE;
}

PyMethodDef note_exit_def = {"_quorle_note_exit", note_exit, METH_NOARGS, nullptr};

}  // namespace

bool interpreter_finalizing() noexcept {
  return at_exit.load(std::memory_order_acquire);
}

int watch_finalizing() noexcept {
  // One handler per process is enough; a second module object registers nothing more.
  static std::atomic<bool> registered{false};
  if (registered.load(std::memory_order_acquire)) return 0;
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  PyRef handler = PyRef::steal(PyCFunction_New(&note_exit_def, nullptr));
  if (!handler) return -1;
  PyRef done =
      PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", handler.get()));
  if (!done) return -1;
  registered.store(true, std::memory_order_release);
  return 0;
}

#endif

}  // namespace quorle::pyext

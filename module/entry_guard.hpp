// The guard around every entry point: no C++ exception ever crosses into the interpreter. Memory
// exhaustion becomes MemoryError; anything else is a broken internal invariant and becomes
// InternalFailure, which derives from BaseException so that `except Exception` lets it through.
#pragma once

#include "module/py_ref.hpp"

namespace quorle::pyext {

/// The InternalFailure class (borrowed), made once per process; null with an exception set when
/// it cannot be made.
PyObject* internal_failure_class();

/// Sets the Python exception for the C++ exception being handled. Must be called from a catch
/// block. Ends the process if even that fails.
void raise_current_exception() noexcept;

/// Runs `work`, which returns the entry point's result: a value, or `error` with a Python
/// exception set. A failure reported without an exception becomes SystemError.
template <class R, class Work>
R guarded(R error, Work&& work) noexcept {
  try {
    R result = work();
    if (result == error && !PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return result;
  } catch (...) {
    raise_current_exception();
    return error;
  }
}

/// The same for next(): there a null result without an exception means the end of iteration.
template <class Work>
PyObject* guarded_next(Work&& work) noexcept {
  try {
    return work();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace quorle::pyext

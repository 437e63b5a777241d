// The guard around every entry point of an extension: no C++ exception ever crosses into the
// interpreter. Memory exhaustion becomes MemoryError; anything else is a broken internal invariant
// and becomes the extension's failure class (the backend's InternalFailure derives from
// BaseException, so that `except Exception` lets it through).
#pragma once

#include <string>

#include "pyboundary/py_ref.hpp"

namespace quorle::pyext {

/// How one extension reports a broken invariant. Each extension defines THIS_EXTENSION once.
struct ExtensionIdentity {
  const char* name;                ///< "_csv_quorle_backend", for fatal messages
  const char* failure_class_name;  ///< "InternalFailure", for fatal messages
  PyObject* (*failure_class)();    ///< borrowed; null with an exception set when it cannot be made
  const char* what_prefix;         ///< put before the text of a std::exception
  const char* generic_failure;     ///< the text for an exception that carries none
};
extern const ExtensionIdentity THIS_EXTENSION;

/// Sets the Python exception for the C++ exception being handled. Must be called from a catch
/// block. Ends the process if even that fails.
void raise_current_exception() noexcept;

/// The C++ exception being handled, for a report that is not a Python exception (an Arrow
/// stream's error, told on any thread): its text, with ENOMEM for memory exhaustion, else EIO.
/// Must be called from a catch block.
struct FailureText {
  std::string message;
  int code;
};
FailureText describe_current_exception();

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

/// A method-table entry (METH_O, METH_VARARGS, METH_NOARGS) run inside the guard.
template <PyObject* (*Function)(PyObject*, PyObject*)>
PyObject* guarded_entry(PyObject* self, PyObject* argument) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return Function(self, argument); });
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

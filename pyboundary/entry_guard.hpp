// The guard around every entry point of an extension: no C++ exception ever crosses into the
// interpreter. Memory exhaustion becomes MemoryError; anything else is a broken internal invariant
// and becomes the extension's failure class (the backend's InternalFailure derives from
// BaseException, so that `except Exception` lets it through).
#pragma once

#include <string>
#include <type_traits>

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

/// `Function` (a method, a getter, a type slot that returns an object or an int) run inside the
/// guard: guarded_entry<f> goes into the table where f would.
template <auto Function>
struct Guarded;
template <class R, class... Args, R (*Function)(Args...)>
struct Guarded<Function> {
  static_assert(std::is_same_v<R, PyObject*> || std::is_same_v<R, int>);
  static R entry(Args... args) noexcept {
    constexpr R error = [] {
      if constexpr (std::is_same_v<R, int>) return -1;
      else return static_cast<PyObject*>(nullptr);
    }();
    return guarded<R>(error, [&] { return Function(args...); });
  }
};
template <auto Function>
inline constexpr auto guarded_entry = &Guarded<Function>::entry;

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

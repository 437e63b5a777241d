// The backend's class for a broken internal invariant, and its identity for the entry guard.
#pragma once

#include "pyboundary/py_ref.hpp"

namespace quorle::pyext {

/// The InternalFailure class (borrowed), made once per process; null with an exception set when
/// it cannot be made.
PyObject* internal_failure_class();

}  // namespace quorle::pyext

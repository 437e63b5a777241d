// QuorleReader: reads and rescues a whole file when created, then hands its good rows out one
// list of str at a time.
#pragma once

#include "pyboundary/py_ref.hpp"

namespace quorle::pyext {

/// The class (borrowed), made once per process; null with an exception set on failure.
PyObject* reader_type();
/// open(), which makes a reader, as the module definition registers it.
extern PyMethodDef open_def;

}  // namespace quorle::pyext

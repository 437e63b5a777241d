// Whether the interpreter is shutting down, asked from any thread, with or without the
// interpreter lock: then a thread must not take the lock back (it would hang or end the process).
#pragma once

#include "pyboundary/py_ref.hpp"

namespace quorle::pyext {

/// True once the interpreter has begun to shut down. Before 3.13 (no public Py_IsFinalizing) this
/// is true from the moment the atexit handlers run, which comes just before the shutdown itself.
bool interpreter_finalizing() noexcept;

/// Call from a module's exec step: before 3.13 it registers the atexit handler that the answer
/// above rests on. 0, or -1 with an exception set.
int watch_finalizing() noexcept;

}  // namespace quorle::pyext

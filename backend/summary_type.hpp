// QuorleSummary: the immutable counters of one run.
#pragma once

#include "engine/records.hpp"
#include "pyboundary/py_ref.hpp"

namespace quorle::pyext {

/// The class (borrowed), made once per process; null with an exception set on failure.
PyObject* summary_type();
/// A new instance holding a copy of the counters.
PyRef new_summary(const engine::RunCounters& counters);

}  // namespace quorle::pyext

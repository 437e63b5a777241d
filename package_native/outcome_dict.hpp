// The outcome of a pass as the dict the Python side builds its Report from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "engine/report_pass.hpp"

namespace quorle::native {

/// New reference, or null with a Python exception set.
PyObject* outcome_dict(const engine::ReportPassOutcome& out);

}  // namespace quorle::native

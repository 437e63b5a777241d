// Arguments of the pass that rescue() and open_batches() both take and that no format unit of
// PyArg_ParseTuple converts.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "engine/records.hpp"

namespace quorle::native {

/// The header's names from None (none) or a sequence of bytes, each a name in UTF-8. False with
/// a Python exception set.
bool header_names_argument(PyObject* names, engine::Row& out);

}  // namespace quorle::native

// How the package's extension reports a broken internal invariant: as SystemError.
#include "pyboundary/entry_guard.hpp"

namespace quorle::pyext {

const ExtensionIdentity THIS_EXTENSION = {
    "csv_quorle._native", "SystemError", [] { return PyExc_SystemError; },
    "internal failure in csv_quorle: ", "internal failure in csv_quorle",
};

}  // namespace quorle::pyext

// csv_quorle._native.commit: finished outputs into place as a pair, in one call that runs no
// Python code, so a signal arriving meanwhile is handled once both are in place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorle::native {

/// commit(lead, follower) -> None; each is None or (fd, temporary, target, name).
PyObject* commit(PyObject* self, PyObject* args);
/// pause_commits_for_tests(fd, step) -> None
PyObject* pause_commits(PyObject* self, PyObject* args);

inline constexpr const char* COMMIT_DOC =
    "commit(lead, follower) -> None\n\n"
    "Puts two finished outputs into place, either None or (fd, temporary, target, name): an "
    "unnamed file (temporary b\"\") or a named temporary, the path it replaces, and what an error "
    "calls it. The follower's old file goes before the lead replaces its target. Raises OSError "
    "naming the output that failed; descriptors stay open.";

inline constexpr const char* PAUSE_COMMITS_DOC =
    "pause_commits_for_tests(fd, step) -> None\n\n"
    "Tests only: commits write one byte to fd after step 1, 2 or 3 and sleep 300 ms; fd -1 stops.";

}  // namespace quorle::native

#include "package_native/commit_functions.hpp"

#include <cstring>
#include <optional>
#include <string>

#include "package_native/commit_files.hpp"
#include "pyboundary/errno_error.hpp"

namespace quorle::native {
namespace {

// Reads None or (fd, temporary, target, name); false with an exception set when malformed.
bool read_output(PyObject* item, std::optional<PendingOutput>& out, PyObject*& name) {
  if (item == Py_None) return true;
  int fd;
  const char *temporary, *target;
  Py_ssize_t temporary_size, target_size;
  if (!PyArg_ParseTuple(item, "iy#y#O:commit", &fd, &temporary, &temporary_size, &target,
                        &target_size, &name)) {
    return false;
  }
  out.emplace();
  out->fd = fd;
  out->temporary.assign(temporary, static_cast<std::size_t>(temporary_size));
  out->target.assign(target, static_cast<std::size_t>(target_size));
  return true;
}

}  // namespace

PyObject* commit(PyObject*, PyObject* args) {
  PyObject *lead_item, *follower_item;
  if (!PyArg_ParseTuple(args, "OO:commit", &lead_item, &follower_item)) return nullptr;
  std::optional<PendingOutput> lead, follower;
  PyObject *lead_name = Py_None, *follower_name = Py_None;
  std::optional<CommitFailure> failure;
  try {
    if (!read_output(lead_item, lead, lead_name) ||
        !read_output(follower_item, follower, follower_name)) {
      return nullptr;
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Py_BEGIN_ALLOW_THREADS;
  failure = commit_outputs(lead ? &*lead : nullptr, follower ? &*follower : nullptr);
  Py_END_ALLOW_THREADS;
  if (!failure) Py_RETURN_NONE;
  PyObject* name = failure->follower ? follower_name : lead_name;
  return pyext::raise_errno_error(failure->error, name);
}

PyObject* pause_commits(PyObject*, PyObject* args) {
  int fd, step;
  if (!PyArg_ParseTuple(args, "ii:pause_commits_for_tests", &fd, &step)) return nullptr;
  pause_commits_for_tests(fd, step);
  Py_RETURN_NONE;
}

}  // namespace quorle::native

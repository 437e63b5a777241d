// csv_quorle._native.SourceMap: a read-only map of a source file, guarded against the file being
// cut short while it is read (see source_guard.hpp). It exports its bytes through the buffer
// protocol, so memoryviews and slices of it keep it, and its guard, alive; close() refuses while
// any is left, as mmap.close() does.
//
// SourceWatch is the native readers' side: from a buffer they were given it finds the guarded map
// it lies in, if any, and tells whether the source changed while they read.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "pyboundary/py_ref.hpp"

namespace quorle::native {

inline constexpr const char* SOURCE_CHANGED = "the source changed while it was read";

/// What a guarded map holds; fixed while any buffer of it is exported.
struct MappedFile {
  const char* data = nullptr;
  std::size_t length = 0;
  int fd = -1;  // a descriptor of its own, to see the file's size
  int slot = -1;
  std::string name;             // for messages, as the file system spells it
  pyext::PyRef filename;        // the name the caller gave, for OSError.filename
};

class SourceWatch {
 public:
  /// Looks `buffer` up among the guarded maps (and installs the SIGBUS handler again if another
  /// replaced it). The caller holds an export of it for as long as the watch is used.
  explicit SourceWatch(std::string_view buffer);

  /// A read past the file's end has faulted: cheap, for periodic checks.
  bool faulted() const;
  /// Faulted, or the file is now shorter than its map: the final check.
  bool changed() const;
  /// "<name>: the source changed while it was read".
  std::string message() const;
  /// Sets OSError(EIO, SOURCE_CHANGED, filename) and returns null. With the interpreter lock.
  PyObject* raise() const;

 private:
  const MappedFile* file_ = nullptr;
};

/// Adds the SourceMap type to the module; -1 with an exception set on failure.
int add_source_map_type(PyObject* module);

inline constexpr const char* SOURCE_MAP_DOC =
    "SourceMap(fd, name)\n--\n\n"
    "A read-only map of the regular file open at `fd` (which stays the caller's), guarded: when "
    "the file is cut short while it is mapped, reads past its new end see zeros instead of "
    "killing the process, and changed() turns true.";

}  // namespace quorle::native

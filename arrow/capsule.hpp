// The PyCapsule interface: an ArrowSchema or ArrowArrayStream handed to Python as a capsule named
// "arrow_schema" or "arrow_array_stream". A consumer that takes the struct moves it out and leaves
// release null; a capsule dropped unconsumed releases it in its destructor.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arrow/abi.hpp"

namespace quorle::arrow::py {

/// A new capsule that owns the schema, which it moves out of `*schema` (left released). Null with
/// a Python exception set on failure; the schema is released then.
PyObject* schema_capsule(ArrowSchema* schema) noexcept;

/// The same for a stream, named "arrow_array_stream".
PyObject* stream_capsule(ArrowArrayStream* stream) noexcept;

/// The `requested_schema` argument of __arrow_c_stream__: null for None, else the schema inside an
/// "arrow_schema" capsule. False with TypeError set for anything else.
bool requested_schema(PyObject* argument, const ArrowSchema** out) noexcept;

}  // namespace quorle::arrow::py

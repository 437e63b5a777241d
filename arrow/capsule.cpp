#include "arrow/capsule.hpp"

#include <cstdlib>

namespace quorle::arrow::py {
namespace {

constexpr const char* kSchemaName = "arrow_schema";
constexpr const char* kStreamName = "arrow_array_stream";

void destroy_schema(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaName));
  if (schema == nullptr) {  // cannot happen with our name; never leave an error in a destructor
    PyErr_Clear();
    return;
  }
  if (schema->release != nullptr) schema->release(schema);
  std::free(schema);
}

void destroy_stream(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamName));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  std::free(stream);
}

// Moves *from into a heap copy owned by a new capsule.
template <class Struct>
PyObject* make_capsule(Struct* from, const char* name, PyCapsule_Destructor destroy) noexcept {
  auto* held = static_cast<Struct*>(std::malloc(sizeof(Struct)));
  if (held == nullptr) {
    if (from->release != nullptr) from->release(from);
    return PyErr_NoMemory();
  }
  *held = *from;
  from->release = nullptr;
  PyObject* capsule = PyCapsule_New(held, name, destroy);
  if (capsule == nullptr) {
    if (held->release != nullptr) held->release(held);
    std::free(held);
  }
  return capsule;
}

}  // namespace

PyObject* schema_capsule(ArrowSchema* schema) noexcept {
  return make_capsule(schema, kSchemaName, destroy_schema);
}

PyObject* stream_capsule(ArrowArrayStream* stream) noexcept {
  return make_capsule(stream, kStreamName, destroy_stream);
}

bool requested_schema(PyObject* argument, const ArrowSchema** out) noexcept {
  *out = nullptr;
  if (argument == nullptr || argument == Py_None) return true;
  if (!PyCapsule_IsValid(argument, kSchemaName)) {
    PyErr_SetString(PyExc_TypeError, "requested_schema must be None or an 'arrow_schema' capsule");
    return false;
  }
  *out = static_cast<const ArrowSchema*>(PyCapsule_GetPointer(argument, kSchemaName));
  return *out != nullptr;
}

}  // namespace quorle::arrow::py

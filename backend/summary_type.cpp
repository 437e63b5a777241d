#include "backend/summary_type.hpp"

#include <string>

#include "engine/pipeline.hpp"
#include "pyboundary/entry_guard.hpp"
#include "pyboundary/once.hpp"

namespace quorle::pyext {
using engine::RunCounters;

namespace {

struct Summary {
  PyObject_HEAD RunCounters counters;
};

RunCounters& counters_of(PyObject* self) {
  return reinterpret_cast<Summary*>(self)->counters;
}

PyObject* delimiter_str(const RunCounters& r) {
  return PyUnicode_FromOrdinal(static_cast<int>(r.delimiter));
}

template <std::uint64_t RunCounters::*Field>
PyObject* Summary_get_count(PyObject* self, void*) noexcept {
  return guarded<PyObject*>(nullptr,
                            [&] { return PyLong_FromUnsignedLongLong(counters_of(self).*Field); });
}

PyObject* Summary_get_delimiter(PyObject* self, void*) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return delimiter_str(counters_of(self)); });
}

PyObject* Summary_repr(PyObject* self) noexcept {
  return guarded<PyObject*>(nullptr, [&] {
    const RunCounters& r = counters_of(self);
    // The delimiter goes in unchanged, without escaping: a tab is a real tab.
    const std::string text = "<QuorleSummary total_rows=" + std::to_string(r.total_rows) +
                             " quorled_rows=" + std::to_string(r.quorled_rows) +
                             " repaired_rows=" + std::to_string(r.repaired_rows) +
                             " quarantined_rows=" + std::to_string(r.quarantined_rows) +
                             " delimiter='" + engine::code_point_utf8(r.delimiter) +
                             "' inferred_columns=" + std::to_string(r.inferred_columns) + ">";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* Summary_to_dict(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const RunCounters& r = counters_of(self);
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    auto put = [&](const char* key, PyObject* made) {
      PyRef value = PyRef::steal(made);
      return value && PyDict_SetItemString(dict.get(), key, value.get()) == 0;
    };
    if (!put("total_rows", PyLong_FromUnsignedLongLong(r.total_rows)) ||
        !put("quorled_rows", PyLong_FromUnsignedLongLong(r.quorled_rows)) ||
        !put("repaired_rows", PyLong_FromUnsignedLongLong(r.repaired_rows)) ||
        !put("quarantined_rows", PyLong_FromUnsignedLongLong(r.quarantined_rows)) ||
        !put("detected_delimiter", delimiter_str(r)) ||
        !put("inferred_columns", PyLong_FromUnsignedLongLong(r.inferred_columns))) {
      return nullptr;
    }
    return dict.release();
  });
}

void Summary_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef Summary_getset[] = {
    {"total_rows", Summary_get_count<&RunCounters::total_rows>, nullptr, nullptr, nullptr},
    {"quorled_rows", Summary_get_count<&RunCounters::quorled_rows>, nullptr, nullptr, nullptr},
    {"repaired_rows", Summary_get_count<&RunCounters::repaired_rows>, nullptr, nullptr, nullptr},
    {"quarantined_rows", Summary_get_count<&RunCounters::quarantined_rows>, nullptr, nullptr,
     nullptr},
    {"detected_delimiter", Summary_get_delimiter, nullptr, nullptr, nullptr},
    {"inferred_columns", Summary_get_count<&RunCounters::inferred_columns>, nullptr, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef Summary_methods[] = {
    {"to_dict", Summary_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nConverts the summary into a native Python dictionary."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Summary_Type_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-exposed summary of a quorle operation.")},
    {Py_tp_getset, Summary_getset},
    {Py_tp_methods, Summary_methods},
    {Py_tp_repr, reinterpret_cast<void*>(Summary_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Summary_dealloc)},
    {0, nullptr},
};

PyType_Spec Summary_Type_spec = {
    "builtins.QuorleSummary",
    sizeof(Summary),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    Summary_Type_slots,
};

OnceObject the_type;

}  // namespace

PyObject* summary_type() {
  return the_type.get([] { return PyRef::steal(PyType_FromSpec(&Summary_Type_spec)); });
}

PyRef new_summary(const RunCounters& record) {
  PyObject* type = summary_type();
  if (!type) return PyRef();
  auto* t = reinterpret_cast<PyTypeObject*>(type);
  PyRef self = PyRef::steal(t->tp_alloc(t, 0));
  if (!self) return self;
  counters_of(self.get()) = record;
  return self;
}

}  // namespace quorle::pyext

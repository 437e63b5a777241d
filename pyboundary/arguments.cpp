#include "pyboundary/arguments.hpp"

#include <climits>
#include <cstring>

namespace quorle::pyext {
namespace {

// TypeError in the words Python's own checks use, noted.
bool type_mismatch(PyObject* value, const char* name, const char* expected) {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
    if (qualname) {
      PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(),
                   expected);
    } else {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "'<failed to extract type name>' object is not an instance of '%s'", expected);
    }
  }
  note_parameter(name);
  return false;
}

// A NumPy boolean scalar, told by its type's module and name without importing NumPy.
bool is_numpy_bool(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// None empties `out`; anything else is converted by `convert`.
template <class T, class Convert>
bool none_or(PyObject* value, std::optional<T>& out, Convert convert) {
  if (!value) return true;
  if (value == Py_None) {
    out.reset();
    return true;
  }
  T converted{};
  if (!convert(converted)) return false;
  out = converted;
  return true;
}

}  // namespace

void note_parameter(const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exception = PyErr_GetRaisedException();
#else
  PyObject *type, *exception, *traceback;
  PyErr_Fetch(&type, &exception, &traceback);
  PyErr_NormalizeException(&type, &exception, &traceback);
#endif
  if (exception) {
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", name));
    PyRef done = note ? PyRef::steal(PyObject_CallMethod(exception, "add_note", "O", note.get()))
                      : PyRef();
    if (!done) PyErr_Clear();  // a failing note leaves the first exception as it was
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyErr_Restore(type, exception, traceback);
#endif
}

void refuse_argument(PyObject* type, const char* name, const char* message) {
  PyErr_SetString(type, message);
  note_parameter(name);
}

bool long_argument(PyObject* value, const char* name, long long& out) {
  if (!value) return true;
  const long long n = PyLong_AsLongLong(value);
  if (n == -1 && PyErr_Occurred()) {
    note_parameter(name);
    return false;
  }
  out = n;
  return true;
}

bool int_argument(PyObject* value, const char* name, int& out) {
  long long n = out;
  if (!long_argument(value, name, n)) return false;
  if (n < INT_MIN || n > INT_MAX) {
    refuse_argument(PyExc_OverflowError, name, "the value does not fit a C int");
    return false;
  }
  out = static_cast<int>(n);
  return true;
}

bool count_argument(PyObject* value, const char* name, std::uint64_t& out) {
  if (!value) return true;
  const unsigned long long n = PyLong_AsUnsignedLongLong(value);
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    note_parameter(name);
    return false;
  }
  out = n;
  return true;
}

bool truth_argument(PyObject* value, const char* name, bool& out) {
  if (!value) return true;
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) {
    note_parameter(name);
    return false;
  }
  out = truth == 1;
  return true;
}

bool path_bytes_argument(PyObject* value, const char* name, std::string& out) {
  if (!value) return true;
  char* text = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(value, &text, &size) < 0) {
    note_parameter(name);
    return false;
  }
  if (std::strlen(text) != static_cast<std::size_t>(size)) {
    refuse_argument(PyExc_ValueError, name, "embedded null byte");
    return false;
  }
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool text_argument(PyObject* value, const char* name, std::string_view& out) {
  if (!value) return true;
  if (!PyUnicode_Check(value)) return type_mismatch(value, name, "str");
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);  // kept by the str, not copied
  if (!utf8) {
    note_parameter(name);
    return false;
  }
  out = {utf8, static_cast<std::size_t>(size)};
  return true;
}

bool optional_text_argument(PyObject* value, const char* name,
                            std::optional<std::string_view>& out) {
  return none_or(value, out, [&](std::string_view& text) {
    return text_argument(value, name, text);
  });
}

bool flag_argument(PyObject* value, const char* name, bool& out) {
  if (!value) return true;
  if (value == Py_True || value == Py_False) {
    out = value == Py_True;
    return true;
  }
  if (!is_numpy_bool(value)) return type_mismatch(value, name, "bool");
  return truth_argument(value, name, out);
}

bool optional_count_argument(PyObject* value, const char* name,
                             std::optional<std::uint64_t>& out) {
  return none_or(value, out, [&](std::uint64_t& n) {
    PyRef number =
        PyLong_Check(value) ? PyRef::borrow(value) : PyRef::steal(PyNumber_Index(value));
    if (!number) {
      note_parameter(name);
      return false;
    }
    return count_argument(number.get(), name, n);
  });
}

}  // namespace quorle::pyext

#include "backend/binding.hpp"

#include <string>
#include <vector>

namespace quorle::pyext {
namespace {

const char* was_or_were(Py_ssize_t n) {
  return n == 1 ? "was" : "were";
}

bool too_many_positional(const Signature& sig, Py_ssize_t nargs) {
  const std::size_t count = sig.parameters.size();
  if (sig.required == count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.display,
                 count, nargs, was_or_were(nargs));
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.display, sig.required, count, nargs, was_or_were(nargs));
  }
  return false;
}

// The index of the parameter a keyword names, or -1. Interned names usually match by identity.
Py_ssize_t parameter_index(const Signature& sig, PyObject* keyword, bool& failed) {
  for (std::size_t i = 0; i < sig.parameters.size(); ++i) {
    PyObject* name = interned(sig.parameters[i]);
    if (!name) {
      failed = true;
      return -1;
    }
    if (name == keyword) return static_cast<Py_ssize_t>(i);
  }
  for (std::size_t i = 0; i < sig.parameters.size(); ++i) {
    const int equal = PyUnicode_Compare(interned(sig.parameters[i]), keyword);
    if (equal == -1 && PyErr_Occurred()) {
      failed = true;
      return -1;
    }
    if (equal == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

bool bind_keyword(const Signature& sig, PyObject* keyword, PyObject* value, PyObject** slots) {
  bool failed = false;
  const Py_ssize_t i = parameter_index(sig, keyword, failed);
  if (failed) return false;
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display,
                 keyword);
    return false;
  }
  if (slots[i]) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", sig.display, keyword);
    return false;
  }
  slots[i] = value;
  return true;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
bool missing_required(const Signature& sig, Py_ssize_t nargs, PyObject** slots) {
  if (static_cast<std::size_t>(nargs) >= sig.required) return true;
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (!slots[i]) missing.push_back(name_text(sig.parameters[i]));
  }
  if (missing.empty()) return true;
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) list += ",";
      list += i + 1 == missing.size() ? " and " : " ";
    }
    list += "'";
    list += missing[i];
    list += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.display,
               missing.size(), missing.size() == 1 ? "argument" : "arguments", list.c_str());
  return false;
}

bool type_mismatch(PyObject* value, Name parameter, const char* expected) {
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
  add_processing_note(parameter);
  return false;
}

// A NumPy boolean scalar, told by its type's module and name without importing NumPy.
bool is_numpy_bool(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  PyRef name = PyRef::steal(PyObject_GetAttr(type, interned(Name::dunder_name)));
  if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots) {
  const std::size_t count = sig.parameters.size();
  for (std::size_t i = 0; i < count; ++i)
    slots[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > count) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i)
    slots[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
  }
  return missing_required(sig, nargs, slots);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const std::size_t count = sig.parameters.size();
  for (std::size_t i = 0; i < count; ++i)
    slots[i] = nullptr;
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(nargs) > count) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i)
    slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {  // in the order the call gave them
      if (!bind_keyword(sig, key, value, slots)) return false;
    }
  }
  return missing_required(sig, nargs, slots);
}

void add_processing_note(Name parameter) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exception = PyErr_GetRaisedException();
#else
  PyObject *type, *exception, *traceback;
  PyErr_Fetch(&type, &exception, &traceback);
  PyErr_NormalizeException(&type, &exception, &traceback);
#endif
  if (exception) {
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", name_text(parameter)));
    PyObject* method = interned(Name::add_note);
    PyRef done = note && method
                     ? PyRef::steal(PyObject_CallMethodOneArg(exception, method, note.get()))
                     : PyRef();
    if (!done) PyErr_Clear();  // a failing note leaves the first exception as it was
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyErr_Restore(type, exception, traceback);
#endif
}

bool to_text(PyObject* value, Name parameter, std::string_view& out) {
  if (!PyUnicode_Check(value)) return type_mismatch(value, parameter, "str");
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);  // kept by the str, not copied
  if (!utf8) {
    add_processing_note(parameter);
    return false;
  }
  out = {utf8, static_cast<std::size_t>(size)};
  return true;
}

bool to_optional_text(PyObject* value, Name parameter, std::optional<std::string_view>& out) {
  out.reset();
  if (!value || value == Py_None) return true;
  std::string_view text;
  if (!to_text(value, parameter, text)) return false;
  out = text;
  return true;
}

bool to_flag(PyObject* value, Name parameter, bool& out) {
  if (value == Py_True || value == Py_False) {
    out = value == Py_True;
    return true;
  }
  if (is_numpy_bool(value)) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) {
      add_processing_note(parameter);
      return false;
    }
    out = truth == 1;
    return true;
  }
  return type_mismatch(value, parameter, "bool");
}

bool to_optional_count(PyObject* value, Name parameter, std::optional<std::uint64_t>& out) {
  out.reset();
  if (!value || value == Py_None) return true;
  PyRef number = PyLong_Check(value) ? PyRef::borrow(value) : PyRef::steal(PyNumber_Index(value));
  if (!number) {
    add_processing_note(parameter);
    return false;
  }
  const unsigned long long n = PyLong_AsUnsignedLongLong(number.get());
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    add_processing_note(parameter);
    return false;
  }
  out = n;
  return true;
}

void raise_value_error(Name parameter, const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  add_processing_note(parameter);
}

}  // namespace quorle::pyext

// The Python side only: records are the tuples _native.sample_records makes (first, last, fields,
// filled, bare); a cell's weight comes from a dict the caller keeps (and its weigh fills), so a
// cell seen before costs one lookup and no call.
#include "package_native/dialect_counts_function.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "pyboundary/entry_guard.hpp"
#include "pyboundary/keywords.hpp"
#include "pyboundary/py_ref.hpp"

namespace quorle::native {
namespace {

constexpr std::array<pyext::Parameter, 5> COUNTS_PARAMETERS = {{
    {"records"}, {"typed"}, {"lines"}, {"weights"}, {"weigh"},
}};
enum CountsArgument { RECORDS, TYPED, LINES, WEIGHTS, WEIGH };
pyext::ParameterTable counts_parameters{"dialect_counts()", 1, COUNTS_PARAMETERS};

constexpr std::array<pyext::Parameter, 3> BLOCK_PARAMETERS = {{
    {"records"}, {"width"}, {"wider"},
}};
enum BlockArgument { BLOCK_RECORDS, WIDTH, WIDER };
pyext::ParameterTable block_parameters{"weak_block()", 1, BLOCK_PARAMETERS};

constexpr std::array<pyext::Parameter, 1> OPENINGS_PARAMETERS = {{{"records"}}};
pyext::ParameterTable openings_parameters{"blank_openings()", 1, OPENINGS_PARAMETERS};

constexpr long MAX_HALVES = 2;

/// One record's parts, read from its tuple; the fields list is held while it is in use.
struct Record {
  pyext::PyRef held;  // the tuple
  long long last = 0;
  PyObject* fields = nullptr;  // borrowed from the tuple
  Py_ssize_t width = 0;
  bool filled = false;
  bool bare = false;

  PyObject* field(Py_ssize_t j) const { return PyList_GET_ITEM(fields, j); }
  bool field_filled(Py_ssize_t j) const { return PyUnicode_GET_LENGTH(field(j)) != 0; }
  /// Opens with '#': a comment line. A record with no fields opens with nothing.
  bool comment() const {
    return width > 0 && PyUnicode_GET_LENGTH(field(0)) > 0 && PyUnicode_READ_CHAR(field(0), 0) == '#';
  }
  /// More than whitespace, as str.strip has it.
  bool field_written(Py_ssize_t j) const {
    PyObject* cell = field(j);
    const int kind = PyUnicode_KIND(cell);
    const void* data = PyUnicode_DATA(cell);
    for (Py_ssize_t k = 0; k < PyUnicode_GET_LENGTH(cell); ++k)
      if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, k))) return true;
    return false;
  }
  /// The width without trailing empty fields (one at least).
  Py_ssize_t trimmed() const {
    Py_ssize_t n = width;
    while (n > 1 && !field_filled(n - 1))
      --n;
    return n;
  }
  /// A filled field past the first.
  bool multi() const {
    for (Py_ssize_t j = 1; j < width; ++j)
      if (field_filled(j)) return true;
    return false;
  }
};

/// The record at `i` of `records`; false with TypeError set when it is no record tuple.
bool read_record(PyObject* records, Py_ssize_t i, Record& out) {
  PyObject* r = PyList_GET_ITEM(records, i);
  if (!PyTuple_Check(r) || PyTuple_GET_SIZE(r) != 5 || !PyList_Check(PyTuple_GET_ITEM(r, 2))) {
    PyErr_SetString(PyExc_TypeError,
                    "a record must be a tuple (first, last, fields, filled, bare)");
    return false;
  }
  out.held = pyext::PyRef::borrow(r);
  out.fields = PyTuple_GET_ITEM(r, 2);
  out.width = PyList_GET_SIZE(out.fields);
  for (Py_ssize_t j = 0; j < out.width; ++j) {
    if (!PyUnicode_Check(out.field(j))) {
      PyErr_SetString(PyExc_TypeError, "a record's fields must be str");
      return false;
    }
  }
  out.last = PyLong_AsLongLong(PyTuple_GET_ITEM(r, 1));
  if (out.last == -1 && PyErr_Occurred()) return false;
  const int filled = PyObject_IsTrue(PyTuple_GET_ITEM(r, 3));
  const int bare = PyObject_IsTrue(PyTuple_GET_ITEM(r, 4));
  if (filled < 0 || bare < 0) return false;
  out.filled = filled != 0;
  out.bare = bare != 0;
  return true;
}

/// All records, read once; the list may not be changed under the reading (nothing here calls
/// back into Python).
bool read_records(PyObject* records, std::vector<Record>& out) {
  if (!PyList_Check(records)) {
    PyErr_SetString(PyExc_TypeError, "records must be a list");
    return false;
  }
  out.resize(static_cast<std::size_t>(PyList_GET_SIZE(records)));
  for (std::size_t i = 0; i < out.size(); ++i)
    if (!read_record(records, static_cast<Py_ssize_t>(i), out[i])) return false;
  return true;
}

/// Counts of widths in the order first seen: a short list, searched from the front.
class WidthCounts {
 public:
  void add(Py_ssize_t width) {
    for (auto& [w, n] : counts_)
      if (w == width) {
        ++n;
        return;
      }
    counts_.emplace_back(width, 1);
  }
  /// {width: count} in the order first seen.
  pyext::PyRef to_dict() const {
    pyext::PyRef out = pyext::PyRef::steal(PyDict_New());
    if (!out) return out;
    for (const auto& [w, n] : counts_) {
      pyext::PyRef key = pyext::PyRef::steal(PyLong_FromSsize_t(w));
      pyext::PyRef value = pyext::PyRef::steal(PyLong_FromSsize_t(n));
      if (!key || !value || PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return {};
    }
    return out;
  }

 private:
  std::vector<std::pair<Py_ssize_t, Py_ssize_t>> counts_;
};

/// The weight of `cell` in halves: from `weights`, else from `weigh`; -1 with an exception set.
long halves_of(PyObject* cell, PyObject* weights, PyObject* weigh) {
  pyext::PyRef held;
#if PY_VERSION_HEX >= 0x030D0000
  // A strong reference: another thread's weigh may clear the dict (free-threaded builds).
  PyObject* known = nullptr;
  if (PyDict_GetItemRef(weights, cell, &known) < 0) return -1;
  held = pyext::PyRef::steal(known);
#else
  held = pyext::PyRef::borrow(PyDict_GetItemWithError(weights, cell));
  if (!held && PyErr_Occurred()) return -1;
#endif
  if (!held) {
    held = pyext::PyRef::steal(PyObject_CallOneArg(weigh, cell));
    if (!held) return -1;
  }
  const long value = PyLong_AsLong(held.get());
  if (value == -1 && PyErr_Occurred()) return -1;
  if (value < 0 || value > MAX_HALVES) {
    PyErr_Format(PyExc_ValueError, "a cell weighs %ld halves, not 0 to %ld", value, MAX_HALVES);
    return -1;
  }
  return value;
}

/// Counts over the rows a split is judged on (records not bare, comment lines aside).
struct SplitCounts {
  Py_ssize_t rows = 0;
  bool same = false;
  Py_ssize_t multi = 0;
  bool multi_first = false;
  Py_ssize_t multi_run = 1;
};

SplitCounts split_counts(const std::vector<Record>& records) {
  bool any_text = false;  // a record not bare that is no comment line
  for (const Record& r : records)
    if (!r.bare && !r.comment()) any_text = true;
  SplitCounts c;
  Py_ssize_t first_width = -1, previous = -2, run = 0;
  bool one_width = true;
  for (const Record& r : records) {
    if (r.bare || (any_text && r.comment())) continue;
    const Py_ssize_t k = c.rows++;
    if (first_width < 0) first_width = r.width;
    one_width = one_width && r.width == first_width;
    if (!r.multi()) continue;
    if (c.multi++ == 0) c.multi_first = k == 0;
    run = k == previous + 1 ? run + 1 : 1;
    c.multi_run = std::max(c.multi_run, run);
    previous = k;
  }
  c.same = c.rows > 0 && one_width && first_width >= 2;
  return c;
}

PyObject* dialect_counts_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[COUNTS_PARAMETERS.size()];
  if (!pyext::bind_keywords(counts_parameters, args, nargs, kwnames, a)) return nullptr;
  std::uint64_t typed = 0, lines = 0;
  if (!pyext::count_argument(a[TYPED], "typed", typed) ||
      !pyext::count_argument(a[LINES], "lines", lines))
    return nullptr;
  PyObject* weights = a[WEIGHTS];
  if (!PyDict_Check(weights) || !PyCallable_Check(a[WEIGH])) {
    PyErr_SetString(PyExc_TypeError, "weights must be a dict and weigh a callable");
    return nullptr;
  }
  // The list is held and read first: weigh, a Python call, may run while the cells are weighed.
  pyext::PyRef list = pyext::PyRef::borrow(a[RECORDS]);
  std::vector<Record> records;
  if (!read_records(list.get(), records)) return nullptr;

  bool any_filled = false;
  for (const Record& r : records)
    any_filled = any_filled || r.filled;
  WidthCounts widths, trimmed;
  Py_ssize_t counted = 0, halves = 0, cells = 0, read = 0, filled_rows = 0, filled_multi = 0;
  for (const Record& r : records) {
    if (r.filled && static_cast<unsigned long long>(r.last) <= lines && r.last >= 0) ++read;
    if (r.filled) {
      ++filled_rows;
      if (r.width >= 2) ++filled_multi;
      if (const Py_ssize_t t = r.trimmed(); t >= 2) trimmed.add(t);
    }
    // Rows of blank values count where nothing else is written: they show the delimiters.
    if (any_filled ? !r.filled : r.bare) continue;
    widths.add(r.width);
    if (static_cast<std::uint64_t>(counted++) >= typed) continue;
    for (Py_ssize_t j = 0; j < r.width; ++j) {
      pyext::PyRef cell = pyext::PyRef::borrow(r.field(j));
      const long h = halves_of(cell.get(), weights, a[WEIGH]);
      if (h < 0) return nullptr;
      halves += h;
      ++cells;
    }
  }
  const SplitCounts split = split_counts(records);
  pyext::PyRef width_dict = widths.to_dict();
  if (!width_dict) return nullptr;
  pyext::PyRef trimmed_dict = trimmed.to_dict();
  if (!trimmed_dict) return nullptr;
  return Py_BuildValue("(OnnnnnNnNnnnO)", width_dict.get(), counted, halves, cells, read,
                       split.rows, PyBool_FromLong(split.same), split.multi,
                       PyBool_FromLong(split.multi_first), split.multi_run, filled_rows,
                       filled_multi, trimmed_dict.get());
}

PyObject* weak_block_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[BLOCK_PARAMETERS.size()];
  if (!pyext::bind_keywords(block_parameters, args, nargs, kwnames, a)) return nullptr;
  std::uint64_t width_arg = 0;
  bool wider = false;
  if (!pyext::count_argument(a[WIDTH], "width", width_arg) ||
      !pyext::truth_argument(a[WIDER], "wider", wider))
    return nullptr;
  pyext::PyRef list = pyext::PyRef::borrow(a[BLOCK_RECORDS]);
  std::vector<Record> records;
  if (!read_records(list.get(), records)) return nullptr;
  const auto width = static_cast<Py_ssize_t>(std::min<std::uint64_t>(width_arg, PY_SSIZE_T_MAX));
  auto fits = [&](const Record& r) {
    return r.trimmed() == width || r.width == width || (wider && r.width > width);
  };

  // Blocks end at records that are not filled; a block opens past the comment lines.
  const auto n = static_cast<Py_ssize_t>(records.size());
  Py_ssize_t best_start = 0, best_end = 0, best = -1;
  Py_ssize_t start = 0, end = 0, count = 0;
  bool open = false;  // the current block holds a record
  auto close = [&] {
    if (count > best) best = count, best_start = start, best_end = end;
  };
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Record& r = records[static_cast<std::size_t>(i)];
    if (!r.filled) {
      close();
      open = false, count = 0, start = end = i + 1;
    } else if (open || !r.comment()) {
      if (!open) open = true, start = i;
      end = i + 1;
      if (r.trimmed() == width) ++count;
    }
  }
  close();
  Py_ssize_t first = -1, agree = 0;
  for (Py_ssize_t i = best_start; i < best_end; ++i) {
    if (!fits(records[static_cast<std::size_t>(i)])) continue;
    if (first < 0) first = i - best_start;
    ++agree;
  }
  return Py_BuildValue("(nnnn)", best_start, best_end, first, agree);
}

PyObject* blank_openings_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[OPENINGS_PARAMETERS.size()];
  if (!pyext::bind_keywords(openings_parameters, args, nargs, kwnames, a)) return nullptr;
  pyext::PyRef list = pyext::PyRef::borrow(a[0]);
  std::vector<Record> records;
  if (!read_records(list.get(), records)) return nullptr;
  Py_ssize_t filled = 0, opened = 0;
  for (const Record& r : records)
    for (Py_ssize_t j = 1; j < r.width; ++j) {
      if (!r.field_written(j)) continue;
      ++filled;
      if (PyUnicode_READ_CHAR(r.field(j), 0) == ' ') ++opened;
    }
  return Py_BuildValue("(nn)", filled, opened);
}

}  // namespace

PyObject* blank_openings(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return pyext::guarded<PyObject*>(nullptr,
                                   [&] { return blank_openings_impl(args, nargs, kwnames); });
}

PyObject* dialect_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return pyext::guarded<PyObject*>(nullptr,
                                   [&] { return dialect_counts_impl(args, nargs, kwnames); });
}

PyObject* weak_block(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return pyext::guarded<PyObject*>(nullptr,
                                   [&] { return weak_block_impl(args, nargs, kwnames); });
}

}  // namespace quorle::native

// The Python side of engine/sample_records: str lines in, record tuples out, each record's
// filled and bare flags worked out here, where Python's idea of whitespace is at hand.
#include "package_native/sample_records_function.hpp"

#include <array>
#include <string>
#include <vector>

#include "engine/sample_records.hpp"
#include "pyboundary/entry_guard.hpp"
#include "pyboundary/keywords.hpp"
#include "pyboundary/py_ref.hpp"

namespace quorle::native {
namespace {

constexpr std::array<pyext::Parameter, 6> SAMPLE_PARAMETERS = {{
    {"lines"},
    {"delimiter"},
    {"quote", false},
    {"escape", false},
    {"skip_initial_space", false},
    {"limit", false},
}};
enum SampleArgument { LINES, DELIMITER, QUOTE, ESCAPE, SKIP_INITIAL_SPACE, LIMIT };
pyext::ParameterTable sample_parameters{"sample_records()", 1, SAMPLE_PARAMETERS};

/// A str of one character, or None (NO_CHAR) where `none_allowed`.
bool char_argument(PyObject* value, const char* name, bool none_allowed, char32_t& out) {
  if (!value || (none_allowed && value == Py_None)) {
    out = engine::SampleDialect::NO_CHAR;
    return true;
  }
  if (!PyUnicode_Check(value) || PyUnicode_GET_LENGTH(value) != 1) {
    PyErr_Format(PyExc_TypeError, "%s must be a str of one character%s", name,
                 none_allowed ? " or None" : "");
    pyext::note_parameter(name);
    return false;
  }
  out = PyUnicode_READ_CHAR(value, 0);
  return true;
}

/// Every line's characters, one after the other, and where each line ends.
bool read_lines(PyObject* list, std::u32string& text, std::vector<std::size_t>& ends) {
  if (!PyList_Check(list)) {
    PyErr_SetString(PyExc_TypeError, "lines must be a list of str");
    pyext::note_parameter("lines");
    return false;
  }
  const Py_ssize_t count = PyList_GET_SIZE(list);
  std::size_t total = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* line = PyList_GET_ITEM(list, i);
    if (!PyUnicode_Check(line)) {
      PyErr_SetString(PyExc_TypeError, "lines must be a list of str");
      pyext::note_parameter("lines");
      return false;
    }
    total += static_cast<std::size_t>(PyUnicode_GET_LENGTH(line));
  }
  text.resize(total);
  ends.clear();
  ends.reserve(static_cast<std::size_t>(count));
  std::size_t at = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* line = PyList_GET_ITEM(list, i);
    const int kind = PyUnicode_KIND(line);
    const void* data = PyUnicode_DATA(line);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    if (kind == PyUnicode_1BYTE_KIND) {
      const Py_UCS1* bytes = static_cast<const Py_UCS1*>(data);
      for (Py_ssize_t k = 0; k < n; ++k) text[at++] = bytes[k];
    } else {
      for (Py_ssize_t k = 0; k < n; ++k) text[at++] = PyUnicode_READ(kind, data, k);
    }
    ends.push_back(at);
  }
  return true;
}

struct Scratch {
  std::u32string text;
  std::vector<std::size_t> ends;
  std::vector<std::u32string_view> lines;
  engine::SampleRecords read;
  bool busy = false;

  std::size_t bytes_held() const {
    return (text.capacity() + read.chars.capacity()) * sizeof(char32_t) +
           ends.capacity() * sizeof(std::size_t) + lines.capacity() * sizeof(lines[0]) +
           read.fields.capacity() * sizeof(read.fields[0]) +
           read.records.capacity() * sizeof(read.records[0]);
  }
};

// Buffers kept between calls up to this size: a head of the usual 64 KB and then some; the rare
// sample of megabytes (very long lines) gives its memory back.
constexpr std::size_t KEPT_BYTES = std::size_t{8} << 20;

struct ScratchUse {
  explicit ScratchUse(Scratch& s) : scratch(s) { scratch.busy = true; }
  ~ScratchUse() {
    if (scratch.bytes_held() > KEPT_BYTES) scratch = Scratch{};
    scratch.busy = false;
  }
  ScratchUse(const ScratchUse&) = delete;
  ScratchUse& operator=(const ScratchUse&) = delete;
  Scratch& scratch;
};

bool holds_more_than_whitespace(std::u32string_view field) {
  for (const char32_t c : field)
    if (!Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c))) return true;
  return false;
}

PyObject* sample_records_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[SAMPLE_PARAMETERS.size()];
  if (!pyext::bind_keywords(sample_parameters, args, nargs, kwnames, a)) return nullptr;
  engine::SampleDialect dialect;
  std::uint64_t limit = UINT64_MAX;
  if (!char_argument(a[DELIMITER], "delimiter", false, dialect.delimiter) ||
      !char_argument(a[QUOTE], "quote", true, dialect.quote) ||
      !char_argument(a[ESCAPE], "escape", true, dialect.escape) ||
      !pyext::truth_argument(a[SKIP_INITIAL_SPACE], "skip_initial_space",
                             dialect.skip_initial_space) ||
      !(a[LIMIT] == Py_None || pyext::count_argument(a[LIMIT], "limit", limit)))
    return nullptr;
  // The buffers of the last call, kept: fresh ones of this size cost page faults every time. A
  // call made while they are in use (from a finalizer run while the result is built) has its own.
  thread_local Scratch kept;  // per thread: the module runs without the GIL where it can
  Scratch own;
  Scratch& scratch = kept.busy ? own : kept;
  const ScratchUse use(scratch);
  std::u32string& text = scratch.text;
  std::vector<std::size_t>& ends = scratch.ends;
  if (!read_lines(a[LINES], text, ends)) return nullptr;
  std::vector<std::u32string_view>& lines = scratch.lines;
  lines.clear();
  lines.reserve(ends.size());
  for (std::size_t i = 0, start = 0; i < ends.size(); start = ends[i++])
    lines.push_back(std::u32string_view(text).substr(start, ends[i] - start));

  engine::SampleRecords& read = scratch.read;
  engine::read_sample_records(lines, dialect, static_cast<std::size_t>(limit), read);
  pyext::PyRef records = pyext::PyRef::steal(PyList_New(static_cast<Py_ssize_t>(read.records.size())));
  if (!records) return nullptr;
  for (std::size_t r = 0; r < read.records.size(); ++r) {
    const engine::SampleRecord& record = read.records[r];
    pyext::PyRef fields = pyext::PyRef::steal(PyList_New(static_cast<Py_ssize_t>(record.field_count)));
    if (!fields) return nullptr;
    long filled = 0;
    bool any_written = false;
    for (std::size_t f = 0; f < record.field_count; ++f) {
      const std::u32string_view field = read.field(record.first_field + f);
      filled += holds_more_than_whitespace(field);
      any_written = any_written || !field.empty();
      PyObject* value = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, field.data(),
                                                  static_cast<Py_ssize_t>(field.size()));
      if (!value) return nullptr;
      PyList_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(f), value);
    }
    // Nothing written: no field filled, and no quote on its lines made an empty value.
    bool bare = filled == 0 && (record.field_count <= 1 || !any_written);
    for (std::uint32_t line = record.first_line; bare && line <= record.last_line; ++line)
      bare = dialect.quote == engine::SampleDialect::NO_CHAR ||
             lines[line - 1].find(dialect.quote) == std::u32string_view::npos;
    pyext::PyRef item = pyext::PyRef::steal(PyTuple_New(5));
    if (!item) return nullptr;
    PyObject* parts[] = {PyLong_FromUnsignedLong(record.first_line),
                         PyLong_FromUnsignedLong(record.last_line), fields.release(),
                         PyLong_FromLong(filled), Py_NewRef(bare ? Py_True : Py_False)};
    for (Py_ssize_t k = 0; k < 5; ++k) PyTuple_SET_ITEM(item.get(), k, parts[k]);
    if (!parts[0] || !parts[1] || !parts[3]) return nullptr;
    PyList_SET_ITEM(records.get(), static_cast<Py_ssize_t>(r), item.release());
  }
  return Py_BuildValue("(OO)", records.get(), read.stopped ? Py_True : Py_False);
}

}  // namespace

PyObject* sample_records(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return pyext::guarded<PyObject*>(nullptr,
                                   [&] { return sample_records_impl(args, nargs, kwnames); });
}

}  // namespace quorle::native

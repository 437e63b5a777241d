#include "package_native/outcome_dict.hpp"

#include <cstring>

#include "pyboundary/py_ref.hpp"

namespace quorle::native {
namespace {

PyObject* lines_tuple(const engine::LineSample& sample) {
  pyext::PyRef t = pyext::PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(sample.lines.size())));
  if (!t) return nullptr;
  for (std::size_t i = 0; i < sample.lines.size(); ++i) {
    PyObject* v = PyLong_FromUnsignedLongLong(sample.lines[i]);
    if (!v) return nullptr;
    PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), v);
  }
  return t.release();
}

PyObject* header_list(const engine::ReportPassOutcome& out) {
  if (!out.has_header) Py_RETURN_NONE;
  pyext::PyRef list = pyext::PyRef::steal(PyList_New(static_cast<Py_ssize_t>(out.header.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < out.header.size(); ++i) {
    const std::string& f = out.header[i];
    PyObject* s = PyUnicode_DecodeUTF8(f.data(), static_cast<Py_ssize_t>(f.size()), "replace");
    if (!s) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

// Repairs as packed records, 24 bytes each in native byte order: first line (u64), last line
// (u64), count (u32), kind (u8), three bytes of padding. The Python side reads them lazily.
PyObject* packed_repairs(const engine::ReportPassOutcome& out) {
  constexpr std::size_t SIZE = 24;
  PyObject* b =
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(out.repairs.size() * SIZE));
  if (!b) return nullptr;
  char* p = PyBytes_AS_STRING(b);
  for (const engine::RepairEvent& r : out.repairs) {
    std::memset(p, 0, SIZE);
    std::memcpy(p, &r.first_line, 8);
    std::memcpy(p + 8, &r.last_line, 8);
    std::memcpy(p + 16, &r.count, 4);
    p[20] = static_cast<char>(r.kind);
    p += SIZE;
  }
  return b;
}

// Skipped runs as packed records, 40 bytes each in native byte order: first line, last line,
// begin and end of the first record's bytes in the input (u64 each), kind (u8), seven bytes of
// padding.
PyObject* packed_skipped(const engine::ReportPassOutcome& out) {
  constexpr std::size_t SIZE = 40;
  PyObject* b =
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(out.skipped.size() * SIZE));
  if (!b) return nullptr;
  char* p = PyBytes_AS_STRING(b);
  for (const engine::SkippedRun& r : out.skipped) {
    std::memset(p, 0, SIZE);
    std::memcpy(p, &r.first_line, 8);
    std::memcpy(p + 8, &r.last_line, 8);
    std::memcpy(p + 16, &r.begin, 8);
    std::memcpy(p + 24, &r.end, 8);
    p[32] = static_cast<char>(r.kind);
    p += SIZE;
  }
  return b;
}

// Stored rows' lines, two u64 each in native byte order.
PyObject* packed_row_lines(const engine::ReportPassOutcome& out) {
  const std::size_t size = out.row_lines.size() * 16;
  PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (!b) return nullptr;
  char* p = PyBytes_AS_STRING(b);
  for (const engine::LineSpan& r : out.row_lines) {
    std::memcpy(p, &r.first_line, 8);
    std::memcpy(p + 8, &r.last_line, 8);
    p += 16;
  }
  return b;
}

}  // namespace

PyObject* outcome_dict(const engine::ReportPassOutcome& out) {
  return Py_BuildValue(
      "{sKsKsKsnsKsKsNsNsKsNsKsNsNsKsNsKsKsKsKsNsNsNsKsNsN}", "total_rows", out.total_rows, "good_rows",
      out.good_rows,
      "repaired_rows", out.repaired_rows, "quarantined_rows",
      static_cast<Py_ssize_t>(out.quarantine.size()), "blank_lines", out.blank_lines, "columns",
      out.columns, "header", header_list(out), "repairs", packed_repairs(out), "replaced_bytes",
      out.replaced.count, "replaced_lines", lines_tuple(out.replaced), "recoded_bytes",
      out.recoded.count, "recoded_lines", lines_tuple(out.recoded), "reread_lines",
      lines_tuple(out.rereads), "long_quotes", out.long_quotes.count, "long_quote_lines",
      lines_tuple(out.long_quotes), "header_first_line", out.header_first_line, "header_last_line",
      out.header_last_line, "end_line", out.end_line, "names_last_line", out.names_last_line,
      "skipped", packed_skipped(out), "skips_repeated_header",
      PyBool_FromLong(out.skips_repeated_header), "row_lines", packed_row_lines(out),
      "literal_quotes", out.literal_quotes.count, "literal_quote_lines",
      lines_tuple(out.literal_quotes), "stray_quote_lines", lines_tuple(out.stray_quotes));
}

}  // namespace quorle::native

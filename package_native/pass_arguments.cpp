#include "package_native/pass_arguments.hpp"

namespace quorle::native {
namespace {

// The header's names from None (none) or a sequence of bytes, each a name in UTF-8.
bool header_names_argument(PyObject* names, engine::Row& out) {
  out.clear();
  if (names == Py_None) return true;
  pyext::PyRef items =
      pyext::PyRef::steal(PySequence_Fast(names, "header_names must be a sequence of bytes"));
  if (!items) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  bool ok = true;
  try {
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n && ok; ++i) {
      char* text = nullptr;
      Py_ssize_t size = 0;
      ok = PyBytes_AsStringAndSize(PySequence_Fast_GET_ITEM(items.get(), i), &text, &size) == 0;
      if (ok) out.emplace_back(text, static_cast<std::size_t>(size));
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    ok = false;
  }
  return ok;
}

}  // namespace

bool byte_argument(PyObject* value, const char* name, std::uint8_t& out) {
  int n = out;
  if (!pyext::int_argument(value, name, n)) return false;
  out = static_cast<std::uint8_t>(n);
  return true;
}

bool pass_options(PyObject* const* a, engine::ReportPassOptions& out,
                  engine::ParallelPlan& plan) {
  using namespace pyext;
  long long expected = -1, long_lines = 0;
  std::uint64_t threads = 1;
  if (!byte_argument(a[0], "delimiter", out.delimiter) ||
      !byte_argument(a[1], "quote", out.quote_char) ||
      !int_argument(a[2], "escape", out.escape) ||
      !truth_argument(a[3], "header", out.header) ||
      !long_argument(a[4], "expected_columns", expected) ||
      !truth_argument(a[5], "skip_blank_lines", out.skip_blank_lines) ||
      !truth_argument(a[6], "fill_ragged_rows", out.fill_ragged_rows) ||
      !truth_argument(a[7], "merge_overflow", out.merge_overflow) ||
      !truth_argument(a[8], "repair_quotes", out.repair_quotes) ||
      !long_argument(a[9], "long_quoted_lines", long_lines) ||
      !truth_argument(a[10], "recode_cp1252", out.recode_cp1252) ||
      !count_argument(a[11], "first_line", out.first_line) ||
      !count_argument(a[12], "header_rows", out.header_rows) ||
      !truth_argument(a[13], "skip_initial_space", out.skip_initial_space) ||
      !int_argument(a[14], "comment", out.comment) ||
      !truth_argument(a[15], "skip_repeated_header", out.skip_repeated_header) ||
      !count_argument(a[17], "width_hint", out.width_hint) ||
      !count_argument(a[18], "threads", threads) ||
      !count_argument(a[19], "part_bytes", plan.part_bytes)) {
    return false;
  }
  // More threads than any machine has cores would only cost their stacks.
  constexpr std::uint64_t MOST_THREADS = 1024;
  if (threads == 0 || plan.part_bytes == 0) {
    PyErr_SetString(PyExc_ValueError, threads == 0 ? "threads must be at least 1"
                                                   : "part_bytes must be at least 1");
    return false;
  }
  plan.threads = static_cast<unsigned>(threads < MOST_THREADS ? threads : MOST_THREADS);
  if (expected >= 0) out.expected_columns = static_cast<std::uint64_t>(expected);
  out.long_quoted_lines = static_cast<std::uint64_t>(long_lines);
  return header_names_argument(a[16], out.header_names);
}

}  // namespace quorle::native

#include "backend/reader_type.hpp"

#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "engine/find_bytes.hpp"
#include "engine/invariant.hpp"
#include "engine/pipeline.hpp"
#include "engine/utf8.hpp"
#include "backend/borrow_flag.hpp"
#include "pyboundary/entry_guard.hpp"
#include "pyboundary/keywords.hpp"
#include "pyboundary/once.hpp"
#include "backend/options.hpp"
#include "backend/os_errors.hpp"
#include "backend/summary_type.hpp"
#include "rescue/input_file.hpp"
#include "rescue/rescue_file.hpp"

namespace quorle::pyext {
namespace {

constexpr auto READER_PARAMETERS =
    joined(std::array<Parameter, 1>{{{"file_path"}}}, REPAIR_OPTION_PARAMETERS);
ParameterTable open_parameters = positional_or_keyword("open()", READER_PARAMETERS);
ParameterTable new_parameters = positional_or_keyword("QuorleReader.__new__()", READER_PARAMETERS);
constexpr std::array<Parameter, 3> EXIT_PARAMETERS = {{
    {"_exc_type", false},
    {"_exc_val", false},
    {"_exc_tb", false},
}};
ParameterTable exit_parameters = positional_or_keyword("QuorleReader.__exit__()", EXIT_PARAMETERS);

// What a reader holds for its life: the good rows in the engine's compact form and the input
// bytes they refer to; no file handle, no path, no options, no quarantine entries.
struct ReaderState {
  explicit ReaderState(rescue::InputFile&& in) : input(std::move(in)) {}

  rescue::InputFile input;
  engine::RowStore rows;
  engine::RowStore::Cursor cursor{rows};
  engine::RunCounters summary;
#ifdef Py_GIL_DISABLED
  BasicBorrowFlag<true> borrow;
#else
  BasicBorrowFlag<false> borrow;
#endif
  engine::StoredRow row;                 // the row being handed out
  std::vector<std::string_view> fields;  // its fields, when a verbatim row must be split
  std::string unescaped;
};

struct Reader {
  PyObject_HEAD ReaderState* state;
};

ReaderState& state_of(PyObject* self) {
  return *reinterpret_cast<Reader*>(self)->state;
}

// Holds the reader for one operation, or raises the RuntimeError of a conflicting borrow.
class ReaderBorrow {
 public:
  ReaderBorrow(PyObject* self, Operation operation) : borrow_(state_of(self).borrow, operation) {
    if (!borrow_) PyErr_SetString(PyExc_RuntimeError, borrow_.refusal());
  }
  explicit operator bool() const { return static_cast<bool>(borrow_); }

 private:
  Borrow<decltype(ReaderState::borrow)> borrow_;
};

// Most fields are short: two overlapping word copies beat a call to memcpy.
[[gnu::always_inline]] inline void copy_short(char* to, const char* from, std::size_t n) {
  if (n >= 8 && n <= 16) {
    std::uint64_t head, tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + n - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + n - 8, &tail, 8);
  } else if (n >= 4 && n < 8) {
    std::uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + n - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + n - 4, &tail, 4);
  } else if (n != 0) {  // an empty field's text may have no address at all
    std::memcpy(to, from, n);
  }
}

// A new str from well-formed UTF-8; ASCII text is copied without decoding.
[[gnu::always_inline]] inline PyObject* new_str(std::string_view text, bool known_ascii) {
  const auto size = static_cast<Py_ssize_t>(text.size());
  if (known_ascii ||
      engine::is_ascii(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) {
    PyObject* s = PyUnicode_New(size, 127);
    if (s) copy_short(static_cast<char*>(PyUnicode_DATA(s)), text.data(), text.size());
    return s;
  }
  return PyUnicode_DecodeUTF8(text.data(), size, nullptr);
}

// Fills the list from slot i on with `padding` empty strings.
bool pad(PyObject* list, Py_ssize_t i, std::uint64_t padding) {
  for (std::uint64_t k = 0; k < padding; ++k) {
    PyObject* s = PyUnicode_New(0, 0);
    if (!s) return false;
    PyList_SET_ITEM(list, i++, s);
  }
  return true;
}

PyObject* fields_list(std::span<const std::string_view> fields, bool ascii, std::uint64_t padding) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(fields.size() + padding)));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (std::string_view field : fields) {
    PyObject* s = new_str(field, ascii);
    if (!s) return nullptr;
    PyList_SET_ITEM(list.get(), i++, s);
  }
  return pad(list.get(), i, padding) ? list.release() : nullptr;
}

// A verbatim row without quotes: its fields are the runs between delimiters, made into str objects
// straight from the bytes. With a column count enforced, a verbatim row has exactly that many
// fields, padding included, so they need not be counted first.
PyObject* quote_free_list(std::string_view raw, char delimiter, bool ascii, std::uint64_t padding,
                          std::uint64_t columns) {
  const char* p = raw.data();
  const std::size_t n = raw.size();
  const std::size_t count =
      columns ? columns - padding
              : engine::find_bytes::count(p, n, static_cast<std::uint8_t>(delimiter)) + 1;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count + padding)));
  if (!list) return nullptr;
  Py_ssize_t item = 0;
  std::size_t start = 0;
  auto add = [&](std::size_t end) {
    QUORLE_CHECK(static_cast<std::size_t>(item) < count);  // a verbatim row has `count` fields
    PyObject* s = new_str({p + start, end - start}, ascii);
    if (!s) return false;
    PyList_SET_ITEM(list.get(), item++, s);
    start = end + 1;
    return true;
  };
  if (!engine::find_bytes::for_each_match(p, n, add, static_cast<std::uint8_t>(delimiter)))
    return nullptr;
  if (!add(n)) return nullptr;
  QUORLE_CHECK(static_cast<std::size_t>(item) == count);
  return pad(list.get(), item, padding) ? list.release() : nullptr;
}

PyObject* row_list(ReaderState& s) {
  const engine::StoredRow& row = s.row;
  if (!row.verbatim) return fields_list(row.fields, row.ascii, row.padding);
  if (row.quote_free) {
    return quote_free_list(row.raw, s.rows.delimiter(), row.ascii, row.padding,
                           s.summary.inferred_columns);
  }
  engine::split_verbatim(row.raw, s.rows.delimiter(), s.rows.quote(), s.fields, s.unescaped);
  return fields_list(s.fields, row.ascii, row.padding);
}

PyObject* create_reader(PyTypeObject* type, PyObject* const* slots) {
  std::string_view path;
  engine::RepairOptions options;
  if (!text_argument(slots[0], "file_path", path) || !convert_repair_options(slots + 1, options)) {
    return nullptr;
  }
  // The reader outlives this call: it keeps a private copy and never looks at the file again.
  auto read = rescue::InputFile::read(std::string(path), rescue::InputFile::Access::Copied);
  if (auto* error = std::get_if<rescue::RescueError>(&read)) {
    raise_os_error_by_kind(*error);
    return nullptr;
  }
  auto state = std::make_unique<ReaderState>(std::move(std::get<rescue::InputFile>(read)));
  if (auto error = rescue::settle_delimiter(state->input.bytes(), options)) {
    raise_os_error_by_kind(*error);
    return nullptr;
  }
  engine::BufferOutcome outcome = engine::process_buffer(state->input.bytes(), options);
  state->rows = std::move(outcome.rows);
  state->cursor = state->rows.cursor();
  if (!state->rows.refers_to_input()) state->input.release_bytes();
  state->summary = outcome;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<Reader*>(self)->state = state.release();
  return self;
}

PyObject* Reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[READER_PARAMETERS.size()];
    if (!bind_keywords(new_parameters, args, kwargs, slots)) return nullptr;
    return create_reader(type, slots);
  });
}

PyObject* open_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[READER_PARAMETERS.size()];
    if (!bind_keywords(open_parameters, args, nargs, kwnames, slots)) return nullptr;
    PyObject* type = reader_type();
    if (!type) return nullptr;
    return create_reader(reinterpret_cast<PyTypeObject*>(type), slots);
  });
}

void Reader_dealloc(PyObject* self) noexcept {
  delete reinterpret_cast<Reader*>(self)->state;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* Reader_iter(PyObject* self) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ReaderBorrow borrow(self, Operation::Iter);
    if (!borrow) return nullptr;
    return Py_NewRef(self);
  });
}

PyObject* Reader_iternext(PyObject* self) noexcept {
  return guarded_next([&]() -> PyObject* {
    ReaderBorrow borrow(self, Operation::Next);
    if (!borrow) return nullptr;
    ReaderState& s = state_of(self);
    const auto before = s.cursor.position();
    if (!s.cursor.next(s.row, false)) return nullptr;  // the end, for good
    PyObject* list = row_list(s);
    if (!list) s.cursor.seek(before);  // a failed call leaves the cursor where it stood
    return list;
  });
}

Py_ssize_t Reader_len(PyObject* self) noexcept {
  return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    ReaderBorrow borrow(self, Operation::Len);
    if (!borrow) return -1;
    return static_cast<Py_ssize_t>(state_of(self).rows.size());
  });
}

PyObject* Reader_get_summary(PyObject* self, void*) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ReaderBorrow borrow(self, Operation::Summary);
    if (!borrow) return nullptr;
    return new_summary(state_of(self).summary).release();
  });
}

PyObject* Reader_enter(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ReaderBorrow borrow(self, Operation::Enter);
    if (!borrow) return nullptr;
    return Py_NewRef(self);
  });
}

PyObject* Reader_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[EXIT_PARAMETERS.size()];
    if (!bind_keywords(exit_parameters, args, nargs, kwnames, slots)) return nullptr;
    ReaderBorrow borrow(self, Operation::Exit);
    if (!borrow) return nullptr;
    return Py_NewRef(Py_False);  // an exception raised in the block goes on propagating
  });
}

#define QUORLE_READER_SIGNATURE                                                                   \
  "(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, merge_overflow=True, " \
  "expected_columns=None, repair_quotes=True)\n--\n\n"

PyMethodDef Reader_methods[] = {
    {"__enter__", reinterpret_cast<PyCFunction>(Reader_enter), METH_NOARGS,
     "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Reader_exit)),
     METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Reader_getset[] = {
    {"summary", Reader_get_summary, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Reader_Type_slots[] = {
    {Py_tp_doc, const_cast<char*>("QuorleReader" QUORLE_READER_SIGNATURE
                                  "In-memory streaming reader iterating over quorled rows.")},
    {Py_tp_new, reinterpret_cast<void*>(Reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Reader_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(Reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(Reader_iternext)},
    {Py_sq_length, reinterpret_cast<void*>(Reader_len)},
    {Py_tp_methods, Reader_methods},
    {Py_tp_getset, Reader_getset},
    {0, nullptr},
};

PyType_Spec Reader_Type_spec = {
    "builtins.QuorleReader", sizeof(Reader), 0, Py_TPFLAGS_DEFAULT, Reader_Type_slots,
};

OnceObject the_type;

}  // namespace

PyObject* reader_type() {
  return the_type.get([] { return PyRef::steal(PyType_FromSpec(&Reader_Type_spec)); });
}

PyMethodDef open_def = {
    "open",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "open" QUORLE_READER_SIGNATURE "Convenience function to open and stream a quorled CSV file.",
};

}  // namespace quorle::pyext

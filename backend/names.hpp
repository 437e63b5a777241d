// Interned strings used as attribute, method and parameter names, made once per process.
#pragma once

#include "pyboundary/py_ref.hpp"

namespace quorle::pyext {

enum class Name {
  dunder_all,
  dunder_name,
  add_note,
  input_path,
  output_path,
  quarantine_path,
  delimiter,
  quote_char,
  fill_ragged_rows,
  merge_overflow,
  expected_columns,
  repair_quotes,
  sample,
  file_path,
  exc_type,
  exc_val,
  exc_tb,
  count_  // the number of names
};

/// The UTF-8 text of a name.
const char* name_text(Name name);
/// The interned str (borrowed); null with an exception set if the names cannot be made.
PyObject* interned(Name name);

}  // namespace quorle::pyext

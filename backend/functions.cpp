// quorle_file and sniff.
#include "backend/functions.hpp"

#include <array>

#include "engine/sniffer.hpp"
#include "pyboundary/entry_guard.hpp"
#include "pyboundary/keywords.hpp"
#include "backend/options.hpp"
#include "backend/os_errors.hpp"
#include "backend/summary_type.hpp"
#include "rescue/rescue_file.hpp"

namespace quorle::pyext {
namespace {

constexpr auto QUORLE_FILE_PARAMETERS = joined(
    std::array<Parameter, 3>{{{"input_path"}, {"output_path"}, {"quarantine_path", false}}},
    REPAIR_OPTION_PARAMETERS);
ParameterTable quorle_file_parameters =
    positional_or_keyword("quorle_file()", QUORLE_FILE_PARAMETERS);

constexpr std::array<Parameter, 1> SNIFF_PARAMETERS = {{{"sample"}}};
ParameterTable sniff_parameters = positional_or_keyword("sniff()", SNIFF_PARAMETERS);

PyObject* quorle_file_impl(std::string_view input_path, std::string_view output_path,
                           std::optional<std::string_view> quarantine_path,
                           const engine::RepairOptions& options) {
  rescue::RescueRequest request{
      std::string(input_path), std::string(output_path),
      quarantine_path ? std::optional<std::string>(*quarantine_path) : std::nullopt, options};
  auto result = rescue::rescue_file(request);
  if (auto* error = std::get_if<rescue::RescueError>(&result)) {
    raise_plain_os_error(*error);
    return nullptr;
  }
  return new_summary(std::get<engine::RunCounters>(result)).release();
}

PyObject* quorle_file_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[QUORLE_FILE_PARAMETERS.size()];
    if (!bind_keywords(quorle_file_parameters, args, nargs, kwnames, slots)) return nullptr;
    std::string_view input_path, output_path;
    std::optional<std::string_view> quarantine_path;
    engine::RepairOptions options;
    if (!text_argument(slots[0], "input_path", input_path) ||
        !text_argument(slots[1], "output_path", output_path) ||
        !optional_text_argument(slots[2], "quarantine_path", quarantine_path) ||
        !convert_repair_options(slots + 3, options)) {
      return nullptr;
    }
    return quorle_file_impl(input_path, output_path, quarantine_path, options);
  });
}

PyObject* sniff_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slot;
    if (!bind_keywords(sniff_parameters, args, nargs, kwnames, &slot)) return nullptr;
    std::string_view sample;  // the str's own UTF-8, not a copy
    if (!text_argument(slot, "sample", sample)) return nullptr;
    return PyUnicode_FromOrdinal(engine::sniff_delimiter(sample));
  });
}

}  // namespace

PyMethodDef quorle_file_def = {
    "quorle_file",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(quorle_file_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "quorle_file(input_path, output_path, quarantine_path=None, delimiter=None, "
    "quote_char=\"\\\"\", fill_ragged_rows=True, merge_overflow=True, expected_columns=None, "
    "repair_quotes=True)\n"
    "--\n"
    "\n"
    "Quorles a corrupted CSV file and writes a clean, standard RFC-4180 file.\n"
    "\n"
    "Args:\n"
    "    input_path: Path to the corrupted CSV file.\n"
    "    output_path: Path where the repaired CSV file will be written.\n"
    "    quarantine_path: Optional path to write unrecoverable / quarantined rows.\n"
    "    delimiter: Optional single-character delimiter (e.g. \",\" or \";\"). If None, "
    "auto-sniffed.\n"
    "    quote_char: Optional single-character quote enclosure (default '\"').\n"
    "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.\n"
    "    merge_overflow: If True, merges extra tokens into the last column. Default True.\n"
    "    expected_columns: Optional explicit column count. If None, inferred automatically.\n"
    "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True.",
};

PyMethodDef sniff_def = {
    "sniff",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sniff_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "sniff(sample)\n--\n\nDetects the most likely delimiter from a CSV string sample.",
};

}  // namespace quorle::pyext

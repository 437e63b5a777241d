// An extension built only for tests: Arrow streams of given rows, built by the real builder,
// schema and stream adapter, for pyarrow to import (tests/package/test_arrow_abi.py). Two ways in:
// a plain C function that fills an ArrowArrayStream at an address (for ctypes and
// RecordBatchReader._import_from_c), and capsules through the PyCapsule glue. Every schema, batch
// and source it makes is counted until released, so the tests can tell that nothing was left.
//
// Rows are given as text: records split by '\n', fields by '\t', header the same way. A record
// with fewer fields than the header ends padded.
#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/builder.hpp"
#include "arrow/capsule.hpp"
#include "arrow/schema.hpp"
#include "arrow/stream.hpp"

namespace quorle::arrow::probe {
namespace {

std::atomic<long> live{0};

std::vector<std::string> split(std::string_view text, char by) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = text.find(by, at);
    parts.emplace_back(text.substr(at, end == std::string_view::npos ? end : end - at));
    if (end == std::string_view::npos) return parts;
    at = end + 1;
  }
}

// Wraps a release callback so that releasing is counted: the original callback and data wait in
// a small record that takes the place of private_data.
template <class Struct>
struct Counted {
  void (*release)(Struct*);
  void* private_data;

  static void counted_release(Struct* s) {
    auto* counted = static_cast<Counted*>(s->private_data);
    s->release = counted->release;
    s->private_data = counted->private_data;
    delete counted;
    s->release(s);
    --live;
  }
  static void wrap(Struct* s) {
    s->private_data = new Counted{s->release, s->private_data};
    s->release = counted_release;
    ++live;
  }
};

class ProbeSource : public BatchSource {
 public:
  ProbeSource(std::string_view header, std::string_view text, long batch_rows, StringType type,
              long fail_after)
      : names_(split(header, '\t')),
        type_(type),
        builder_(names_.size(), {type, false}),
        batch_rows_(static_cast<std::size_t>(batch_rows)),
        fail_after_(fail_after) {
    if (!text.empty()) {
      for (const std::string& record : split(text, '\n'))
        rows_.push_back(split(record, '\t'));
    }
    ++live;
  }
  ~ProbeSource() override { --live; }

  bool schema(ArrowSchema* out) override {
    export_schema(names_, type_, out);
    Counted<ArrowSchema>::wrap(out);
    return true;
  }
  bool next(ArrowArray* out) override {
    if (batches_ == fail_after_) {
      error_ = "probe: disk gone after " + std::to_string(batches_) + " batches";
      return false;
    }
    while (next_row_ < rows_.size() && builder_.rows() < batch_rows_ && !builder_.full()) {
      const std::vector<std::string>& row = rows_[next_row_++];
      builder_.row(std::vector<std::string_view>(row.begin(), row.end()));
    }
    if (builder_.rows() == 0) return true;  // the end
    builder_.finish(out);
    Counted<ArrowArray>::wrap(out);
    ++batches_;
    return true;
  }
  const char* last_error() const override { return error_.c_str(); }

 private:
  std::vector<std::string> names_;
  StringType type_;
  StringBatchBuilder builder_;
  std::size_t batch_rows_;
  long fail_after_;
  long batches_ = 0;
  std::vector<std::vector<std::string>> rows_;
  std::size_t next_row_ = 0;
  std::string error_;
};

bool fill(ArrowArrayStream* out, const char* header, const char* text, long batch_rows,
          StringType type, long fail_after) noexcept {
  try {
    return export_stream(std::make_unique<ProbeSource>(header, text, batch_rows, type, fail_after),
                         out);
  } catch (...) {
    return false;
  }
}

PyObject* stream_capsule(PyObject*, PyObject* args) {
  const char *header, *text;
  long batch_rows, fail_after;
  int large;
  PyObject* requested;
  if (!PyArg_ParseTuple(args, "sslplO", &header, &text, &batch_rows, &large, &fail_after,
                        &requested)) {
    return nullptr;
  }
  const ArrowSchema* request;
  if (!py::requested_schema(requested, &request)) return nullptr;
  StringType type = large ? StringType::kLargeString : StringType::kString;
  type = requested_string_type(request).value_or(type);
  ArrowArrayStream stream;
  if (!fill(&stream, header, text, batch_rows, type, fail_after)) return PyErr_NoMemory();
  return py::stream_capsule(&stream);
}

PyObject* schema_capsule(PyObject*, PyObject* args) {
  const char* header;
  if (!PyArg_ParseTuple(args, "s", &header)) return nullptr;
  ArrowSchema schema;
  try {
    export_schema(split(header, '\t'), StringType::kString, &schema);
    Counted<ArrowSchema>::wrap(&schema);
  } catch (...) {
    return PyErr_NoMemory();
  }
  return py::schema_capsule(&schema);
}

PyMethodDef methods[] = {
    {"stream_capsule", stream_capsule, METH_VARARGS,
     "stream_capsule(header, text, batch_rows, large, fail_after, requested_schema)"},
    {"schema_capsule", schema_capsule, METH_VARARGS, "schema_capsule(header)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT,
                      "_quorle_arrow_probe",
                      nullptr,
                      -1,
                      methods,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr};

}  // namespace
}  // namespace quorle::arrow::probe

extern "C" {

/// Fills the stream at `out`; 0, or ENOMEM. fail_after < 0: never fail.
__attribute__((visibility("default"))) int quorle_probe_fill_stream(ArrowArrayStream* out,
                                                                    const char* header,
                                                                    const char* text,
                                                                    long batch_rows, int large,
                                                                    long fail_after) {
  using namespace quorle::arrow;
  return probe::fill(out, header, text, batch_rows,
                     large ? StringType::kLargeString : StringType::kString, fail_after)
             ? 0
             : ENOMEM;
}

/// Schemas, batches and stream sources made and not yet released.
__attribute__((visibility("default"))) long quorle_probe_live() {
  return quorle::arrow::probe::live;
}

PyMODINIT_FUNC PyInit__quorle_arrow_probe() {
  return PyModule_Create(&quorle::arrow::probe::module);
}
}

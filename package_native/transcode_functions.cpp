#include "package_native/transcode_functions.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "engine/legacy_bytes.hpp"
#include "engine/transcode.hpp"
#include "package_native/buffer_view.hpp"
#include "package_native/without_gil.hpp"
#include "pyboundary/py_ref.hpp"

namespace quorle::native {
namespace {

// Input converted per write: its output (up to three times as much) goes out in one call.
constexpr std::size_t PIECE = std::size_t{1} << 20;
// How much input may pass between two looks at pending signals.
constexpr std::size_t SIGNAL_STEP = std::size_t{64} << 20;

PyObject* lines_tuple(std::span<const std::uint64_t> lines) {
  pyext::PyRef t = pyext::PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(lines.size())));
  if (!t) return nullptr;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    PyObject* v = PyLong_FromUnsignedLongLong(lines[i]);
    if (!v) return nullptr;
    PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), v);
  }
  return t.release();
}

}  // namespace

PyObject* transcode_single_byte(PyObject*, PyObject* args) {
  BufferView table_arg, source;
  int out_fd;
  if (!PyArg_ParseTuple(args, "y*y*i:transcode_single_byte", &table_arg.view, &source.view,
                        &out_fd)) {
    return nullptr;
  }
  const auto table = engine::SingleByteTable::from_packed(
      {static_cast<const char*>(table_arg.view.buf), static_cast<std::size_t>(table_arg.view.len)});
  if (!table) {
    PyErr_SetString(PyExc_ValueError,
                    "table: 256 entries of 4 bytes expected, each a length of at most 3 first");
    return nullptr;
  }
  const auto* in = static_cast<const std::uint8_t*>(source.view.buf);
  const auto size = static_cast<std::size_t>(source.view.len);

  engine::SingleByteTranscoder transcoder(*table);
  std::uint64_t written = 0;
  int write_errno = 0;
  bool interrupted = false;
  WithoutGil gil;
  const bool finished = gil.run([&] {
    const auto out =
        std::make_unique<std::uint8_t[]>(engine::SingleByteTranscoder::max_output(PIECE));
    std::size_t since_check = 0;
    for (std::size_t at = 0; at < size; at += PIECE) {
      if (since_check >= SIGNAL_STEP) {
        since_check = 0;
        if (!gil.check_signals()) {
          interrupted = true;
          return;
        }
      }
      const std::size_t n = std::min(PIECE, size - at);
      since_check += n;
      const std::size_t produced = transcoder.convert(in + at, n, out.get());
      for (std::size_t done = 0; done < produced;) {
        const ssize_t w = ::write(out_fd, out.get() + done, produced - done);
        if (w >= 0) {
          done += static_cast<std::size_t>(w);
        } else if (errno != EINTR) {
          write_errno = errno;
          return;
        } else if (!gil.check_signals()) {  // a signal cut the write: its handler may raise
          interrupted = true;
          return;
        }
      }
      written += produced;
    }
  });
  if (!finished || interrupted) return nullptr;
  if (write_errno != 0) {
    errno = write_errno;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  PyObject* lines = lines_tuple(transcoder.first_lines());
  if (!lines) return nullptr;
  return Py_BuildValue("(KKN)", static_cast<unsigned long long>(written),
                       static_cast<unsigned long long>(transcoder.replaced()), lines);
}

PyObject* utf8_evidence(PyObject*, PyObject* args) {
  BufferView source;
  int final;
  if (!PyArg_ParseTuple(args, "y*p:utf8_evidence", &source.view, &final)) return nullptr;
  const auto* in = static_cast<const std::uint8_t*>(source.view.buf);
  const auto size = static_cast<std::size_t>(source.view.len);

  engine::Utf8EvidenceScan scan;
  bool interrupted = false;
  WithoutGil gil;
  const bool finished = gil.run([&] {
    for (std::size_t at = 0; at < size;) {
      const std::size_t stop = std::min(size, at + SIGNAL_STEP);
      const std::size_t next = scan.scan(in, size, at, stop, final != 0);
      if (next < stop) break;  // a cut character at the end
      at = next;
      if (at < size && !gil.check_signals()) {
        interrupted = true;
        return;
      }
    }
  });
  if (!finished || interrupted) return nullptr;
  const engine::Utf8Evidence found = scan.finish();
  const long long first =
      found.invalid == 0 ? -1 : static_cast<long long>(found.first_invalid);
  return Py_BuildValue("(KKKL)", static_cast<unsigned long long>(found.clean),
                       static_cast<unsigned long long>(found.mixed),
                       static_cast<unsigned long long>(found.invalid), first);
}

}  // namespace quorle::native

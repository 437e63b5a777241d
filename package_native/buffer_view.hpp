// A buffer taken from an argument (PyArg_ParseTuple's y*, PyObject_GetBuffer), released on every
// way out.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>

namespace quorle::native {

struct BufferView {
  Py_buffer view{};
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (view.obj) PyBuffer_Release(&view);
  }
  std::string_view bytes() const {
    return {static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)};
  }
};

}  // namespace quorle::native

#include "package_native/source_map.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "package_native/source_guard.hpp"
#include "pyboundary/entry_guard.hpp"
#include "pyboundary/errno_error.hpp"

namespace quorle::native {
namespace {

struct SourceMapObject {
  PyObject_HEAD
  MappedFile* file;  // null once closed
  Py_ssize_t exports;
};

SourceMapObject* as_map(PyObject* self) {
  return reinterpret_cast<SourceMapObject*>(self);
}

// Unregistered before it is unmapped: no fault may be taken for ours once the pages are gone.
void unmap(MappedFile* f) {
  source_guard::remove(f->slot);
  ::munmap(const_cast<char*>(f->data), f->length);
  ::close(f->fd);
  delete f;
}

// Maps the file open at `fd`; null with an exception set.
MappedFile* map_file(int fd, PyObject* filename, std::string name) {
  const auto failed = [filename](int code, const char* text) -> MappedFile* {
    pyext::raise_errno_error(code, filename, text);
    return nullptr;
  };
  struct stat st{};
  if (::fstat(fd, &st) != 0) return failed(errno, nullptr);
  if (!S_ISREG(st.st_mode) || st.st_size <= 0) {
    PyErr_SetString(PyExc_ValueError, "SourceMap maps a regular file that is not empty");
    return nullptr;
  }
  const auto length = static_cast<std::size_t>(st.st_size);
  const int own_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own_fd < 0) return failed(errno, nullptr);
  source_guard::ensure_installed();
  void* data = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    const int e = errno;
    ::close(own_fd);
    return failed(e, nullptr);
  }
  auto* f = new (std::nothrow) MappedFile;
  if (!f) {
    ::munmap(data, length);
    ::close(own_fd);
    PyErr_NoMemory();
    return nullptr;
  }
  f->data = static_cast<const char*>(data);
  f->length = length;
  f->fd = own_fd;
  f->name = std::move(name);  // moved: cannot throw
  f->slot = source_guard::add(data, length, f);  // registered right after it is made
  if (f->slot < 0) {
    ::munmap(data, length);
    ::close(own_fd);
    delete f;
    return failed(EMFILE, "too many source files mapped at once");
  }
  f->filename = pyext::PyRef::borrow(filename);
  return f;
}

PyObject* SourceMap_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  int fd;
  PyObject* filename;
  if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
    PyErr_SetString(PyExc_TypeError, "SourceMap() takes no keyword arguments");
    return nullptr;
  }
  if (!PyArg_ParseTuple(args, "iO:SourceMap", &fd, &filename)) return nullptr;
  PyObject* converted = nullptr;  // the name as the file system spells it, for messages
  if (!PyUnicode_FSConverter(filename, &converted)) return nullptr;
  const pyext::PyRef encoded = pyext::PyRef::steal(converted);
  MappedFile* f = nullptr;
  try {
    f = map_file(fd, filename,
                 std::string(PyBytes_AS_STRING(encoded.get()),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!f) return nullptr;
  auto* self = reinterpret_cast<SourceMapObject*>(type->tp_alloc(type, 0));
  if (!self) {
    unmap(f);
    return nullptr;
  }
  self->file = f;
  self->exports = 0;
  return reinterpret_cast<PyObject*>(self);
}

void SourceMap_dealloc(PyObject* self) {
  SourceMapObject* m = as_map(self);
  if (m->file) unmap(m->file);
  const pyext::PyRef type = pyext::PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  Py_TYPE(self)->tp_free(self);  // the heap type's reference goes after the object
}

int SourceMap_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  SourceMapObject* m = as_map(self);
  if (!m->file) {
    PyErr_SetString(PyExc_ValueError, "the source map is closed");
    return -1;
  }
  if (PyBuffer_FillInfo(view, self, const_cast<char*>(m->file->data),
                        static_cast<Py_ssize_t>(m->file->length), 1, flags) != 0) {
    return -1;
  }
  ++m->exports;
  return 0;
}

void SourceMap_releasebuffer(PyObject* self, Py_buffer*) {
  --as_map(self)->exports;
}

PyObject* SourceMap_close(PyObject* self, PyObject*) {
  SourceMapObject* m = as_map(self);
  if (m->exports > 0) {
    PyErr_SetString(PyExc_BufferError, "cannot close a SourceMap while its buffer is exported");
    return nullptr;
  }
  if (m->file) unmap(m->file);
  m->file = nullptr;
  Py_RETURN_NONE;
}

PyObject* SourceMap_changed(PyObject* self, PyObject*) {
  SourceMapObject* m = as_map(self);
  if (!m->file) {
    PyErr_SetString(PyExc_ValueError, "the source map is closed");
    return nullptr;
  }
  const std::string_view bytes(m->file->data, m->file->length);
  return PyBool_FromLong(SourceWatch(bytes).changed());
}

PyObject* SourceMap_name(PyObject* self, void*) {
  SourceMapObject* m = as_map(self);
  if (!m->file) Py_RETURN_NONE;
  return Py_NewRef(m->file->filename.get());
}

PyObject* SourceMap_closed(PyObject* self, void*) {
  return PyBool_FromLong(as_map(self)->file == nullptr);
}

PyMethodDef SourceMap_methods[] = {
    {"close", pyext::guarded_entry<SourceMap_close>, METH_NOARGS,
     "close()\n--\n\nUnmaps the file; BufferError while a buffer of it is alive."},
    {"changed", pyext::guarded_entry<SourceMap_changed>, METH_NOARGS,
     "changed()\n--\n\nWhether a read faulted past the file's end or the file is now shorter "
     "than its map."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef SourceMap_getset[] = {
    {"name", pyext::guarded_entry<SourceMap_name>, nullptr,
     "The file's name as given (None once closed).", nullptr},
    {"closed", pyext::guarded_entry<SourceMap_closed>, nullptr,
     "Whether close() has unmapped the file.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SourceMap_Type_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(pyext::guarded_entry<SourceMap_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(SourceMap_dealloc)},
    {Py_tp_methods, SourceMap_methods},
    {Py_tp_getset, SourceMap_getset},
    {Py_tp_doc, const_cast<char*>(SOURCE_MAP_DOC)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(pyext::guarded_entry<SourceMap_getbuffer>)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(SourceMap_releasebuffer)},
    {0, nullptr},
};

PyType_Spec SourceMap_Type_spec = {
    "csv_quorle._native.SourceMap",
    sizeof(SourceMapObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    SourceMap_Type_slots,
};

}  // namespace

SourceWatch::SourceWatch(std::string_view buffer) {
  if (buffer.empty()) return;
  const int slot = source_guard::find(buffer.data());
  if (slot < 0) return;
  source_guard::ensure_installed();
  file_ = static_cast<const MappedFile*>(source_guard::owner(slot));
}

bool SourceWatch::faulted() const {
  return file_ != nullptr && source_guard::faulted(file_->slot);
}

bool SourceWatch::changed() const {
  if (file_ == nullptr) return false;
  if (faulted()) return true;
  struct stat st{};
  if (::fstat(file_->fd, &st) != 0) return true;
  return st.st_size < 0 || static_cast<std::size_t>(st.st_size) < file_->length;
}

std::string SourceWatch::message() const {
  return (file_ ? file_->name + ": " : std::string()) + SOURCE_CHANGED;
}

PyObject* SourceWatch::raise() const {
  return pyext::raise_errno_error(EIO, file_ ? file_->filename.get() : Py_None, SOURCE_CHANGED);
}

int add_source_map_type(PyObject* module) {
  const pyext::PyRef type =
      pyext::PyRef::steal(PyType_FromModuleAndSpec(module, &SourceMap_Type_spec, nullptr));
  if (!type) return -1;
  return PyModule_AddObjectRef(module, "SourceMap", type.get());
}

}  // namespace quorle::native

// The module's functions, as the module definition registers them.
#pragma once

#include "module/py_ref.hpp"

namespace quorle::pyext {

extern PyMethodDef quorle_file_def;
extern PyMethodDef sniff_def;
extern PyMethodDef open_def;

}  // namespace quorle::pyext

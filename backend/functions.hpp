// quorle_file and sniff, as the module definition registers them.
#pragma once

#include "pyboundary/py_ref.hpp"

namespace quorle::pyext {

extern PyMethodDef quorle_file_def;
extern PyMethodDef sniff_def;

}  // namespace quorle::pyext

#include "engine/invariant.hpp"

namespace quorle {

void fail_check(const char* condition, const char* file, int line) {
  throw InternalError(std::string("internal check failed: ") + condition + " (" + file + ":" +
                      std::to_string(line) + ")");
}

}  // namespace quorle

// Invariant checks. A broken invariant is a bug in this library, never a property of the input:
// it throws InternalError, which the Python boundary turns into the internal-failure exception.
#pragma once

#include <stdexcept>
#include <string>

namespace quorle {

struct InternalError : std::logic_error {
  using std::logic_error::logic_error;
};

[[noreturn]] void fail_check(const char* condition, const char* file, int line);

}  // namespace quorle

// Always live: used only where the cost is negligible (once per record or per call).
#define QUORLE_CHECK(cond)                             \
  do {                                                 \
    if (!(cond)) [[unlikely]]                          \
      ::quorle::fail_check(#cond, __FILE__, __LINE__); \
  } while (false)

// Live in test builds only: per-byte and per-field invariants.
#ifdef QUORLE_DEBUG_CHECKS
#define QUORLE_DCHECK(cond) QUORLE_CHECK(cond)
#else
#define QUORLE_DCHECK(cond) \
  do {                      \
  } while (false)
#endif

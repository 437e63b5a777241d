// Runs native work with the interpreter lock released. The work may ask for the lock back briefly
// to let signal handlers run (Ctrl-C); C++ exceptions are carried out and raised with the lock
// held.
#pragma once

#include <exception>
#include <new>

#include "pyboundary/entry_guard.hpp"

namespace quorle::native {

class WithoutGil {
 public:
  /// Runs pending signal handlers; false when one raised (the exception stays set).
  bool check_signals() {
    PyEval_RestoreThread(state_);
    const bool ok = PyErr_CheckSignals() == 0;
    state_ = PyEval_SaveThread();
    return ok;
  }

  /// Runs `call` with the lock held again, from inside run()'s work.
  template <class Call>
  auto holding_lock(Call&& call) {
    PyEval_RestoreThread(state_);
    struct Release {
      PyThreadState*& state;
      ~Release() { state = PyEval_SaveThread(); }
    } release{state_};
    return call();
  }

  /// Runs `work` without the lock; true when it finished without a C++ exception. Otherwise the
  /// matching Python exception is set.
  template <class Work>
  bool run(Work&& work) {
    std::exception_ptr failure;
    state_ = PyEval_SaveThread();
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    PyEval_RestoreThread(state_);
    if (!failure) return true;
    try {
      std::rethrow_exception(failure);
    } catch (...) {
      pyext::raise_current_exception();
    }
    return false;
  }

 private:
  PyThreadState* state_ = nullptr;
};

}  // namespace quorle::native

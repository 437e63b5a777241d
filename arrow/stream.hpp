// An ArrowArrayStream over any source of batches. The source is plain C++ and may throw: the
// callbacks catch everything, turn it into an errno code and a message, and never let an exception
// reach the consumer.
#pragma once

#include <cerrno>
#include <memory>

#include "arrow/abi.hpp"

namespace quorle::arrow {

class BatchSource {
 public:
  virtual ~BatchSource() = default;
  /// The schema every batch follows. False on failure, with last_error() set.
  virtual bool schema(ArrowSchema* out) = 0;
  /// The next batch into `out`, or out->release left null at the end of the stream. False on
  /// failure, with last_error() set; a batch already put in `out` is released by the caller then.
  virtual bool next(ArrowArray* out) = 0;
  /// Why the last call failed; valid until the next call.
  virtual const char* last_error() const = 0;
  /// The errno code of the last failure.
  virtual int error_code() const { return EIO; }
};

/// Makes `out` a stream that owns `source`. After a failure of next() the stream stays failed:
/// every later get_next returns the same code and message. Releasing the stream (at any point, any
/// number of times through the same struct) destroys the source; batches already handed out live
/// on. False, with `out` released and `source` destroyed, when memory runs out.
[[nodiscard]] bool export_stream(std::unique_ptr<BatchSource> source,
                                 ArrowArrayStream* out) noexcept;

}  // namespace quorle::arrow

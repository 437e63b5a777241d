#include "arrow/stream.hpp"

#include <exception>
#include <new>
#include <string>

namespace quorle::arrow {
namespace {

struct StreamState {
  std::unique_ptr<BatchSource> source;
  std::string error;
  int failed = 0;  // the sticky code once next() failed
};

StreamState& state_of(ArrowArrayStream* stream) {
  return *static_cast<StreamState*>(stream->private_data);
}

// Keeps the message of a failure; a copy, since the source's text may change with its next call.
int fail(StreamState& state, int code, const char* message) noexcept {
  try {
    state.error = message != nullptr ? message : "unknown failure";
  } catch (...) {
    state.error.clear();  // out of memory for the message: the code alone says it
  }
  return code != 0 ? code : EIO;
}

// Runs one call of the source and turns every way it can fail into a code.
template <class Call>
int guarded(StreamState& state, Call call) noexcept {
  try {
    if (call()) return 0;
    return fail(state, state.source->error_code(), state.source->last_error());
  } catch (const std::bad_alloc&) {
    return fail(state, ENOMEM, "out of memory");
  } catch (const std::exception& e) {
    return fail(state, EIO, e.what());
  } catch (...) {
    return fail(state, EIO, "unknown failure");
  }
}

int get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  StreamState& state = state_of(stream);
  out->release = nullptr;
  const int code = guarded(state, [&] { return state.source->schema(out); });
  if (code != 0 && out->release != nullptr) out->release(out);
  return code;
}

int get_next(ArrowArrayStream* stream, ArrowArray* out) {
  StreamState& state = state_of(stream);
  out->release = nullptr;
  if (state.failed != 0) return state.failed;
  const int code = guarded(state, [&] { return state.source->next(out); });
  if (code != 0) {
    if (out->release != nullptr) out->release(out);
    state.failed = code;
  }
  return code;
}

const char* get_last_error(ArrowArrayStream* stream) {
  StreamState& state = state_of(stream);
  return state.error.empty() ? nullptr : state.error.c_str();
}

void release(ArrowArrayStream* stream) {
  if (stream == nullptr || stream->release == nullptr) return;
  delete static_cast<StreamState*>(stream->private_data);
  stream->private_data = nullptr;
  stream->release = nullptr;
}

}  // namespace

bool export_stream(std::unique_ptr<BatchSource> source, ArrowArrayStream* out) noexcept {
  *out = ArrowArrayStream{};
  auto* state = new (std::nothrow) StreamState;
  if (state == nullptr) return false;
  state->source = std::move(source);
  out->get_schema = get_schema;
  out->get_next = get_next;
  out->get_last_error = get_last_error;
  out->release = release;
  out->private_data = state;
  return true;
}

}  // namespace quorle::arrow

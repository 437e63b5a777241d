// The Arrow C data interface: the structs and flags exactly as Arrow publishes them, so that any
// consumer (pyarrow, polars, DuckDB, nanoarrow) can take what we build without linking Arrow.
//
// What this folder builds on top of them, and why:
// - Rescued rows become one struct array ("+s") per batch with one string child per column. Every
//   value is text: the rescue decides the fields, not their types.
// - The string width is decided per stream, before the schema is exported: "u" (int32 offsets,
//   the default, what pyarrow.csv produces) or "U" (int64 offsets). A consumer reads the schema
//   before the first batch, so a stream cannot widen a column half-way; instead a "u" batch ends
//   early when a column's bytes would pass 2^31-1, and only a single field of 2 GiB or more needs
//   "U" (the builder refuses it in "u").
// - Batches own their buffers outright: the bytes of every field are copied in, so the input that
//   the fields came from may be unmapped while batches live. Each child array frees its own
//   buffers, so a consumer may move children out, as the interface allows.
// - A stream is an ArrowArrayStream over an abstract BatchSource (stream.hpp); CPython capsules
//   for the PyCapsule interface live apart, in capsule.*, the only file here that sees Python.h.
#pragma once

#include <cstdint>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  // Array type description
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;

  // Release callback
  void (*release)(struct ArrowSchema*);
  // Opaque producer-specific data
  void* private_data;
};

struct ArrowArray {
  // Array data description
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;

  // Release callback
  void (*release)(struct ArrowArray*);
  // Opaque producer-specific data
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  // Callbacks providing stream functionality
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);

  // Release callback
  void (*release)(struct ArrowArrayStream*);

  // Opaque producer-specific data
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace quorle::arrow {

// The layout is the ABI: on every platform we build for, pointers and int64_t are 8 bytes.
static_assert(sizeof(ArrowSchema) == 72 && sizeof(ArrowArray) == 80 &&
              sizeof(ArrowArrayStream) == 40);

inline constexpr const char* kStructFormat = "+s";
inline constexpr const char* kStringFormat = "u";       // utf8, int32 offsets
inline constexpr const char* kLargeStringFormat = "U";  // large utf8, int64 offsets

}  // namespace quorle::arrow

// Vector batches from Arrow data: any object that offers the Arrow
// PyCapsule interface (__arrow_c_array__ or __arrow_c_stream__; a pyarrow
// Array or ChunkedArray, a Polars Series, a pandas Series backed by Arrow)
// holding fixed-size lists of float32 or float64, read in place.
//
// The Arrow C data interface is a stable ABI of three plain structs; they
// are declared here as the interface's documentation defines them, since
// consuming them needs no library (and Arrow's own C++ library is far
// larger than the fifty lines this takes).
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/vectors/vector_rows.h"

namespace hovra::py {

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  std::int64_t flags;
  std::int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  std::int64_t length;
  std::int64_t null_count;
  std::int64_t offset;
  std::int64_t n_buffers;
  std::int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

struct ArrowArrayStream {
  int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
  int (*get_next)(ArrowArrayStream*, ArrowArray* out);
  const char* (*get_last_error)(ArrowArrayStream*);
  void (*release)(ArrowArrayStream*);
  void* private_data;
};

// The rows of an Arrow batch. The imported arrays are released when this
// object goes.
class ArrowRows {
 public:
  ArrowRows() = default;
  ~ArrowRows();
  ArrowRows(const ArrowRows&) = delete;
  ArrowRows& operator=(const ArrowRows&) = delete;

  // Whether obj offers Arrow data (and is not a NumPy array).
  static bool offered(PyObject* obj);
  // Imports obj's data; false with a Python error set (TypeError for data
  // of another shape or type, ValueError for null vectors or components).
  bool import(PyObject* obj, const char* arg);
  // The rows where they lie (one chunk), or a copy of several chunks'
  // rows in one block. Valid while this object lives.
  VectorRows rows() const;
  std::size_t size() const { return count_; }

 private:
  bool check_schema(const char* arg);
  bool add_chunk(ArrowArray& chunk, const char* arg);

  ArrowSchema schema_{};
  std::vector<ArrowArray> chunks_;
  std::size_t dim_ = 0;
  bool doubles_ = false;
  std::size_t count_ = 0;
  std::vector<float> joined_;  // several chunks' rows, narrowed, in one block
};

}  // namespace hovra::py

// Conversion of Python arguments into engine values and of metadata back
// into Python objects: text, counts, flags, floats, id lists, vectors and
// vector batches (lists or NumPy arrays) in convert.cpp, metadata through
// the host's json module in metadata_convert.cpp; where_filter dictionaries
// are read in filter_document.cpp. Engine results become Python objects in
// result_objects.h.
//
// Every function needs the interpreter lock. Functions returning bool leave
// a Python error set when they return false. Extraction (the *_arg
// functions and VectorArg/BatchArg::extract) names the argument in its
// TypeErrors; the deferred steps (finish, metadata, filter) do not.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/base/error.h"
#include "core/db/database.h"
#include "core/records/filter.h"
#include "core/records/json.h"
#include "python/arrow_input.h"
#include "python/py_ref.h"

namespace hovra::py {

// Imports NumPy's C API. When NumPy cannot be imported the error is cleared
// and no object is ever taken for a NumPy array.
void init_numpy();

// Whether NumPy's C API was imported.
bool numpy_available();

// str (or subclass) as UTF-8.
bool text_arg(PyObject* obj, const char* arg, std::string& out);
// A str or an os.PathLike (whose bytes are decoded with the file-system
// encoding), as UTF-8. Other types, plain bytes included, are refused.
bool path_arg(PyObject* obj, const char* arg, std::string& out);
// int or any object with __index__, as an unsigned 64-bit count.
bool count_arg(PyObject* obj, const char* arg, std::uint64_t& out);
// bool or NumPy bool scalar.
bool flag_arg(PyObject* obj, const char* arg, bool& out);
// Anything with a float value, narrowed to 32 bits.
bool float_arg(PyObject* obj, const char* arg, float& out);
// The same at full (double) precision.
bool double_arg(PyObject* obj, const char* arg, double& out);
// A sequence (not str) of str.
bool id_list_arg(PyObject* obj, const char* arg, std::vector<std::string>& out);
bool id_list_arg(PyObject* obj, const char* arg, ByteTable& out);
// Type tests for dict-typed and list-typed parameters (subclasses accepted).
bool dict_arg(PyObject* obj, const char* arg);
bool list_arg(PyObject* obj, const char* arg);

// One vector: the List form (any sequence but str) or a 1-D float32 array.
class VectorArg {
 public:
  // With allow_row, a 2-D NumPy array of shape (1, d) stands for its row.
  bool extract(PyObject* obj, const char* arg, bool allow_row = false);
  // Copies a NumPy-form vector (contiguity checked here); the List form
  // was already converted by extract.
  bool finish(std::vector<float>& out);

 private:
  std::vector<float> values_;
  PyRef array_;
  PyRef row_;  // the row view taken from a (1, d) array
};

// A batch: a 2-D float32 array (C or Fortran order) or a sequence of
// sequences of numbers.
// An object offering Arrow data (see arrow_input.h) is read as fixed-size
// lists of float32 or float64, in place.
class BatchArg {
 public:
  bool extract(PyObject* obj, const char* arg);
  bool finish(std::vector<std::vector<float>>& out);
  // The rows where they lie: an array's own memory (float32, or float64
  // narrowed as rows are read; this object holds the array), Arrow data's
  // buffers, or the converted rows of the Lists form. Valid while this
  // object lives.
  bool finish_rows(VectorRows& out);

 private:
  std::unique_ptr<ArrowRows> arrow_;  // the Arrow form
  std::vector<std::vector<float>> rows_;
  PyRef array_;    // the Numpy form
  PyRef doubles_;  // a float64 array taken by the Lists form
  std::vector<float> flat_;
  std::vector<std::size_t> ends_;
  bool flattened_ = false;  // rows_ moved into flat_ and ends_
};

// json.dumps(obj), then the engine's JSON reader. When json.dumps refuses
// a value with TypeError, it is tried once more with a default hook that
// turns NumPy booleans, integers, floats and arrays of them into the bool,
// int, float and lists they equal; anything else keeps the first error.
bool metadata_from_python(PyObject* obj, JsonValue& out);
// Items None or dict, in order, packed (an absent entry for None).
bool metadata_list_from_python(PyObject* list, ByteTable& out);
// json.loads of compact JSON text. A failure of the json module throws
// hovra::Panic (the text is always valid JSON).
PyObject* metadata_text_to_python(const std::string& text);
// None for no metadata.
PyObject* metadata_to_python(const std::optional<JsonValue>& value);
PyObject* metadata_to_python(const std::optional<std::string>& text);

// A where_filter dict read into the engine's JSON value and parsed by the
// engine's filter parser; ValueError with the parser's message when it is
// malformed, TypeError for a key that is not a str.
bool filter_from_python(PyObject* dict, Filter& out);
// The same, shared: a dict that reads as one of the last few read gives the
// filter parsed from that one (compared, not read again).
bool filter_from_python(PyObject* dict, std::shared_ptr<const Filter>& out);

// UTF-8 of a str; false with UnicodeEncodeError set for unpaired surrogates.
bool utf8_of(PyObject* str, std::string& out);
// Whether obj is a NumPy bool scalar (false when NumPy is unavailable).
bool is_numpy_bool(PyObject* obj);

}  // namespace hovra::py

// Argument conversion: Python values into engine values (text, counts,
// flags, floats, id lists, vectors, batches); metadata is converted in
// metadata_convert.cpp, results in result_objects.cpp. Imports NumPy's C
// API (init_numpy) for the module.
#include "python/convert.h"

#define HOVRA_NUMPY_IMPORTS_API
#include "python/numpy_api.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/base/error.h"
#include "python/errors.h"

namespace hovra::py {

bool utf8_of(PyObject* str, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

namespace {

bool g_numpy = false;
PyArray_Descr* g_float32 = nullptr;
PyArray_Descr* g_float64 = nullptr;

}  // namespace

bool is_numpy_bool(PyObject* obj) { return g_numpy && PyArray_IsScalar(obj, Bool); }

namespace {

// A sequence may report any length; it is only a capacity hint.
constexpr std::size_t kMaxReserve = std::size_t{1} << 20;

float narrow(double value) { return static_cast<float>(value); }

std::string arg_prefix(const char* arg) { return std::string("argument '") + arg + "': "; }

bool is_array(PyObject* obj) { return g_numpy && PyArray_Check(obj); }

bool is_exact_array(PyObject* obj) { return g_numpy && PyArray_CheckExact(obj); }

PyArrayObject* as_array(PyObject* obj) { return reinterpret_cast<PyArrayObject*>(obj); }

bool has_dtype(PyArrayObject* array, PyArray_Descr* descr) {
  return PyArray_EquivTypes(PyArray_DESCR(array), descr) != 0;
}

std::string dtype_text(PyArrayObject* array) {
  std::string dtype = "unknown";
  PyRef str = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
  if (!str || !utf8_of(str.get(), dtype)) PyErr_Clear();
  return dtype;
}

// Whether obj is an array of `ndim` dimensions holding float32; if not,
// `failure` says why.
bool float32_array_of(PyObject* obj, int ndim, std::string& failure) {
  if (!is_array(obj)) {
    failure = "TypeError: " + cannot_convert(obj, "PyArray<T, D>");
    return false;
  }
  PyArrayObject* array = as_array(obj);
  if (PyArray_NDIM(array) != ndim) {
    failure = "TypeError: dimensionality mismatch: array has " + std::to_string(PyArray_NDIM(array)) +
              " dimensions, expected " + std::to_string(ndim);
    return false;
  }
  if (!has_dtype(array, g_float32)) {
    failure = "TypeError: type mismatch: array element type is " + dtype_text(array) + ", expected float32";
    return false;
  }
  return true;
}

// Reads `count` elements of a float32 or float64 array from `base`, `stride`
// bytes apart, narrowing to float32.
void read_strided(const char* base, npy_intp count, npy_intp stride, bool is_double, std::vector<float>& out) {
  out.resize(static_cast<std::size_t>(count));
  for (npy_intp i = 0; i < count; ++i) {
    const char* p = base + i * stride;
    if (is_double) {
      double d;
      std::memcpy(&d, p, sizeof d);
      out[static_cast<std::size_t>(i)] = narrow(d);
    } else {
      std::memcpy(&out[static_cast<std::size_t>(i)], p, sizeof(float));
    }
  }
}

// Complex numbers would lose their imaginary part in float(): refused, with
// their type named. True (with TypeError set) for a complex array or value.
bool refuse_complex(PyObject* obj) {
  if (is_array(obj) && PyArray_ISCOMPLEX(as_array(obj))) {
    raise_type_error("complex values are not accepted (dtype " + dtype_text(as_array(obj)) + ")");
    return true;
  }
  if (PyComplex_Check(obj) || (g_numpy && PyArray_IsScalar(obj, ComplexFloating))) {
    raise_type_error("complex values are not accepted (" + type_name(obj) + ")");
    return true;
  }
  return false;
}

// For exact float32/float64 arrays the sequence walk below gives exactly
// these values; reading the memory directly avoids one Python object per
// element. Returns 0 if `obj` is no such array, else its dtype width (4/8).
int fast_float_array(PyObject* obj, int ndim) {
  if (!is_exact_array(obj)) return 0;
  PyArrayObject* array = as_array(obj);
  if (PyArray_NDIM(array) != ndim) return 0;
  if (has_dtype(array, g_float32)) return 4;
  if (has_dtype(array, g_float64)) return 8;
  return 0;
}

// Walks any sequence (not str) into `out`: len() as a capacity hint (capped),
// then iteration. `item` returns false with a Python error set to stop.
template <class Vec, class F>
bool walk_sequence(PyObject* obj, Vec& out, F&& item) {
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  out.reserve(std::min(static_cast<std::size_t>(hint), kMaxReserve));
  while (PyRef value = PyRef::steal(PyIter_Next(iter.get()))) {
    if (!item(value.get())) return false;
  }
  return !PyErr_Occurred();
}

// The List form of one vector. Errors are not prefixed with an argument.
bool floats_from_sequence(PyObject* obj, std::vector<float>& out) {
  out.clear();
  if (PyUnicode_Check(obj)) {
    raise_type_error("Can't extract `str` to `Vec`");
    return false;
  }
  if (int width = fast_float_array(obj, 1)) {
    PyArrayObject* array = as_array(obj);
    read_strided(PyArray_BYTES(array), PyArray_DIM(array, 0), PyArray_STRIDE(array, 0), width == 8, out);
    return true;
  }
  if (refuse_complex(obj)) return false;
  if (!PySequence_Check(obj)) {
    raise_type_error(cannot_convert(obj, "Sequence"));
    return false;
  }
  return walk_sequence(obj, out, [&](PyObject* value) {
    if (refuse_complex(value)) return false;
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) return false;
    out.push_back(narrow(d));
    return true;
  });
}

// The Lists form of a batch. Errors are not prefixed with an argument.
bool rows_from_sequences(PyObject* obj, std::vector<std::vector<float>>& rows) {
  rows.clear();
  if (PyUnicode_Check(obj)) {
    raise_type_error("Can't extract `str` to `Vec`");
    return false;
  }
  if (int width = fast_float_array(obj, 2)) {
    PyArrayObject* array = as_array(obj);
    npy_intp n = PyArray_DIM(array, 0), d = PyArray_DIM(array, 1);
    npy_intp s0 = PyArray_STRIDE(array, 0), s1 = PyArray_STRIDE(array, 1);
    rows.resize(static_cast<std::size_t>(n));
    for (npy_intp i = 0; i < n; ++i) {
      read_strided(PyArray_BYTES(array) + i * s0, d, s1, width == 8, rows[static_cast<std::size_t>(i)]);
    }
    return true;
  }
  if (!PySequence_Check(obj)) {
    raise_type_error(cannot_convert(obj, "Sequence"));
    return false;
  }
  return walk_sequence(obj, rows, [&](PyObject* value) {
    std::vector<float> row;
    if (!floats_from_sequence(value, row)) return false;
    rows.push_back(std::move(row));
    return true;
  });
}

// The array may have been reshaped or retyped in place by Python code run
// between extraction and copying; check again before reading its memory.
bool recheck_array(PyObject* obj, int ndim) {
  std::string failure;
  if (float32_array_of(obj, ndim, failure)) return true;
  raise_type_error("the array changed during argument conversion: " + failure.substr(failure.find(' ') + 1));
  return false;
}

bool raise_not_contiguous() {
  raise_type_error("The given array is not contiguous");
  add_note("A contiguous array is expected (row- or column-major); np.ascontiguousarray(x) gives one.");
  return false;
}

}  // namespace

void init_numpy() {
  if (_import_array() < 0) {
    PyErr_Clear();
    return;
  }
  g_float32 = PyArray_DescrFromType(NPY_FLOAT32);
  g_float64 = PyArray_DescrFromType(NPY_FLOAT64);
  g_numpy = g_float32 != nullptr && g_float64 != nullptr;
  if (!g_numpy) PyErr_Clear();
}

bool numpy_available() { return g_numpy; }

namespace {

// What a target of cannot_convert means in plain words.
const char* plain_target(const char* target) {
  std::string_view t(target);
  if (t == "PyString") return "a str";
  if (t == "PyDict") return "a dict";
  if (t == "PyList") return "a list";
  if (t == "PyBool") return "True or False";
  if (t == "Sequence") return "a sequence";
  return target;
}

// "'{arg}' expects {expected}; it was given {what obj is}."
void note_expected(const char* arg, const std::string& expected, PyObject* given) {
  // The pending error is set aside while the given value is described.
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  std::string what = "a value of type '" + type_name(given) + "'";
  if (is_array(given)) {
    PyArrayObject* array = as_array(given);
    what = "a " + std::to_string(PyArray_NDIM(array)) + "-D array of " + dtype_text(array);
    if (PyArray_NDIM(array) >= 1) {
      what += " with shape (";
      for (int i = 0; i < PyArray_NDIM(array); ++i) what += (i ? ", " : "") + std::to_string(PyArray_DIM(array, i));
      what += PyArray_NDIM(array) == 1 ? ",)" : ")";
    }
  } else if (PyUnicode_Check(given)) {
    what = "a str";
  }
  PyErr_Clear();
  PyErr_Restore(type, value, tb);
  add_note(std::string("'") + arg + "' expects " + expected + "; it was given " + what + ".");
}

bool wrong_type(const char* arg, PyObject* obj, const char* target) {
  raise_wrong_type(arg, obj, target);
  note_expected(arg, plain_target(target), obj);
  return false;
}

}  // namespace

bool text_arg(PyObject* obj, const char* arg, std::string& out) {
  if (!PyUnicode_Check(obj)) return wrong_type(arg, obj, "PyString");
  return utf8_of(obj, out);
}

bool path_arg(PyObject* obj, const char* arg, std::string& out) {
  if (PyUnicode_Check(obj)) return utf8_of(obj, out);
  // Only os.PathLike objects: os.fspath would also take bytes.
  if (!PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__fspath__")) {
    raise_wrong_type(arg, obj, "PyString");
    note_expected(arg, "a str or an os.PathLike (such as pathlib.Path)", obj);
    return false;
  }
  PyRef path = PyRef::steal(PyOS_FSPath(obj));
  if (!path) {
    prefix_type_error(arg);
    return false;
  }
  if (PyBytes_Check(path.get())) {
    path =
        PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(path.get()), PyBytes_GET_SIZE(path.get())));
    if (!path) return false;
  }
  return utf8_of(path.get(), out);
}

bool count_arg(PyObject* obj, const char* arg, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) {
    prefix_type_error(arg);
    if (PyErr_ExceptionMatches(PyExc_TypeError)) note_expected(arg, "an int", obj);
    return false;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_type_error(arg);
    return false;
  }
  out = value;
  return true;
}

bool flag_arg(PyObject* obj, const char* arg, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) {
      prefix_type_error(arg);
      return false;
    }
    out = truth != 0;
    return true;
  }
  return wrong_type(arg, obj, "PyBool");
}

bool float_arg(PyObject* obj, const char* arg, float& out) {
  double value = 0.0;
  if (!double_arg(obj, arg, value)) return false;
  out = narrow(value);
  return true;
}

bool double_arg(PyObject* obj, const char* arg, double& out) {
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    prefix_type_error(arg);
    if (PyErr_ExceptionMatches(PyExc_TypeError)) note_expected(arg, "a number", obj);
    return false;
  }
  out = value;
  return true;
}

namespace {

// Walks a sequence (not str) of str, handing each id's UTF-8 to put.
template <class Out, class Put>
bool each_id(PyObject* obj, const char* arg, Out& out, Put&& put) {
  if (PyUnicode_Check(obj)) {
    raise_type_error(arg_prefix(arg) + "Can't extract `str` to `Vec`");
    note_expected(arg, "a list of str (one id is still a list: [id])", obj);
    return false;
  }
  if (!PySequence_Check(obj)) return wrong_type(arg, obj, "Sequence");
  bool named = false;  // the error already names the argument
  bool ok = walk_sequence(obj, out, [&](PyObject* value) {
    if (!PyUnicode_Check(value)) {
      raise_wrong_type(arg, value, "PyString");
      note_expected(arg, "a list of str", value);
      named = true;
      return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return false;
    put(std::string_view(data, static_cast<std::size_t>(size)));
    return true;
  });
  if (!ok && !named) prefix_type_error(arg);
  return ok;
}

// The capacity hint of walk_sequence for a ByteTable: room for entries.
struct IdTableSink {
  ByteTable& table;
  void reserve(std::size_t n) { table.reserve_more(n, 0); }
};

}  // namespace

bool id_list_arg(PyObject* obj, const char* arg, std::vector<std::string>& out) {
  out.clear();
  return each_id(obj, arg, out, [&](std::string_view id) { out.emplace_back(id); });
}

bool id_list_arg(PyObject* obj, const char* arg, ByteTable& out) {
  out = ByteTable();
  IdTableSink sink{out};
  return each_id(obj, arg, sink, [&](std::string_view id) { out.push_back(id); });
}

bool dict_arg(PyObject* obj, const char* arg) {
  if (PyDict_Check(obj)) return true;
  return wrong_type(arg, obj, "PyDict");
}

bool list_arg(PyObject* obj, const char* arg) {
  if (PyList_Check(obj)) return true;
  return wrong_type(arg, obj, "PyList");
}

bool VectorArg::extract(PyObject* obj, const char* arg, bool allow_row) {
  array_.reset();
  row_.reset();
  if (allow_row && is_array(obj) && PyArray_NDIM(as_array(obj)) == 2 && PyArray_DIM(as_array(obj), 0) == 1) {
    row_ = PyRef::steal(PySequence_GetItem(obj, 0));
    if (!row_) return false;
    obj = row_.get();
  }
  if (is_array(obj) && PyArray_ISCOMPLEX(as_array(obj))) {
    refuse_complex(obj);
    prefix_type_error(arg);
    return false;
  }
  if (floats_from_sequence(obj, values_)) return true;
  if (!pending_error_is_exception()) return false;
  std::string list_failure = take_error_text();
  values_.clear();
  std::string numpy_failure;
  if (float32_array_of(obj, 1, numpy_failure)) {
    array_ = PyRef::borrow(obj);
    return true;
  }
  raise_type_error(arg_prefix(arg) + "failed to extract enum VectorInput ('List | Numpy')\n- variant List (List): " +
                   list_failure + "\n- variant Numpy (Numpy): " + numpy_failure);
  std::string expected = "one vector: a list, tuple or 1-D NumPy array of numbers";
  if (allow_row) {
    expected = "one query vector: a list, tuple, 1-D NumPy array or (1, dim) array of numbers";
    if (is_array(obj) && PyArray_NDIM(as_array(obj)) == 2)
      expected += " (search_many and search_arrays take a batch of queries)";
  }
  note_expected(arg, expected, obj);
  return false;
}

bool VectorArg::finish(std::vector<float>& out) {
  if (!array_) {
    out = std::move(values_);
    return true;
  }
  if (!recheck_array(array_.get(), 1)) return false;
  PyArrayObject* array = as_array(array_.get());
  if (!PyArray_IS_C_CONTIGUOUS(array) && !PyArray_IS_F_CONTIGUOUS(array)) return raise_not_contiguous();
  out.resize(static_cast<std::size_t>(PyArray_DIM(array, 0)));
  if (!out.empty()) std::memcpy(out.data(), PyArray_DATA(array), out.size() * sizeof(float));
  return true;
}

bool BatchArg::extract(PyObject* obj, const char* arg) {
  array_.reset();
  doubles_.reset();
  arrow_.reset();
  rows_.clear();
  flattened_ = false;
  std::string numpy_failure;
  if (is_array(obj) && PyArray_ISCOMPLEX(as_array(obj))) {
    refuse_complex(obj);
    prefix_type_error(arg);
    return false;
  }
  if (float32_array_of(obj, 2, numpy_failure)) {
    array_ = PyRef::borrow(obj);
    return true;
  }
  // A float64 array is read where it lies when the rows are taken, each
  // value narrowed as the Lists form would.
  if (fast_float_array(obj, 2) == 8) {
    doubles_ = PyRef::borrow(obj);
    return true;
  }
  if (!is_array(obj) && !PyList_Check(obj) && !PyTuple_Check(obj) && ArrowRows::offered(obj)) {
    arrow_ = std::make_unique<ArrowRows>();
    return arrow_->import(obj, arg);
  }
  if (rows_from_sequences(obj, rows_)) return true;
  if (!pending_error_is_exception()) return false;
  std::string lists_failure = take_error_text();
  rows_.clear();
  raise_type_error(arg_prefix(arg) +
                   "failed to extract enum BatchVectorInput ('Numpy | Lists')\n- variant Numpy (Numpy): " +
                   numpy_failure + "\n- variant Lists (Lists): " + lists_failure);
  note_expected(arg, "a batch of vectors: an (n, dim) NumPy array or a list of vectors", obj);
  return false;
}

bool BatchArg::finish(std::vector<std::vector<float>>& out) {
  if (arrow_) {
    VectorRows rows = arrow_->rows();
    RowReader read(rows);
    out.clear();
    out.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const float* row = read(i);
      out.emplace_back(row, row + rows.len(i));
    }
    return true;
  }
  if (doubles_ && !rows_from_sequences(doubles_.get(), rows_)) return false;
  if (!array_) {
    out = std::move(rows_);
    return true;
  }
  if (!recheck_array(array_.get(), 2)) return false;
  PyArrayObject* array = as_array(array_.get());
  const npy_intp n = PyArray_DIM(array, 0), d = PyArray_DIM(array, 1);
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  out.assign(static_cast<std::size_t>(n), std::vector<float>(static_cast<std::size_t>(d)));
  if (PyArray_IS_C_CONTIGUOUS(array)) {
    for (npy_intp i = 0; i < n && d > 0; ++i) {
      std::memcpy(out[static_cast<std::size_t>(i)].data(), base + i * d * static_cast<npy_intp>(sizeof(float)),
                  static_cast<std::size_t>(d) * sizeof(float));
    }
  } else if (PyArray_IS_F_CONTIGUOUS(array)) {
    for (npy_intp i = 0; i < n; ++i) {
      float* row = out[static_cast<std::size_t>(i)].data();
      for (npy_intp j = 0; j < d; ++j) {
        std::memcpy(row + j, base + (j * n + i) * static_cast<npy_intp>(sizeof(float)), sizeof(float));
      }
    }
  } else {
    out.clear();
    return raise_not_contiguous();
  }
  return true;
}

bool BatchArg::finish_rows(VectorRows& out) {
  if (arrow_) {
    out = arrow_->rows();
    return true;
  }
  PyObject* viewed = array_ ? array_.get() : doubles_.get();
  if (viewed != nullptr && doubles_ && fast_float_array(viewed, 2) != 8) {
    // Retyped or reshaped by Python code run since extraction: take it as
    // the Lists form takes it now.
    if (!rows_from_sequences(viewed, rows_)) return false;
    doubles_.reset();
    viewed = nullptr;
  }
  if (viewed == nullptr) {
    // The Lists form: the rows, converted at extraction, in one block.
    if (!flattened_) {
      flat_.clear();
      ends_.clear();
      ends_.reserve(rows_.size());
      for (auto& row : rows_) {
        flat_.insert(flat_.end(), row.begin(), row.end());
        ends_.push_back(flat_.size());
        std::vector<float>().swap(row);
      }
      rows_.clear();
      flattened_ = true;
    }
    out = VectorRows::ragged(flat_.data(), ends_.data(), ends_.size());
    return true;
  }
  if (array_ && !recheck_array(array_.get(), 2)) return false;
  PyArrayObject* array = as_array(viewed);
  if (array_ && !PyArray_IS_C_CONTIGUOUS(array) && !PyArray_IS_F_CONTIGUOUS(array)) return raise_not_contiguous();
  out = VectorRows::strided(PyArray_DATA(array), static_cast<std::size_t>(PyArray_DIM(array, 0)),
                            static_cast<std::size_t>(PyArray_DIM(array, 1)), PyArray_STRIDE(array, 0),
                            PyArray_STRIDE(array, 1), array_ ? VectorRows::Element::F32 : VectorRows::Element::F64);
  return true;
}

}  // namespace hovra::py

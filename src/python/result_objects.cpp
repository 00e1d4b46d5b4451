// Python objects for engine results: search_arrays' NumPy arrays, the
// dicts of stats() and memory_usage(), float lists and str.
#include "python/result_objects.h"

#include "python/numpy_api.h"

#include <limits>

#include "python/convert.h"

namespace hovra::py {

PyObject* hits_to_arrays(const std::vector<std::vector<SearchHit>>& lists, std::size_t k) {
  if (!numpy_available()) {
    PyErr_SetString(PyExc_ImportError, "search_arrays needs NumPy");
    return nullptr;
  }
  npy_intp dims[2] = {static_cast<npy_intp>(lists.size()), static_cast<npy_intp>(k)};
  PyRef ids = PyRef::steal(PyArray_SimpleNew(2, dims, NPY_OBJECT));
  if (!ids) return nullptr;
  PyRef distances = PyRef::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT32));
  if (!distances) return nullptr;
  PyArrayObject* id_array = reinterpret_cast<PyArrayObject*>(ids.get());
  PyArrayObject* distance_array = reinterpret_cast<PyArrayObject*>(distances.get());
  for (npy_intp i = 0; i < dims[0]; ++i) {
    const std::vector<SearchHit>& hits = lists[static_cast<std::size_t>(i)];
    for (npy_intp j = 0; j < dims[1]; ++j) {
      auto** cell = static_cast<PyObject**>(PyArray_GETPTR2(id_array, i, j));
      auto* distance = static_cast<float*>(PyArray_GETPTR2(distance_array, i, j));
      if (static_cast<std::size_t>(j) < hits.size()) {
        PyObject* id = str_from(hits[static_cast<std::size_t>(j)].id);
        if (id == nullptr) return nullptr;
        Py_XSETREF(*cell, id);
        *distance = hits[static_cast<std::size_t>(j)].distance;
      } else {
        Py_INCREF(Py_None);
        Py_XSETREF(*cell, Py_None);
        *distance = std::numeric_limits<float>::quiet_NaN();
      }
    }
  }
  return PyTuple_Pack(2, ids.get(), distances.get());
}

namespace {
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}
}  // namespace

PyObject* stats_to_python(const IndexStats& s) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  bool ok = set_item(d, "num_vectors", PyLong_FromUnsignedLongLong(s.num_vectors)) &&
            set_item(d, "num_deleted", PyLong_FromUnsignedLongLong(s.num_deleted)) &&
            set_item(d, "num_layers", PyLong_FromUnsignedLongLong(s.num_layers)) &&
            set_item(d, "avg_degree_layer0", PyFloat_FromDouble(s.avg_degree_layer0)) &&
            set_item(d, "max_degree_layer0", PyLong_FromUnsignedLongLong(s.max_degree_layer0)) &&
            set_item(d, "min_degree_layer0", PyLong_FromUnsignedLongLong(s.min_degree_layer0)) &&
            set_item(d, "memory_vectors_bytes", PyLong_FromUnsignedLongLong(s.memory_vectors_bytes)) &&
            set_item(d, "memory_graph_bytes", PyLong_FromUnsignedLongLong(s.memory_graph_bytes)) &&
            set_item(d, "memory_quantized_bytes", PyLong_FromUnsignedLongLong(s.memory_quantized_bytes)) &&
            set_item(d, "uses_brute_force", PyBool_FromLong(s.uses_brute_force ? 1 : 0)) &&
            set_item(d, "uses_quantized_search", PyBool_FromLong(s.uses_quantized_search ? 1 : 0)) &&
            set_item(d, "fresh_rows", PyLong_FromUnsignedLongLong(s.fresh_rows));
  if (!ok) return nullptr;
  return dict.release();
}

PyObject* memory_to_python(const std::vector<MemoryPart>& parts) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const MemoryPart& part : parts)
    if (!set_item(dict.get(), part.name, PyLong_FromUnsignedLongLong(part.bytes))) return nullptr;
  return dict.release();
}

PyObject* float_list(const std::vector<float>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* str_from(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

}  // namespace hovra::py

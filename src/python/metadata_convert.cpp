// Metadata between Python and the engine: a dict written by the host's
// json.dumps (NumPy values through a second attempt with a hook), refused
// first when JSON could not keep a value (NaN, infinity, an int outside 64
// bits, named by key), then read by the engine's JSON reader; lists of
// metadata packed one item at a time; stored metadata read back with
// json.loads.
#include <cmath>
#include <optional>
#include <string>

#include "core/base/error.h"
#include "core/records/json.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/numpy_api.h"
#include "python/py_ref.h"

namespace hovra::py {

namespace {

PyObject* json_function(const char* name) {
  PyRef json = PyRef::steal(PyImport_ImportModule("json"));
  if (!json) return nullptr;
  return PyObject_GetAttrString(json.get(), name);
}

// NumPy values json.dumps cannot write, as the Python values they equal.
// Long doubles and complex numbers have no such value and stay refused.
bool json_ready_numpy(PyObject* obj) {
  if (!numpy_available()) return false;
  if (PyArray_IsScalar(obj, Bool) || PyArray_IsScalar(obj, Integer)) return true;
  if (PyArray_IsScalar(obj, Floating)) return !PyArray_IsScalar(obj, LongDouble);
  if (!PyArray_Check(obj)) return false;
  PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj));
  switch (descr->kind) {
    case 'b':
    case 'i':
    case 'u':
    case 'O':  // the items go through json (and this hook) one by one
      return true;
    case 'f':
      return PyArray_ITEMSIZE(reinterpret_cast<PyArrayObject*>(obj)) <= 8;
    default:
      return false;
  }
}

// The `default` hook handed to json.dumps on the second attempt.
PyObject* numpy_json_default(PyObject*, PyObject* obj) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!json_ready_numpy(obj)) {
      PyErr_Format(PyExc_TypeError, "Object of type %s is not JSON serializable", type_name(obj).c_str());
      return nullptr;
    }
    if (PyArray_Check(obj)) return PyObject_CallMethod(obj, "tolist", nullptr);
    if (PyArray_IsScalar(obj, Bool)) {
      int truth = PyObject_IsTrue(obj);
      return truth < 0 ? nullptr : PyBool_FromLong(truth);
    }
    if (PyArray_IsScalar(obj, Integer)) return PyNumber_Index(obj);
    double value = PyFloat_AsDouble(obj);  // exact for float16/32/64
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(value);
  });
}

PyMethodDef g_numpy_default_def = {"numpy_json_default", numpy_json_default, METH_O, nullptr};
PyObject* g_numpy_default = nullptr;  // kept for the life of the process

// json.dumps(obj, default=<NumPy hook>); null with an error set on failure.
PyObject* dumps_with_numpy_hook(PyObject* dumps, PyObject* obj) {
  if (g_numpy_default == nullptr) {
    g_numpy_default = PyCFunction_New(&g_numpy_default_def, nullptr);
    if (g_numpy_default == nullptr) return nullptr;
  }
  PyRef args = PyRef::steal(PyTuple_Pack(1, obj));
  PyRef kwargs = PyRef::steal(PyDict_New());
  if (!args || !kwargs || PyDict_SetItemString(kwargs.get(), "default", g_numpy_default) < 0) return nullptr;
  return PyObject_Call(dumps, args.get(), kwargs.get());
}

// json.dumps(obj) as the host's defaults write it; only a TypeError (a value
// it cannot write) leads to the second attempt with the NumPy hook, and if
// that fails with TypeError too the first error stands.
PyObject* dumps_metadata(PyObject* obj) {
  PyRef dumps = PyRef::steal(json_function("dumps"));
  if (!dumps) return nullptr;
  PyObject* text = PyObject_CallOneArg(dumps.get(), obj);
  if (text != nullptr || !numpy_available() || !PyErr_ExceptionMatches(PyExc_TypeError)) return text;
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), b = PyRef::steal(tb);
  text = dumps_with_numpy_hook(dumps.get(), obj);
  if (text == nullptr && PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    PyErr_Restore(t.release(), v.release(), b.release());
  }
  return text;
}

// Where a value sits in metadata: "a", "a.b", "a[2]".
std::string key_path(const std::string& parent, PyObject* key) {
  PyRef text = PyRef::steal(PyUnicode_Check(key) ? (Py_INCREF(key), key) : PyObject_Str(key));
  std::string name;
  if (!text || !utf8_of(text.get(), name)) {
    PyErr_Clear();
    name.assign(1, '?');  // GCC 12 at -O3 misreads `name = "?"` here as an overlapping copy (-Wrestrict)
  }
  return parent.empty() ? name : parent + "." + name;
}

// The first value of metadata that its JSON text cannot keep: a float NaN
// or infinity (JSON has neither), or an int outside the 64-bit range (it
// would read back as a float). Empty when there is none; the Python error
// state is left clear.
std::string metadata_fault(PyObject* obj, const std::string& path, int depth) {
  if (depth > 128) return {};  // the reader refuses such nesting itself
  if (PyFloat_Check(obj) ||
      (numpy_available() && PyArray_IsScalar(obj, Floating) && !PyArray_IsScalar(obj, LongDouble))) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return {};
    }
    if (std::isnan(d)) return "the value under key '" + path + "' is NaN (JSON has no NaN or infinity)";
    if (std::isinf(d)) return "the value under key '" + path + "' is infinite (JSON has no NaN or infinity)";
    return {};
  }
  if (PyLong_Check(obj) && !PyBool_Check(obj)) {
    int overflow = 0;
    (void)PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow > 0) {
      (void)PyLong_AsUnsignedLongLong(obj);
      if (PyErr_Occurred()) {
        PyErr_Clear();
        overflow = 2;
      } else {
        overflow = 0;
      }
    }
    if (PyErr_Occurred()) PyErr_Clear();
    if (overflow != 0)
      return "the integer under key '" + path + "' is outside the 64-bit range (-2**63 to 2**64-1 are kept exact)";
    return {};
  }
  if (PyDict_Check(obj)) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      std::string fault = metadata_fault(value, key_path(path, key), depth + 1);
      if (!fault.empty()) return fault;
    }
    return {};
  }
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    PyRef items = PyRef::steal(PySequence_Fast(obj, ""));
    if (!items) {
      PyErr_Clear();
      return {};
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
      std::string fault =
          metadata_fault(PySequence_Fast_GET_ITEM(items.get(), i), path + "[" + std::to_string(i) + "]", depth + 1);
      if (!fault.empty()) return fault;
    }
  }
  return {};
}

}  // namespace

bool metadata_from_python(PyObject* obj, JsonValue& out) {
  std::string fault = metadata_fault(obj, "", 0);
  if (!fault.empty()) {
    raise_value_error("invalid metadata: " + fault);
    return false;
  }
  PyRef text = PyRef::steal(dumps_metadata(obj));
  if (!text) return false;
  if (!PyUnicode_Check(text.get())) {
    raise_type_error(cannot_convert(text.get(), "PyString"));
    return false;
  }
  std::string json;
  if (!utf8_of(text.get(), json)) return false;
  std::string error;
  if (!parse_json(json, out, error)) {
    raise_value_error("invalid metadata: " + error);
    return false;
  }
  return true;
}

// Each item is packed as it is converted, so no tree of the whole list is
// ever held.
bool metadata_list_from_python(PyObject* list, ByteTable& out) {
  out = ByteTable();
  std::string bytes;
  // Indexed walk: json.dumps may run code that changes the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
    if (item.get() == Py_None) {
      out.push_absent();
    } else if (PyDict_Check(item.get())) {
      JsonValue value;
      if (!metadata_from_python(item.get(), value)) return false;
      bytes.clear();
      pack_json(value, bytes);
      out.push_back(bytes);
    } else {
      raise_value_error("metadatas must be list of dicts or None");
      return false;
    }
  }
  return true;
}

PyObject* metadata_text_to_python(const std::string& text) {
  PyRef loads = PyRef::steal(json_function("loads"));
  PyRef str = loads ? PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"))
                    : PyRef();
  PyRef value = str ? PyRef::steal(PyObject_CallOneArg(loads.get(), str.get())) : PyRef();
  if (!value) throw Panic("failed to read stored metadata: " + take_error_text());
  return value.release();
}

PyObject* metadata_to_python(const std::optional<JsonValue>& value) {
  if (!value) Py_RETURN_NONE;
  return metadata_text_to_python(to_json_text(*value));
}

PyObject* metadata_to_python(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return metadata_text_to_python(*text);
}

}  // namespace hovra::py

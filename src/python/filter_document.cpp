// where_filter dictionaries: the Python value read into the engine's JSON
// value (dicts, lists, text, bools, numbers, None), then handed to the
// engine's filter parser (or, for a dict equal to one of the last few read,
// the filter parsed then), whose message a malformed filter raises as
// HovraError (a ValueError). Values JSON cannot hold travel as the parser's
// reserved markers, so that the parser reports them where they stand: a NaN or an
// infinity (a threshold, or null as a value) and any other object (a tuple,
// a set, an array), as well as anything nested deeper than the JSON reader
// allows.
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/thread_annotations.h"
#include "core/records/filter_parse.h"
#include "python/convert.h"
#include "python/errors.h"

namespace hovra::py {

namespace {

// Iterates a dict's items, stopping with a panic when the dict changes size
// or keys while it is walked (possible only through conversion hooks).
template <class F>
bool for_each_item(PyObject* dict, F&& body) {
  const Py_ssize_t initial = PyDict_GET_SIZE(dict);
  Py_ssize_t remaining = initial;
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  for (;;) {
    if (PyDict_GET_SIZE(dict) != initial) throw Panic("dictionary changed size during iteration");
    if (remaining == -1) throw Panic("dictionary keys changed during iteration");
    if (!PyDict_Next(dict, &pos, &key, &value)) return true;
    --remaining;
    PyRef k = PyRef::borrow(key), v = PyRef::borrow(value);
    if (!body(k.get(), v.get())) return false;
  }
}

// The JSON reader's nesting limit, the outermost dict counting as one.
constexpr int kMaxNesting = 127;

bool key_text(PyObject* key, std::string& out) {
  if (!PyUnicode_Check(key)) {
    raise_type_error(cannot_convert(key, "PyString"));
    return false;
  }
  return utf8_of(key, out);
}

bool document_value(PyObject* obj, int depth, JsonValue& out);

bool document_dict(PyObject* dict, int depth, JsonValue& out) {
  JsonValue::Object members;
  bool ok = for_each_item(dict, [&](PyObject* key, PyObject* value) {
    std::string name;
    if (!key_text(key, name)) return false;
    JsonValue member;
    if (!document_value(value, depth + 1, member)) return false;
    members.insert_or_assign(std::move(name), std::move(member));
    return true;
  });
  if (!ok) return false;
  out = JsonValue::object(std::move(members));
  return true;
}

// Indexed walk: a conversion hook may change the list while it is read.
bool document_list(PyObject* list, int depth, JsonValue& out) {
  JsonValue::Array items;
  items.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
    JsonValue value;
    if (!document_value(item.get(), depth + 1, value)) return false;
    items.push_back(std::move(value));
  }
  out = JsonValue::array(std::move(items));
  return true;
}

// A number: an integer within the signed 64-bit range, else anything with a
// float value. False (no error set) when obj has neither.
bool document_number(PyObject* obj, JsonValue& out) {
  if (PyRef index = PyRef::steal(PyNumber_Index(obj))) {
    long long v = PyLong_AsLongLong(index.get());
    if (!(v == -1 && PyErr_Occurred())) {
      out = JsonValue::signed_int(v);
      return true;
    }
  }
  PyErr_Clear();
  double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out = std::isfinite(d) ? JsonValue::floating(d) : non_finite_filter_number(d);
  return true;
}

// A plain int's value; false (the error cleared) for one beyond 64 bits.
bool plain_int(PyObject* obj, long long& v) {
  int overflow = 0;
  v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow == 0 && !(v == -1 && PyErr_Occurred())) return true;
  PyErr_Clear();
  return false;
}

// A plain int or float (not a subclass, which may convert through hooks)
// read straight from the object: the values of a long $in are mostly
// these. False for anything else, and for an int beyond 64 bits.
bool plain_number(PyObject* obj, JsonValue& out) {
  if (PyLong_CheckExact(obj)) {
    long long v = 0;
    if (!plain_int(obj, v)) return false;
    out = JsonValue::signed_int(v);
    return true;
  }
  if (PyFloat_CheckExact(obj)) {
    double d = PyFloat_AS_DOUBLE(obj);
    out = std::isfinite(d) ? JsonValue::floating(d) : non_finite_filter_number(d);
    return true;
  }
  return false;
}

// Tested in the order str, bool, dict, list, number, None (a plain int or
// float first, as it can be nothing else). Only a key that is not a str
// (TypeError) or a failing hook's panic stops the walk. The marker (a
// small object) is made only for a value that needs it, not ahead of every
// value: a $in of 500 values would build 500 of them.
bool document_value(PyObject* obj, int depth, JsonValue& out) {
  if (plain_number(obj, out)) return true;
  if (PyUnicode_Check(obj)) {
    std::string text;
    if (utf8_of(obj, text)) {
      out = JsonValue::string(std::move(text));
      return true;
    }
    PyErr_Clear();
  } else if (PyBool_Check(obj) || is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth >= 0) {
      out = JsonValue::boolean(truth != 0);
      return true;
    }
    PyErr_Clear();
  } else if (PyDict_Check(obj)) {
    if (depth < kMaxNesting) return document_dict(obj, depth, out);
  } else if (PyList_Check(obj)) {
    if (depth < kMaxNesting) return document_list(obj, depth, out);
  } else if (document_number(obj, out)) {
    return true;
  } else if (obj == Py_None) {
    out = JsonValue::null();
    return true;
  }
  out = foreign_filter_value();
  return true;
}

// ---------------------------------------------------------------------------
// Filters kept by document

bool dict_reads_as(PyObject* dict, int depth, const JsonValue& kept);

// Whether obj reads (as document_value reads it at this depth) into a value
// equal to `kept`, decided without building anything and without calling
// Python code: only the plain types (dict, list, str and int exactly, a
// float, a bool, None) are compared; anything else answers false, and the
// filter is read the whole way.
bool reads_as(PyObject* obj, int depth, const JsonValue& kept) {
  using Kind = JsonValue::Kind;
  if (PyLong_CheckExact(obj)) {
    long long v = 0;
    return plain_int(obj, v) && kept.is_number() && JsonValue::signed_int(v) == kept;
  }
  if (PyFloat_CheckExact(obj)) {
    double d = PyFloat_AS_DOUBLE(obj);
    return std::isfinite(d) && kept.kind() == Kind::Float && JsonValue::floating(d) == kept;
  }
  if (PyUnicode_CheckExact(obj)) {
    if (kept.kind() != Kind::String) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) {
      PyErr_Clear();
      return false;
    }
    return std::string_view(data, static_cast<std::size_t>(size)) == kept.as_string();
  }
  if (PyBool_Check(obj)) return kept.kind() == Kind::Bool && kept.as_bool() == (obj == Py_True);
  if (obj == Py_None) return kept.kind() == Kind::Null;
  if (depth >= kMaxNesting) return false;
  if (PyDict_CheckExact(obj)) return dict_reads_as(obj, depth, kept);
  if (!PyList_CheckExact(obj) || kept.kind() != Kind::Array) return false;
  const JsonValue::Array& items = kept.as_array();
  if (static_cast<std::size_t>(PyList_GET_SIZE(obj)) != items.size()) return false;
  for (std::size_t i = 0; i < items.size(); ++i)
    if (!reads_as(PyList_GET_ITEM(obj, static_cast<Py_ssize_t>(i)), depth + 1, items[i])) return false;
  return true;
}

bool dict_reads_as(PyObject* dict, int depth, const JsonValue& kept) {
  if (kept.kind() != JsonValue::Kind::Object) return false;
  if (static_cast<std::size_t>(PyDict_GET_SIZE(dict)) != kept.as_object().size()) return false;
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &size);
    if (name == nullptr) {
      PyErr_Clear();
      return false;
    }
    const JsonValue* member = kept.find(std::string_view(name, static_cast<std::size_t>(size)));
    if (member == nullptr || !reads_as(value, depth + 1, *member)) return false;
  }
  return true;
}

// The last few filters read, with the documents they were parsed from, most
// recently used first: a search repeating a filter (a $in of 500 values is
// read into 500 values, parsed and then hashed and compared with the kept
// plan's filter, on every call) takes the same filter after comparing its
// dict with the document. Documents of more values than kMaxKeptValues are
// not kept.
struct KeptFilter {
  JsonValue document;
  std::shared_ptr<const Filter> filter;
};
constexpr std::size_t kKeptFilters = 4;
constexpr std::size_t kMaxKeptValues = std::size_t(1) << 16;

Mutex g_kept_mutex;  // a leaf: nothing is taken under it
std::vector<KeptFilter> g_kept GUARDED_BY(g_kept_mutex);

std::size_t listed_values(const Filter& filter) {
  std::size_t n = filter.values.size();
  for (const Filter& child : filter.children) n += listed_values(child);
  return n;
}

std::shared_ptr<const Filter> kept_filter(PyObject* dict) {
  if (!PyDict_CheckExact(dict)) return nullptr;
  MutexLock lock(g_kept_mutex);
  for (std::size_t i = 0; i < g_kept.size(); ++i) {
    if (!dict_reads_as(dict, 1, g_kept[i].document)) continue;
    std::rotate(g_kept.begin(), g_kept.begin() + static_cast<std::ptrdiff_t>(i),
                g_kept.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    return g_kept.front().filter;
  }
  return nullptr;
}

void keep_filter(JsonValue document, std::shared_ptr<const Filter> filter) {
  if (listed_values(*filter) > kMaxKeptValues) return;
  MutexLock lock(g_kept_mutex);
  g_kept.insert(g_kept.begin(), KeptFilter{std::move(document), std::move(filter)});
  if (g_kept.size() > kKeptFilters) g_kept.pop_back();
}

}  // namespace

bool filter_from_python(PyObject* dict, std::shared_ptr<const Filter>& out) {
  if ((out = kept_filter(dict))) return true;
  JsonValue document;
  if (!document_dict(dict, 1, document)) return false;
  auto filter = std::make_shared<Filter>();
  std::string error;
  if (!parse_filter(document, *filter, error)) {
    raise_hovra_error(error);
    return false;
  }
  if (PyDict_CheckExact(dict)) keep_filter(std::move(document), filter);
  out = std::move(filter);
  return true;
}

bool filter_from_python(PyObject* dict, Filter& out) {
  JsonValue document;
  if (!document_dict(dict, 1, document)) return false;
  std::string error;
  if (!parse_filter(document, out, error)) {
    raise_hovra_error(error);
    return false;
  }
  return true;
}

}  // namespace hovra::py

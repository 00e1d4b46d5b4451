// The SearchResult class: an immutable snapshot of one hit. The metadata is
// kept as compact JSON text and turned into a fresh Python object on every
// read.
#include "python/search_result.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace hovra::py {

namespace {

struct SearchResultObject {
  PyObject_HEAD
  std::string id;
  std::optional<std::string> metadata;  // compact JSON text
  float distance;
};

PyTypeObject* g_type = nullptr;

SearchResultObject* as_result(PyObject* obj) { return reinterpret_cast<SearchResultObject*>(obj); }

PyObject* make_result(const SearchHit& hit) {
  // Copies first: nothing may throw once the object exists.
  std::string id = hit.id;
  std::optional<std::string> metadata;
  if (hit.metadata) metadata = to_json_text(*hit.metadata);
  PyObject* obj = g_type->tp_alloc(g_type, 0);
  if (obj == nullptr) return nullptr;
  SearchResultObject* result = as_result(obj);
  new (&result->id) std::string(std::move(id));
  new (&result->metadata) std::optional<std::string>(std::move(metadata));
  result->distance = hit.distance;
  return obj;
}

void result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  SearchResultObject* result = as_result(self);
  result->id.~basic_string();
  result->metadata.~optional();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* result_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for SearchResult");
  return nullptr;
}

PyObject* id_of(PyObject* self) { return str_from(as_result(self)->id); }

PyObject* distance_of(PyObject* self) { return PyFloat_FromDouble(static_cast<double>(as_result(self)->distance)); }

PyObject* metadata_of(PyObject* self) {
  const std::optional<std::string>& text = as_result(self)->metadata;
  if (!text) Py_RETURN_NONE;
  return metadata_text_to_python(*text);
}

PyObject* get_id(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return id_of(self); });
}

PyObject* get_distance(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return distance_of(self); });
}

PyObject* get_metadata(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return metadata_of(self); });
}

PyObject* result_subscript(PyObject* self, PyObject* key) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::uint64_t idx = 0;
    if (!count_arg(key, "idx", idx)) return nullptr;
    switch (idx) {
      case 0:
        return id_of(self);
      case 1:
        return distance_of(self);
      case 2:
        return metadata_of(self);
      default:
        return raise_value_error("index out of range");
    }
  });
}

// Four digits after the point, rounded from the exact value of the float.
std::string format_distance(float distance) {
  if (std::isnan(distance)) return "NaN";
  if (std::isinf(distance)) return distance > 0 ? "inf" : "-inf";
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(distance),
                                 std::chars_format::fixed, 4);
  if (ec != std::errc()) return "?";
  return std::string(buffer, end);
}

PyObject* result_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    const SearchResultObject* result = as_result(self);
    std::string text = "SearchResult(id='" + result->id + "', distance=" + format_distance(result->distance) + ")";
    return str_from(text);
  });
}

PyGetSetDef result_getset[] = {
    {"id", get_id, nullptr, "", nullptr},
    {"distance", get_distance, nullptr, "", nullptr},
    {"metadata", get_metadata, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_mp_subscript, reinterpret_cast<void*>(result_subscript)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec = {
    "_hovra.SearchResult",
    sizeof(SearchResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    result_slots,
};

}  // namespace

PyTypeObject* create_search_result_type() {
  if (g_type == nullptr) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&result_spec));
  return g_type;
}

PyObject* hits_to_list(const std::vector<SearchHit>& hits) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    PyObject* item = make_result(hits[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace hovra::py

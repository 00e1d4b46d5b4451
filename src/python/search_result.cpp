// The SearchResult class: an immutable snapshot of one hit. The metadata is
// kept as compact JSON text and turned into a fresh Python object on every
// read. Results compare and hash by value and pickle through a private
// class method, so they travel between processes without the database.
#include "python/result_objects.h"
#include "python/search_result.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <array>
#include <functional>
#include <new>
#include <optional>
#include <string>

#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace hovra::py {

namespace {

struct SearchResultObject {
  PyObject_HEAD std::string id;
  std::optional<std::string> metadata;  // compact JSON text
  float distance;
  // Text, sparse and hybrid searches: the score; hybrid searches: the ranks.
  std::optional<double> score;
  std::optional<std::array<std::uint32_t, 3>> ranks;
};

PyTypeObject* g_type = nullptr;

SearchResultObject* as_result(PyObject* obj) { return reinterpret_cast<SearchResultObject*>(obj); }

// Takes over the fields; nothing may throw once the object exists.
PyObject* new_result(std::string id, float distance, std::optional<std::string> metadata,
                     std::optional<double> score = std::nullopt,
                     std::optional<std::array<std::uint32_t, 3>> ranks = std::nullopt) {
  PyObject* obj = g_type->tp_alloc(g_type, 0);
  if (obj == nullptr) return nullptr;
  SearchResultObject* result = as_result(obj);
  new (&result->id) std::string(std::move(id));
  new (&result->metadata) std::optional<std::string>(std::move(metadata));
  result->distance = distance;
  new (&result->score) std::optional<double>(score);
  new (&result->ranks) std::optional<std::array<std::uint32_t, 3>>(ranks);
  return obj;
}

PyObject* make_result(SearchHit& hit) {
  return new_result(std::move(hit.id), hit.distance, std::move(hit.metadata), hit.score, hit.ranks);
}

constexpr const char* kRetrievers[3] = {"vector", "text", "sparse"};

void result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  SearchResultObject* result = as_result(self);
  result->id.~basic_string();
  result->metadata.~optional();
  result->score.~optional();
  result->ranks.~optional();
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

PyObject* score_of(PyObject* self) {
  const std::optional<double>& score = as_result(self)->score;
  if (!score) Py_RETURN_NONE;
  return PyFloat_FromDouble(*score);
}

// {"vector": rank, "text": rank, "sparse": rank} for the retrievers that
// ran and found the record (1-based), or None.
PyObject* ranks_of(PyObject* self) {
  const auto& ranks = as_result(self)->ranks;
  if (!ranks) Py_RETURN_NONE;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t i = 0; i < 3; ++i) {
    if ((*ranks)[i] == 0) continue;
    PyRef rank = PyRef::steal(PyLong_FromUnsignedLong((*ranks)[i]));
    if (!rank || PyDict_SetItemString(dict.get(), kRetrievers[i], rank.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* get_score(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return score_of(self); });
}

PyObject* get_ranks(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return ranks_of(self); });
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

// Iteration yields id, distance and metadata, so a result unpacks like the
// tuple it stands for.
PyObject* result_iter(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyRef id = PyRef::steal(id_of(self));
    PyRef distance = PyRef::steal(distance_of(self));
    PyRef metadata = PyRef::steal(metadata_of(self));
    if (!id || !distance || !metadata) return nullptr;
    PyRef items = PyRef::steal(PyTuple_Pack(3, id.get(), distance.get(), metadata.get()));
    if (!items) return nullptr;
    return PyObject_GetIter(items.get());
  });
}

Py_ssize_t result_length(PyObject*) { return 3; }

// Four digits after the point, rounded from the exact value of the float.
std::string format_distance(float distance) {
  if (std::isnan(distance)) return "NaN";
  if (std::isinf(distance)) return distance > 0 ? "inf" : "-inf";
  char buffer[64];
  auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(distance), std::chars_format::fixed, 4);
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

bool is_result(PyObject* obj) { return Py_TYPE(obj) == g_type; }

// Equal ids, distances (as floats: 0.0 equals -0.0, NaN equals nothing) and
// metadata (compact JSON text, so 1 and 1.0 differ as they do in filters).
bool same_value(const SearchResultObject* a, const SearchResultObject* b) {
  return a->id == b->id && a->distance == b->distance && a->metadata == b->metadata && a->score == b->score &&
         a->ranks == b->ranks;
}

PyObject* result_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !is_result(self) || !is_result(other)) Py_RETURN_NOTIMPLEMENTED;
  bool equal = same_value(as_result(self), as_result(other));
  return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
}

Py_hash_t result_hash(PyObject* self) {
  const SearchResultObject* result = as_result(self);
  // 0.0 and -0.0 are equal, so they must hash alike.
  double distance = result->distance == 0.0f ? 0.0 : static_cast<double>(result->distance);
  std::size_t h = std::hash<std::string>{}(result->id);
  auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
  mix(std::hash<double>{}(distance));
  mix(result->metadata ? std::hash<std::string>{}(*result->metadata) : 0x51ed27ULL);
  if (result->ranks) {
    for (std::uint32_t r : *result->ranks) mix(r);
  }
  auto hash = static_cast<Py_hash_t>(h);
  return hash == -1 ? -2 : hash;
}

// pickle: SearchResult._restore(id, distance, metadata JSON text or None).
// The distance is the 32-bit value widened to a float, which narrows back
// to the same bits.
PyObject* result_reduce(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const SearchResultObject* result = as_result(self);
    PyRef restore = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(g_type), "_restore"));
    if (!restore) return nullptr;
    PyRef id = PyRef::steal(id_of(self));
    PyRef distance = PyRef::steal(distance_of(self));
    PyRef metadata = result->metadata ? PyRef::steal(str_from(*result->metadata)) : PyRef::borrow(Py_None);
    if (!id || !distance || !metadata) return nullptr;
    if (!result->score && !result->ranks)
      return Py_BuildValue("(O(OOO))", restore.get(), id.get(), distance.get(), metadata.get());
    restore = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(g_type), "_restore_scored"));
    if (!restore) return nullptr;
    PyRef score = PyRef::steal(score_of(self));
    PyRef ranks =
        result->ranks
            ? PyRef::steal(Py_BuildValue("(III)", (*result->ranks)[0], (*result->ranks)[1], (*result->ranks)[2]))
            : PyRef::borrow(Py_None);
    if (!score || !ranks) return nullptr;
    return Py_BuildValue("(O(OOOOO))", restore.get(), id.get(), distance.get(), metadata.get(), score.get(),
                         ranks.get());
  });
}

// The fields of _restore (3) or _restore_scored (5), checked.
PyObject* restore_fields(PyObject* const* args, Py_ssize_t nargs) {
  std::string id;
  if (!text_arg(args[0], "id", id)) return nullptr;
  float distance = 0.0f;
  if (!float_arg(args[1], "distance", distance)) return nullptr;
  std::optional<std::string> metadata;
  if (args[2] != Py_None) {
    std::string text;
    if (!text_arg(args[2], "metadata", text)) return nullptr;
    JsonValue value;
    std::string error;
    if (!parse_json(text, value, error)) return raise_value_error("invalid metadata: " + error);
    if (!value.is_object()) return raise_value_error("invalid metadata: not a JSON object");
    metadata = to_json_text(value);
  }
  std::optional<double> score;
  std::optional<std::array<std::uint32_t, 3>> ranks;
  if (nargs == 5 && args[3] != Py_None) {
    double value = PyFloat_AsDouble(args[3]);
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    score = value;
  }
  if (nargs == 5 && args[4] != Py_None) {
    std::array<std::uint32_t, 3> r{};
    unsigned int a0 = 0, a1 = 0, a2 = 0;
    if (!PyArg_ParseTuple(args[4], "III", &a0, &a1, &a2)) return nullptr;
    r = {a0, a1, a2};
    ranks = r;
  }
  return new_result(std::move(id), distance, std::move(metadata), score, ranks);
}

// The reverse of __reduce__. Checks its input, since a pickle may come from
// anywhere: the metadata text must be a JSON object, and is kept in the
// compact form search results hold.
PyObject* result_restore(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_Format(PyExc_TypeError, "SearchResult._restore() takes 3 arguments (%zd given)", nargs);
      return nullptr;
    }
    return restore_fields(args, nargs);
  });
}

// pickle of a scored result: _restore_scored(id, distance, metadata, score
// or None, ranks as a tuple of three or None).
PyObject* result_restore_scored(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (nargs != 5) {
      PyErr_Format(PyExc_TypeError, "SearchResult._restore_scored() takes 5 arguments (%zd given)", nargs);
      return nullptr;
    }
    return restore_fields(args, nargs);
  });
}

PyMethodDef result_methods[] = {
    {"__reduce__", result_reduce, METH_NOARGS, "Pickling support: the id, distance and metadata, by value."},
    {"_restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(result_restore)),
     METH_FASTCALL | METH_CLASS,
     "_restore(id, distance, metadata_json)\n--\n\n"
     "Rebuild a pickled SearchResult (used by pickle; not meant to be called directly)."},
    {"_restore_scored", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(result_restore_scored)),
     METH_FASTCALL | METH_CLASS,
     "_restore_scored(id, distance, metadata_json, score, ranks)\n--\n\n"
     "Rebuild a pickled scored SearchResult (used by pickle; not meant to be called directly)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef result_getset[] = {
    {"id", get_id, nullptr, "The id of the record that was found.", nullptr},
    {"distance", get_distance, nullptr,
     "The record's distance from the query under the database's metric; smaller is closer.", nullptr},
    {"metadata", get_metadata, nullptr,
     "The record's metadata as it was when the search ran (a new dict on every read), or None.", nullptr},
    {"score", get_score, nullptr,
     "Text, sparse and hybrid searches: the score (BM25, dot product or fused; larger is better, and distance "
     "is its negation); None for vector searches.",
     nullptr},
    {"ranks", get_ranks, nullptr,
     "Hybrid searches: a dict of each retriever's 1-based rank of the record ('vector', 'text', 'sparse'), "
     "holding the retrievers that found it among their candidates; None for other searches.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kResultDoc =
    "One search hit: the id of a record, its distance from the query and a snapshot of its metadata.\n"
    "\n"
    "Search results come from Database.search, Database.search_many and friends; they cannot be\n"
    "created directly. They never refer back to the database: later changes to the record do not\n"
    "show in a result.\n"
    "\n"
    "Attributes:\n"
    "    id: The record's id (str).\n"
    "    distance: Its distance from the query (float; smaller is closer).\n"
    "    metadata: Its metadata as a new dict on every read, or None.\n"
    "    score: Text, sparse and hybrid searches: the score (larger is better); else None.\n"
    "    ranks: Hybrid searches: each retriever's rank of the record (dict); else None.\n"
    "\n"
    "result[0], result[1] and result[2] give the same three values (any other index raises\n"
    "ValueError), and a result unpacks in that order: id, distance, metadata = result. Two results\n"
    "are equal when their ids, distances and metadata are equal, and equal\n"
    "results hash alike. Results pickle by value (id, exact distance, metadata), so they can be sent\n"
    "to other processes.";

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>(kResultDoc)},
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_richcompare, reinterpret_cast<void*>(result_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(result_hash)},
    {Py_tp_methods, result_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_mp_subscript, reinterpret_cast<void*>(result_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(result_length)},
    {Py_tp_iter, reinterpret_cast<void*>(result_iter)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec = {
    "_hovra.SearchResult", sizeof(SearchResultObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, result_slots,
};

}  // namespace

PyTypeObject* create_search_result_type() {
  if (g_type == nullptr) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&result_spec));
  return g_type;
}

PyObject* hits_to_list(std::vector<SearchHit>& hits) {
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

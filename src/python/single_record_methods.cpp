// The Database methods on one record at a time: add and upsert, get, delete
// and update, each one engine call (the writes with the interpreter lock
// released); and count (with or without a filter) and ids.
#include "python/single_record_methods.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/db/database.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/database_calls.h"
#include "python/database_docs.h"
#include "python/database_object.h"
#include "python/errors.h"
#include "python/method_descr.h"
#include "python/py_ref.h"
#include "python/result_objects.h"
#include "python/text_methods.h"

namespace hovra::py {

namespace {

bool optional_metadata(PyObject* obj, std::optional<JsonValue>& out) {
  if (obj == nullptr) return true;
  JsonValue value;
  if (!metadata_from_python(obj, value)) return false;
  out = std::move(value);
  return true;
}

// --------------------------------------------------------------- single records

const Signature kAddSig{"Database.add", {"id", "vector", "metadata", "sparse"}, 4, 2, 3};
const Signature kUpsertSig{"Database.upsert", {"id", "vector", "metadata", "sparse"}, 4, 2, 3};

PyObject* add_or_upsert(const Signature& sig, bool upsert, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  BoundArgs a;
  if (!bind_arguments(sig, args, nargs, kwnames, a)) return nullptr;
  std::string id;
  if (!text_arg(a.raw(0), "id", id)) return nullptr;
  VectorArg vector_arg;
  if (!vector_arg.extract(a.raw(1), "vector")) return nullptr;
  PyObject* metadata_obj = a.given(2);
  if (metadata_obj != nullptr && !dict_arg(metadata_obj, "metadata")) return nullptr;
  SparseVector sparse;
  if (PyObject* obj = a.given(3)) {
    if (!sparse_from_python(obj, "sparse", sparse)) return nullptr;
  }

  std::vector<float> vector;
  if (!vector_arg.finish(vector)) return nullptr;
  std::optional<JsonValue> metadata;
  if (!optional_metadata(metadata_obj, metadata)) return nullptr;

  std::shared_ptr<Database> db = writable_engine_of(self);
  const SparseVector* sparse_ptr = sparse.empty() ? nullptr : &sparse;
  Status status = without_gil([&] {
    return upsert ? db->upsert(id, vector, std::move(metadata), sparse_ptr)
                  : db->add(id, vector, std::move(metadata), sparse_ptr);
  });
  return status_result(status);
}

PyObject* db_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] { return add_or_upsert(kAddSig, false, self, args, nargs, kwnames); });
}

PyObject* db_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] { return add_or_upsert(kUpsertSig, true, self, args, nargs, kwnames); });
}

const Signature kGetSig{"Database.get", {"id"}, 1, 1};

PyObject* db_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kGetSig, args, nargs, kwnames, a)) return nullptr;
    std::string id;
    if (!text_arg(a.raw(0), "id", id)) return nullptr;
    Result<RecordView> record = engine_of(self)->get(id);
    if (!record.ok()) return raise_engine_error(record.error());
    PyRef vector = PyRef::steal(float_list(record.value().vector));
    if (!vector) return nullptr;
    PyRef metadata = PyRef::steal(metadata_to_python(record.value().metadata));
    if (!metadata) return nullptr;
    return PyTuple_Pack(2, vector.get(), metadata.get());
  });
}

const Signature kDeleteSig{"Database.delete", {"id"}, 1, 1};

PyObject* db_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kDeleteSig, args, nargs, kwnames, a)) return nullptr;
    std::string id;
    if (!text_arg(a.raw(0), "id", id)) return nullptr;
    std::shared_ptr<Database> db = writable_engine_of(self);
    Result<bool> removed = without_gil([&] { return db->remove(id); });
    if (!removed.ok()) return raise_engine_error(removed.error());
    return PyBool_FromLong(removed.value() ? 1 : 0);
  });
}

const Signature kUpdateSig{"Database.update", {"id", "vector", "metadata", "sparse"}, 4, 1, 3};

PyObject* db_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kUpdateSig, args, nargs, kwnames, a)) return nullptr;
    std::string id;
    if (!text_arg(a.raw(0), "id", id)) return nullptr;
    PyObject* vector_obj = a.given(1);
    VectorArg vector_arg;
    if (vector_obj != nullptr && !vector_arg.extract(vector_obj, "vector")) return nullptr;
    PyObject* metadata_obj = a.given(2);
    if (metadata_obj != nullptr && !dict_arg(metadata_obj, "metadata")) return nullptr;

    // sparse: a vector replaces the record's (an empty one removes it).
    std::optional<SparseVector> sparse;
    if (PyObject* obj = a.given(3)) {
      sparse.emplace();
      if (!sparse_from_python(obj, "sparse", *sparse)) return nullptr;
    }

    std::vector<float> vector;
    if (vector_obj != nullptr && !vector_arg.finish(vector)) return nullptr;
    std::optional<JsonValue> metadata;
    if (!optional_metadata(metadata_obj, metadata)) return nullptr;

    std::shared_ptr<Database> db = writable_engine_of(self);
    const std::vector<float>* vector_ptr = vector_obj != nullptr ? &vector : nullptr;
    const JsonValue* metadata_ptr = metadata ? &*metadata : nullptr;
    const SparseVector* sparse_ptr = sparse ? &*sparse : nullptr;
    Status status = without_gil([&] { return db->update(id, vector_ptr, metadata_ptr, sparse_ptr); });
    return status_result(status);
  });
}

// ------------------------------------------------------- counting and listing

const Signature kCountSig{"Database.count", {"where_filter"}, 1, 0};

PyObject* db_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kCountSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* where_filter = a.given(0);
    if (where_filter != nullptr && !dict_arg(where_filter, "where_filter")) return nullptr;
    std::shared_ptr<const Filter> filter;
    if (where_filter != nullptr && !filter_from_python(where_filter, filter)) return nullptr;
    std::size_t count = engine_of(self)->count(filter.get(), filter);
    return PyLong_FromSize_t(count);
  });
}

const Signature kIdsSig{"Database.ids", {}, 0, 0};

PyObject* db_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kIdsSig, args, nargs, kwnames, a)) return nullptr;
    std::vector<std::string> ids = engine_of(self)->ids();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      PyObject* id = str_from(ids[i]);
      if (id == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
    }
    return list.release();
  });
}

const MethodSpec kMethods[] = {
    {"add", db_add, "($self, id, vector, metadata=None, *, sparse=None)", docs::kAdd},
    {"upsert", db_upsert, "($self, id, vector, metadata=None, *, sparse=None)", docs::kUpsert},
    {"get", db_get, "($self, id)", docs::kGet},
    {"delete", db_delete, "($self, id)", docs::kDelete},
    {"update", db_update, "($self, id, vector=None, metadata=None, *, sparse=None)", docs::kUpdate},
    {"count", db_count, "($self, where_filter=None)", docs::kCount},
    {"ids", db_ids, "($self)", docs::kIds},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool add_single_record_methods(PyTypeObject* type) { return add_methods(type, kMethods); }

}  // namespace hovra::py

// The Database methods over many records at once: add_many and upsert_many
// (the rows read where they lie, through a LongCall), get_many, records (an
// iterator that reads pages in id order), delete_many, delete_where and
// update_many; explain, the plan of a filtered search; and the resolution of
// prepared batches (commit_prepared, abort_prepared, prepared_transactions).
// Metadata of many records is read back with one json.loads
// of a JSON array of them.
#include "python/database_records.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/db/database.h"
#include "python/arguments.h"
#include "python/batch_docs.h"
#include "python/convert.h"
#include "python/database_calls.h"
#include "python/database_object.h"
#include "python/errors.h"
#include "python/long_call.h"
#include "python/method_descr.h"
#include "python/py_ref.h"
#include "python/result_objects.h"
#include "python/text_methods.h"

namespace hovra::py {

namespace {

// Records read per page by the records() iterator.
constexpr std::size_t kPageSize = 1000;

// The metadata of many records, in order: one json.loads of an array of
// their texts (None where a record has none).
PyObject* metadata_list(const std::vector<const std::optional<std::string>*>& texts) {
  std::string array = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i) array += ',';
    array += *texts[i] ? **texts[i] : std::string("null");
  }
  array += ']';
  return metadata_text_to_python(array);
}

// ------------------------------------------------------ add_many, upsert_many

const Signature kAddManySig{
    "Database.add_many", {"ids", "vectors", "metadatas", "show_progress", "sparse", "prepare"}, 6, 2, 3};
const Signature kUpsertManySig{
    "Database.upsert_many", {"ids", "vectors", "metadatas", "show_progress", "sparse", "prepare"}, 6, 2, 3};

PyObject* raise_metadatas_length(std::size_t metadatas, std::size_t ids) {
  return raise_value_error("metadatas length (" + std::to_string(metadatas) + ") != ids length (" +
                           std::to_string(ids) + ")");
}

// Takes the batch's rows from the argument (again: Python code run since
// may have reshaped the array) and checks that there is one an id; false
// with ValueError raised when not.
bool take_rows(BatchArg& arg, RecordBatch& batch) {
  if (!arg.finish_rows(batch.vectors)) return false;
  if (batch.ids.size() == batch.vectors.size()) return true;
  raise_value_error("ids length (" + std::to_string(batch.ids.size()) + ") != vectors length (" +
                    std::to_string(batch.vectors.size()) + ")");
  return false;
}

// The rows reach the engine where they lie: a float32 array's own memory
// (the array is held, and the engine only reads it), or the rows converted
// from lists.
PyObject* batch_write(const Signature& sig, bool upsert, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  BoundArgs a;
  if (!bind_arguments(sig, args, nargs, kwnames, a)) return nullptr;
  RecordBatch batch;
  if (!id_list_arg(a.raw(0), "ids", batch.ids)) return nullptr;
  BatchArg batch_arg;
  if (!batch_arg.extract(a.raw(1), "vectors")) return nullptr;
  PyObject* metadatas_obj = a.given(2);
  if (metadatas_obj != nullptr && !list_arg(metadatas_obj, "metadatas")) return nullptr;
  bool show_progress = false;
  if (!progress_flag(a.given(3), show_progress)) return nullptr;
  std::optional<std::string> prepare;
  if (!transaction_arg(a.given(5), prepare)) return nullptr;

  if (!take_rows(batch_arg, batch)) return nullptr;
  if (metadatas_obj != nullptr) {
    auto listed = static_cast<std::size_t>(PyList_GET_SIZE(metadatas_obj));
    if (listed != batch.ids.size()) return raise_metadatas_length(listed, batch.ids.size());
    if (!metadata_list_from_python(metadatas_obj, batch.metadata)) return nullptr;
    // json.dumps can run code that resizes the list while it is walked.
    if (batch.metadata.size() != batch.ids.size())
      return raise_metadatas_length(batch.metadata.size(), batch.ids.size());
  }
  if (PyObject* obj = a.given(4)) {
    if (!sparse_list_from_python(obj, "sparse", batch.ids.size(), batch.sparse)) return nullptr;
  }
  std::shared_ptr<Database> db = writable_engine_of(self);
  if (prepare) {
    // The rows again, as below: the metadata's json.dumps ran since.
    if (!take_rows(batch_arg, batch)) return nullptr;
    Status prepared = without_gil(
        [&] { return upsert ? db->prepare_upsert_many(*prepare, batch) : db->prepare_add_many(*prepare, batch); });
    return status_result(prepared);
  }
  LongCall call(upsert ? "upsert_many" : "add_many");
  if (!start_long_call(call, show_progress)) return nullptr;
  // Python code run since the rows were first taken (json.dumps of the
  // metadata, the progress display) may have reshaped or retyped the array:
  // the rows are taken again just before the engine reads them. The array
  // must not change while the call runs (the engine reads it in place).
  if (!take_rows(batch_arg, batch)) return nullptr;
  bool long_expected = long_batch(batch.size(), db->dim());
  Status status = call.run(
      [&] { return upsert ? db->upsert_many(batch, call.progress()) : db->add_many(batch, call.progress()); },
      long_expected);
  if (call.raise_if_interrupted()) return nullptr;
  return status_result(status);
}

PyObject* db_add_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] { return batch_write(kAddManySig, false, self, args, nargs, kwnames); });
}

PyObject* db_upsert_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] { return batch_write(kUpsertManySig, true, self, args, nargs, kwnames); });
}

// ------------------------------------------------------------------ get_many

const Signature kGetManySig{"Database.get_many", {"ids"}, 1, 1};

PyObject* db_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kGetManySig, args, nargs, kwnames, a)) return nullptr;
    ByteTable ids;
    if (!id_list_arg(a.raw(0), "ids", ids)) return nullptr;
    std::shared_ptr<Database> db = engine_of(self);
    std::vector<std::optional<RecordView>> records = without_gil([&] { return db->get_many(ids); });
    std::vector<const std::optional<std::string>*> texts;
    for (const auto& r : records)
      if (r) texts.push_back(&r->metadata);
    PyRef metadata = PyRef::steal(metadata_list(texts));
    if (!metadata) return nullptr;
    PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!out) return nullptr;
    Py_ssize_t next_metadata = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
      PyObject* item = nullptr;
      if (!records[i]) {
        item = none();
      } else {
        PyRef vector = PyRef::steal(float_list(records[i]->vector));
        if (!vector) return nullptr;
        item = PyTuple_Pack(2, vector.get(), PyList_GET_ITEM(metadata.get(), next_metadata++));
        if (item == nullptr) return nullptr;
      }
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
    }
    return out.release();
  });
}

// ------------------------------------------------------------------- records

// The iterator of records(): the database object (so that a close() ends
// it with the usual error), the filter, the id to go on after, how many
// records may still be yielded, and the current page as Python tuples.
struct RecordIteratorObject {
  PyObject_HEAD PyObject* database;
  Filter* filter;  // null: no filter
  std::optional<std::string>* after;
  std::uint64_t remaining;  // records still to yield
  std::size_t requested;    // the size asked for the current page
  bool include_vectors;
  PyObject* page;  // a list of (id, vector, metadata), or null
  Py_ssize_t position;
};

PyTypeObject* g_iterator_type = nullptr;

RecordIteratorObject* as_iterator(PyObject* obj) { return reinterpret_cast<RecordIteratorObject*>(obj); }

void iterator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  RecordIteratorObject* it = as_iterator(self);
  Py_XDECREF(it->database);
  Py_XDECREF(it->page);
  delete it->filter;
  delete it->after;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* iterator_self(PyObject* self) {
  Py_INCREF(self);
  return self;
}

// Reads the next page into it->page; false with an error set on failure.
bool fetch_page(RecordIteratorObject* it) {
  std::shared_ptr<Database> db = engine_of(it->database);
  PageRequest request;
  request.filter = it->filter;
  request.after = *it->after;
  request.limit = static_cast<std::size_t>(std::min<std::uint64_t>(kPageSize, it->remaining));
  it->requested = request.limit;
  request.include_vectors = it->include_vectors;
  std::vector<RecordRow> rows = without_gil([&] { return db->records_page(request); });
  std::vector<const std::optional<std::string>*> texts;
  for (const RecordRow& row : rows) texts.push_back(&row.metadata);
  PyRef metadata = PyRef::steal(metadata_list(texts));
  if (!metadata) return false;
  PyRef page = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!page) return false;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyRef id = PyRef::steal(str_from(rows[i].id));
    PyRef vector = it->include_vectors ? PyRef::steal(float_list(rows[i].vector)) : PyRef::borrow(Py_None);
    if (!id || !vector) return false;
    PyObject* item = PyTuple_Pack(3, id.get(), vector.get(), PyList_GET_ITEM(metadata.get(), i));
    if (item == nullptr) return false;
    PyList_SET_ITEM(page.get(), static_cast<Py_ssize_t>(i), item);
  }
  if (!rows.empty()) *it->after = rows.back().id;
  Py_XSETREF(it->page, page.release());
  it->position = 0;
  return true;
}

PyObject* iterator_next(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    RecordIteratorObject* it = as_iterator(self);
    if (it->page == nullptr || it->position >= PyList_GET_SIZE(it->page)) {
      // A page shorter than asked for was the last one.
      bool was_short = it->page != nullptr && PyList_GET_SIZE(it->page) < static_cast<Py_ssize_t>(it->requested);
      if (it->remaining == 0 || was_short) return nullptr;
      if (!fetch_page(it)) return nullptr;
      if (PyList_GET_SIZE(it->page) == 0) {
        it->remaining = 0;
        return nullptr;
      }
    }
    PyObject* item = PyList_GET_ITEM(it->page, it->position++);
    --it->remaining;
    Py_INCREF(item);
    return item;
  });
}

PyType_Slot kIteratorSlots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator over a database's records in id order (see Database.records).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(iterator_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {0, nullptr},
};

PyType_Spec kIteratorSpec = {
    "_hovra.RecordIterator", sizeof(RecordIteratorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kIteratorSlots,
};

const Signature kRecordsSig{"Database.records", {"where_filter", "limit", "after", "include_vectors"}, 4, 0, 1};

PyObject* db_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kRecordsSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* where_filter = a.given(0);
    if (where_filter != nullptr && !dict_arg(where_filter, "where_filter")) return nullptr;
    std::uint64_t limit = ~std::uint64_t{0};
    if (PyObject* obj = a.given(1)) {
      if (!count_arg(obj, "limit", limit)) return nullptr;
    }
    std::optional<std::string> after;
    if (PyObject* obj = a.given(2)) {
      after.emplace();
      if (!text_arg(obj, "after", *after)) return nullptr;
    }
    bool include_vectors = true;
    if (PyObject* obj = a.given(3)) {
      if (!flag_arg(obj, "include_vectors", include_vectors)) return nullptr;
    }
    auto filter = std::make_unique<Filter>();
    if (where_filter != nullptr && !filter_from_python(where_filter, *filter)) return nullptr;
    (void)engine_of(self);  // a closed database fails here, not at the first next()
    PyObject* obj = g_iterator_type->tp_alloc(g_iterator_type, 0);
    if (obj == nullptr) return nullptr;
    RecordIteratorObject* it = as_iterator(obj);
    Py_INCREF(self);
    it->database = self;
    it->filter = where_filter != nullptr ? filter.release() : nullptr;
    it->after = new std::optional<std::string>(std::move(after));
    it->remaining = limit;
    it->requested = 0;
    it->include_vectors = include_vectors;
    it->page = nullptr;
    it->position = 0;
    return obj;
  });
}

// -------------------------------------------------------------------- deletes

const Signature kDeleteManySig{"Database.delete_many", {"ids", "prepare"}, 2, 1, 1};
const Signature kDeleteWhereSig{"Database.delete_where", {"where_filter", "prepare"}, 2, 1, 1};

PyObject* db_delete_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kDeleteManySig, args, nargs, kwnames, a)) return nullptr;
    ByteTable ids;
    if (!id_list_arg(a.raw(0), "ids", ids)) return nullptr;
    std::optional<std::string> prepare;
    if (!transaction_arg(a.given(1), prepare)) return nullptr;
    std::shared_ptr<Database> db = writable_engine_of(self);
    Result<std::size_t> deleted =
        without_gil([&] { return prepare ? db->prepare_delete_many(*prepare, ids) : db->delete_many(ids); });
    if (!deleted.ok()) return raise_engine_error(deleted.error());
    return PyLong_FromSize_t(deleted.value());
  });
}

PyObject* db_delete_where(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kDeleteWhereSig, args, nargs, kwnames, a)) return nullptr;
    if (!dict_arg(a.raw(0), "where_filter")) return nullptr;
    Filter filter;
    if (!filter_from_python(a.raw(0), filter)) return nullptr;
    std::optional<std::string> prepare;
    if (!transaction_arg(a.given(1), prepare)) return nullptr;
    std::shared_ptr<Database> db = writable_engine_of(self);
    Result<std::size_t> deleted =
        without_gil([&] { return prepare ? db->prepare_delete_where(*prepare, filter) : db->delete_where(filter); });
    if (!deleted.ok()) return raise_engine_error(deleted.error());
    return PyLong_FromSize_t(deleted.value());
  });
}

// ---------------------------------------------------------------- update_many

const Signature kUpdateManySig{"Database.update_many", {"ids", "vectors", "metadatas"}, 3, 1};

PyObject* db_update_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kUpdateManySig, args, nargs, kwnames, a)) return nullptr;
    UpdateBatch batch;
    if (!id_list_arg(a.raw(0), "ids", batch.ids)) return nullptr;
    BatchArg batch_arg;
    PyObject* vectors_obj = a.given(1);
    if (vectors_obj != nullptr && !batch_arg.extract(vectors_obj, "vectors")) return nullptr;
    PyObject* metadatas_obj = a.given(2);
    if (metadatas_obj != nullptr && !list_arg(metadatas_obj, "metadatas")) return nullptr;

    auto check_rows = [&]() -> bool {
      if (vectors_obj == nullptr) return true;
      VectorRows rows;
      if (!batch_arg.finish_rows(rows)) return false;
      if (rows.size() != batch.ids.size()) {
        raise_value_error("ids length (" + std::to_string(batch.ids.size()) + ") != vectors length (" +
                          std::to_string(rows.size()) + ")");
        return false;
      }
      batch.vectors = rows;
      return true;
    };
    if (!check_rows()) return nullptr;
    if (metadatas_obj != nullptr) {
      auto listed = static_cast<std::size_t>(PyList_GET_SIZE(metadatas_obj));
      if (listed != batch.ids.size())
        return raise_value_error("metadatas length (" + std::to_string(listed) + ") != ids length (" +
                                 std::to_string(batch.ids.size()) + ")");
      if (!metadata_list_from_python(metadatas_obj, batch.metadata)) return nullptr;
      if (batch.metadata.size() != batch.ids.size())
        return raise_value_error("metadatas length (" + std::to_string(batch.metadata.size()) + ") != ids length (" +
                                 std::to_string(batch.ids.size()) + ")");
    }
    // json.dumps may have run code that reshaped the array: take the rows again.
    if (!check_rows()) return nullptr;
    std::shared_ptr<Database> db = writable_engine_of(self);
    Status status = without_gil([&] { return db->update_many(batch); });
    if (!status.ok()) return raise_engine_error(status.error());
    return none();
  });
}

// ------------------------------------------------------------------ explain

const Signature kExplainSig{"Database.explain", {"where_filter", "k", "ef_search"}, 3, 0};

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* db_explain(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kExplainSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* where_filter = a.given(0);
    if (where_filter != nullptr && !dict_arg(where_filter, "where_filter")) return nullptr;
    std::uint64_t k = kDefaultK;
    if (PyObject* obj = a.given(1)) {
      if (!count_arg(obj, "k", k)) return nullptr;
    }
    std::optional<std::size_t> ef;
    if (PyObject* obj = a.given(2)) {
      std::uint64_t value = 0;
      if (!count_arg(obj, "ef_search", value)) return nullptr;
      ef = static_cast<std::size_t>(value);
    }
    Filter filter;
    if (where_filter != nullptr && !filter_from_python(where_filter, filter)) return nullptr;
    std::shared_ptr<Database> db = engine_of(self);
    SearchExplanation e = without_gil(
        [&] { return db->explain(where_filter != nullptr ? &filter : nullptr, static_cast<std::size_t>(k), ef); });
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    bool ok = set_item(dict.get(), "path", PyUnicode_FromString(e.path)) &&
              set_item(dict.get(), "candidates", PyLong_FromSize_t(e.candidates)) &&
              set_item(dict.get(), "live_records", PyLong_FromSize_t(e.live)) &&
              set_item(dict.get(), "index_decides", PyBool_FromLong(e.index_decides)) &&
              set_item(dict.get(), "plan",
                       PyUnicode_FromStringAndSize(e.plan.data(), static_cast<Py_ssize_t>(e.plan.size())));
    return ok ? dict.release() : nullptr;
  });
}

// ------------------------------------------------------------ prepared batches

const Signature kCommitPreparedSig{"Database.commit_prepared", {"transaction"}, 1, 1};
const Signature kAbortPreparedSig{"Database.abort_prepared", {"transaction"}, 1, 1};
const Signature kPreparedSig{"Database.prepared_transactions", {}, 0, 0};

PyObject* resolve(const Signature& sig, bool commit, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(sig, args, nargs, kwnames, a)) return nullptr;
    std::string transaction;
    if (!text_arg(a.raw(0), "transaction", transaction)) return nullptr;
    std::shared_ptr<Database> db = writable_engine_of(self);
    Result<bool> resolved = without_gil([&] { return db->resolve_prepared(transaction, commit); });
    if (!resolved.ok()) return raise_engine_error(resolved.error());
    return PyBool_FromLong(resolved.value() ? 1 : 0);
  });
}

PyObject* db_commit_prepared(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return resolve(kCommitPreparedSig, true, self, args, nargs, kwnames);
}

PyObject* db_abort_prepared(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return resolve(kAbortPreparedSig, false, self, args, nargs, kwnames);
}

PyObject* db_prepared_transactions(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kPreparedSig, args, nargs, kwnames, a)) return nullptr;
    std::shared_ptr<Database> db = engine_of(self);
    std::vector<std::string> pending = db->prepared_transactions();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(pending.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < pending.size(); ++i) {
      PyObject* text = str_from(pending[i]);
      if (text == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
    }
    return list.release();
  });
}

const MethodSpec kMethods[] = {
    {"add_many", db_add_many,
     "($self, ids, vectors, metadatas=None, *, show_progress=False, sparse=None,"
     " prepare=None)",
     docs::kAddMany},
    {"upsert_many", db_upsert_many,
     "($self, ids, vectors, metadatas=None, *, show_progress=False, sparse=None,"
     " prepare=None)",
     docs::kUpsertMany},
    {"get_many", db_get_many, "($self, ids)", docs::kGetMany},
    {"records", db_records, "($self, where_filter=None, *, limit=None, after=None, include_vectors=True)",
     docs::kRecords},
    {"delete_many", db_delete_many, "($self, ids, *, prepare=None)", docs::kDeleteMany},
    {"delete_where", db_delete_where, "($self, where_filter, *, prepare=None)", docs::kDeleteWhere},
    {"update_many", db_update_many, "($self, ids, vectors=None, metadatas=None)", docs::kUpdateMany},
    {"explain", db_explain, "($self, where_filter=None, k=10, ef_search=None)", docs::kExplain},
    {"commit_prepared", db_commit_prepared, "($self, transaction)", docs::kCommitPrepared},
    {"abort_prepared", db_abort_prepared, "($self, transaction)", docs::kAbortPrepared},
    {"prepared_transactions", db_prepared_transactions, "($self)", docs::kPreparedTransactions},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool transaction_arg(PyObject* obj, std::optional<std::string>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  std::string text;
  if (!text_arg(obj, "prepare", text)) return false;
  if (text.empty()) {
    raise_value_error("prepare must be a non-empty transaction id");
    return false;
  }
  out = std::move(text);
  return true;
}

bool add_record_methods(PyTypeObject* type) {
  if (g_iterator_type == nullptr) {
    g_iterator_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kIteratorSpec));
    if (g_iterator_type == nullptr) return false;
  }
  return add_methods(type, kMethods);
}

}  // namespace hovra::py

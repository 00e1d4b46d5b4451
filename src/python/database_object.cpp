// The Database class. Each method binds and converts its arguments while
// holding the interpreter lock, runs one engine operation (releasing the
// lock for the writes, searches, save, compact and verify), and converts the
// result or the engine error back. The long operations (the batches,
// search_many and search_arrays, compact, save) run through LongCall, so
// that Ctrl-C interrupts them and show_progress can display them. The class
// adds no lock of its own: the engine synchronises concurrent calls. An
// object holds a shared reference to the engine of its directory (objects on
// one directory share it) until close(); each call holds its own reference
// while it runs. Here: construction, refresh, close and the context manager,
// len(), `in`, repr() and the properties. The single-record methods, count and ids are in
// single_record_methods.cpp; the searches in search_methods.cpp; save,
// compact, statistics, wait_indexed and verify in database_upkeep.cpp; the
// many-record methods (the batch writes among them) in database_records.cpp;
// the text methods in text_methods.cpp.
#include "python/database_object.h"

#include <structmember.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/db/database.h"
#include "core/db/reader.h"
#include "core/vectors/distance.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/arrow_output.h"
#include "python/database_calls.h"
#include "python/database_docs.h"
#include "python/database_records.h"
#include "python/database_upkeep.h"
#include "python/errors.h"
#include "python/long_call.h"
#include "python/method_descr.h"
#include "python/py_ref.h"
#include "python/result_objects.h"
#include "python/search_methods.h"
#include "python/search_result.h"
#include "python/single_record_methods.h"
#include "python/text_docs.h"
#include "python/text_methods.h"

namespace hovra::py {

namespace {

struct DatabaseObject {
  PyObject_HEAD std::shared_ptr<Database>* engine;  // null once closed; empty for a reader
  PyObject* path;                                   // the directory as a str, for repr()
  PyObject* weak_references;                        // so that a Store can keep track of what it handed out
  // Opened read-only: the reader that follows the writer (null otherwise,
  // and once closed).
  std::shared_ptr<Reader>* reader;
};

// The default refresh interval of a read-only database, in seconds. A look
// that finds nothing new costs one small read, about 4 us of CPU (a search
// of 20,000 x 384 about 1.7 ms): looking at most every 10 ms keeps it below
// 0.1 % of a reader's time even for the cheapest calls, while a change
// shows within about the interval (benchmarks/bench_processes.py).
constexpr double kDefaultRefreshInterval = 0.01;

// A number of seconds, finite and not negative.
bool seconds_arg(PyObject* obj, const char* arg, double& out) {
  if (PyBool_Check(obj) || !(PyFloat_Check(obj) || PyLong_Check(obj))) {
    raise_wrong_type(arg, obj, "float");
    return false;
  }
  out = PyFloat_AsDouble(obj);
  if (out == -1.0 && PyErr_Occurred()) return false;
  if (!(out >= 0.0) || out > 1e9) {
    raise_value_error(std::string(arg) + " must be a number of seconds, at least 0");
    return false;
  }
  return true;
}

PyTypeObject* g_type = nullptr;

constexpr const char* kOpenFailed = "database not found \xE2\x80\x94 specify dim to create a new one";
constexpr const char* kBadMetric = "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'";
// The largest dimension a new database may have: far above any embedding
// model's, and small enough that a row's offsets and norms stay exact.
constexpr std::uint64_t kMaxDim = 65536;

constexpr const char* kClosed = "database is closed";

// ---------------------------------------------------------------- construction

const Signature kNewSig{
    "Database",
    {"path", "dim", "metric", "m", "ef_construction", "quantize", "sync_writes", "text_field", "read_only",
     "refresh_interval", "exact_threshold", "autocheckpoint", "checkpoint_bytes", "checkpoint_records"},
    14,
    1,
    6};

// Database(path, read_only=True): a Reader on an existing database.
PyObject* open_read_only(PyTypeObject* type, const BoundArgs& a, const std::string& path) {
  // quantize="binary" is the one quantization a reader takes: its codes are
  // made at each load, nothing is written.
  bool binary = false;
  if (PyObject* obj = a.given(5); obj != nullptr && PyUnicode_Check(obj)) {
    std::string mode;
    if (!text_arg(obj, "quantize", mode)) return nullptr;
    binary = mode == "binary";
  }
  for (int i = 1; i < 14; ++i) {
    if (i == 8 || i == 9 || i == 10) continue;  // read_only, refresh_interval, exact_threshold
    if (i == 5 && binary) continue;
    if (a.given(i) != nullptr && !((i == 5 || i == 6) && PyObject_Not(a.given(i)) == 1))
      return raise_value_error(std::string("a database opened read-only takes no ") + kNewSig.names[i]);
  }
  double interval = kDefaultRefreshInterval;
  if (PyObject* obj = a.given(9))
    if (!seconds_arg(obj, "refresh_interval", interval)) return nullptr;
  std::optional<std::uint64_t> threshold;
  if (!optional_count(a.given(10), "exact_threshold", threshold)) return nullptr;
  std::optional<std::size_t> exact_threshold;
  if (threshold) exact_threshold = static_cast<std::size_t>(*threshold);
  Result<std::shared_ptr<Reader>> reader =
      without_gil([&] { return Reader::open(path, interval, exact_threshold, binary); });
  if (!reader.ok()) return raise_engine_error(reader.error());
  PyRef text = PyRef::steal(str_from(path));
  if (!text) return nullptr;
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  auto* object = reinterpret_cast<DatabaseObject*>(obj);
  // The engine comes from the reader at every call (it changes with each
  // checkpoint): the object's own pointer only says that it is open.
  object->engine = new std::shared_ptr<Database>();
  object->reader = new std::shared_ptr<Reader>(std::move(reader.value()));
  object->path = text.release();
  return obj;
}

PyObject* database_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kNewSig, args, kwargs, a)) return nullptr;
    OpenOptions options;
    if (!path_arg(a.raw(0), "path", options.path)) return nullptr;
    if (options.path.find('\0') != std::string::npos) return raise_value_error("embedded null byte");
    bool read_only = false;
    if (PyObject* obj = a.raw(8))
      if (!flag_arg(obj, "read_only", read_only)) return nullptr;
    if (read_only) return open_read_only(type, a, options.path);
    if (a.given(9) != nullptr) return raise_value_error("refresh_interval applies to a database opened read-only");
    std::optional<std::uint64_t> dim, m, ef_construction;
    if (!optional_count(a.given(1), "dim", dim)) return nullptr;
    std::optional<std::string> metric;
    if (PyObject* obj = a.given(2)) {
      metric.emplace();
      if (!text_arg(obj, "metric", *metric)) return nullptr;
    }
    if (!optional_count(a.given(3), "m", m)) return nullptr;
    if (!optional_count(a.given(4), "ef_construction", ef_construction)) return nullptr;
    bool quantize = false;
    if (PyObject* obj = a.raw(5)) {  // None is not accepted here
      // A mode's name, or a flag (any other string is refused as before).
      std::string mode;
      if (PyUnicode_Check(obj) && text_arg(obj, "quantize", mode) && (mode == "sq8" || mode == "binary")) {
        quantize = mode == "sq8";
        options.binary_search = mode == "binary";
      } else if (PyErr_Occurred() || !flag_arg(obj, "quantize", quantize)) {
        return nullptr;
      }
    }
    if (PyObject* obj = a.raw(6)) {
      if (!flag_arg(obj, "sync_writes", options.sync_writes)) return nullptr;
    }
    if (PyObject* obj = a.given(7)) {
      TextIndexSpec spec;
      if (!text_arg(obj, "text_field", spec.field)) return nullptr;
      options.text_index = spec;
    }
    std::optional<std::uint64_t> exact_threshold;
    if (!optional_count(a.given(10), "exact_threshold", exact_threshold)) return nullptr;
    if (exact_threshold) options.exact_threshold = static_cast<std::size_t>(*exact_threshold);
    if (PyObject* obj = a.raw(11)) {
      if (!flag_arg(obj, "autocheckpoint", options.autocheckpoint)) return nullptr;
    }
    std::optional<std::uint64_t> checkpoint_bytes, checkpoint_records;
    if (!optional_count(a.given(12), "checkpoint_bytes", checkpoint_bytes)) return nullptr;
    if (!optional_count(a.given(13), "checkpoint_records", checkpoint_records)) return nullptr;
    if (checkpoint_bytes) options.checkpoint_bytes = std::max<std::uint64_t>(1, *checkpoint_bytes);
    if (checkpoint_records) options.checkpoint_records = std::max<std::uint64_t>(1, *checkpoint_records);

    Result<std::shared_ptr<Database>> opened = std::shared_ptr<Database>();
    if (!dim) {
      options.dim = std::nullopt;
      opened = Database::open_or_create(options);
      // A directory without database files is reported with the hint to
      // pass dim; anything else (damage, a directory in use) as itself.
      if (!opened.ok() && opened.error().kind() == ErrorKind::DatabaseNotFound)
        return raise_database_not_found(kOpenFailed);
      if (!opened.ok()) return raise_engine_error(opened.error());
    } else {
      std::optional<Metric> parsed = parse_metric(metric ? *metric : "cosine");
      if (!parsed) return raise_value_error(kBadMetric);
      if (*dim == 0) return raise_value_error("dim must be at least 1");
      if (*dim > kMaxDim) return raise_value_error("dim must be at most " + std::to_string(kMaxDim));
      options.dim = static_cast<std::size_t>(*dim);
      options.metric = *parsed;
      options.m = static_cast<std::size_t>(m.value_or(kDefaultM));
      // A new graph's level distribution needs ln(m) > 0, and the graph file
      // keeps m and ef_construction as 32-bit fields (wider values are
      // refused rather than stored cut); an existing database keeps its
      // stored ones.
      constexpr std::uint64_t kFieldLimit = std::uint64_t{1} << 32;
      bool creating = !Database::exists_at(options.path);
      if (creating && options.m < 2) return raise_value_error("m must be at least 2");
      if (creating && options.m >= kFieldLimit) return raise_value_error("m must be less than 2**32");
      options.ef_construction = static_cast<std::size_t>(ef_construction.value_or(kDefaultEfConstruction));
      if (creating && options.ef_construction >= kFieldLimit)
        return raise_value_error("ef_construction must be less than 2**32");
      options.quantize = quantize;
      opened = Database::open_or_create(options);
      if (!opened.ok()) return raise_engine_error(opened.error());
    }

    PyRef path = PyRef::steal(str_from(options.path));
    if (!path) return nullptr;
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    reinterpret_cast<DatabaseObject*>(obj)->engine = new std::shared_ptr<Database>(std::move(opened.value()));
    reinterpret_cast<DatabaseObject*>(obj)->path = path.release();
    return obj;
  });
}

void database_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (reinterpret_cast<DatabaseObject*>(self)->weak_references != nullptr) PyObject_ClearWeakRefs(self);
  // Freeing does not save; the last holder of the engine releases its lock,
  // files and mapping.
  delete std::exchange(reinterpret_cast<DatabaseObject*>(self)->engine, nullptr);
  delete std::exchange(reinterpret_cast<DatabaseObject*>(self)->reader, nullptr);
  Py_XDECREF(reinterpret_cast<DatabaseObject*>(self)->path);
  type->tp_free(self);
  Py_DECREF(type);
}

// ------------------------------------------------------- refresh, close, with

const Signature kEnterSig{"Database.__enter__", {}, 0, 0};
const Signature kExitSig{"Database.__exit__", {"_exc_type", "_exc_val", "_exc_tb"}, 3, 0};

const Signature kRefreshSig{"Database.refresh", {}, 0, 0};

PyObject* db_refresh(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kRefreshSig, args, nargs, kwnames, a)) return nullptr;
    // Not engine_of: that reports a reader stuck at damage, which this look
    // may find repaired.
    if (reinterpret_cast<DatabaseObject*>(self)->engine == nullptr) throw PyClosedError(kClosed);
    std::shared_ptr<Reader>* reader = reinterpret_cast<DatabaseObject*>(self)->reader;
    if (reader == nullptr) return none();  // a writer's engine is always current
    std::shared_ptr<Reader> held = *reader;
    return status_result(without_gil([&] { return held->refresh(); }));
  });
}

const Signature kCloseSig{"Database.close", {"save"}, 1, 0};

PyObject* db_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kCloseSig, args, nargs, kwnames, a)) return nullptr;
    bool save = true;
    if (PyObject* obj = a.given(0)) {
      if (!flag_arg(obj, "save", save)) return nullptr;
    }
    DatabaseObject* object = reinterpret_cast<DatabaseObject*>(self);
    if (object->engine == nullptr) return none();
    if (save && object->reader == nullptr) {
      // Saved first: a failed save raises and leaves the object open.
      std::shared_ptr<Database> db = *object->engine;
      Status status = without_gil([&] { return db->has_unsaved_changes() ? db->save() : Status::success(); });
      if (!status.ok()) return raise_engine_error(status.error());
    }
    delete std::exchange(object->engine, nullptr);
    delete std::exchange(object->reader, nullptr);
    return none();
  });
}

PyObject* db_enter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kEnterSig, args, nargs, kwnames, a)) return nullptr;
    (void)engine_of(self);
    Py_INCREF(self);
    return self;
  });
}

PyObject* db_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kExitSig, args, nargs, kwnames, a)) return nullptr;
    // Saved with the interpreter lock held; the exception that ended the
    // block (if any) propagates because False is returned. A read-only
    // database has nothing to save.
    if (reinterpret_cast<DatabaseObject*>(self)->reader != nullptr) {
      (void)engine_of(self);
      Py_RETURN_FALSE;
    }
    Status status = engine_of(self)->save();
    if (!status.ok()) return raise_engine_error(status.error());
    Py_RETURN_FALSE;
  });
}

// --------------------------------------------------------------- len() and in

Py_ssize_t database_length(PyObject* self) {
  return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    std::size_t count = engine_of(self)->len();
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
      return -1;
    }
    return static_cast<Py_ssize_t>(count);
  });
}

int database_contains(PyObject* self, PyObject* key) {
  return guarded<int>(-1, [&]() -> int {
    std::string id;
    if (!text_arg(key, "id", id)) return -1;
    return engine_of(self)->contains(id) ? 1 : 0;
  });
}

// ------------------------------------------------------------------------ repr

PyObject* database_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const DatabaseObject* object = reinterpret_cast<DatabaseObject*>(self);
    if (object->engine == nullptr) return PyUnicode_FromFormat("Database(path=%R, closed)", object->path);
    std::shared_ptr<Database> engine = engine_of(self);
    const Database& db = *engine;
    std::size_t count = db.len();
    return PyUnicode_FromFormat("Database(path=%R, dim=%zu, metric='%s', count=%zu)", object->path, db.dim(),
                                metric_name(db.metric()), count);
  });
}

// ------------------------------------------------------------------- properties

PyObject* get_dim(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return PyLong_FromSize_t(engine_of(self)->dim()); });
}

PyObject* get_metric(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return PyUnicode_FromString(metric_name(engine_of(self)->metric())); });
}

PyObject* get_total_slots(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return PyLong_FromSize_t(engine_of(self)->total_slots()); });
}

PyObject* get_deleted_count(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return PyLong_FromSize_t(engine_of(self)->deleted_count()); });
}

PyObject* get_read_only(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    (void)engine_of(self);
    return PyBool_FromLong(reinterpret_cast<DatabaseObject*>(self)->reader != nullptr ? 1 : 0);
  });
}

PyObject* get_binary_search(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return PyBool_FromLong(engine_of(self)->binary_search() ? 1 : 0); });
}

PyObject* get_quantized_search(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return PyBool_FromLong(engine_of(self)->quantized_search() ? 1 : 0); });
}

// ---------------------------------------------------------------------- the type

const MethodSpec kMethods[] = {
    {"close", db_close, "($self, save=True)", docs::kClose},
    {"refresh", db_refresh, "($self)", docs::kRefresh},
    {"__enter__", db_enter, "($self)", docs::kEnter},
    {"__exit__", db_exit, "($self, _exc_type=None, _exc_val=None, _exc_tb=None)", docs::kExit},
    {nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"dim", get_dim, nullptr, docs::kDim, nullptr},
    {"metric", get_metric, nullptr, docs::kMetric, nullptr},
    {"total_slots", get_total_slots, nullptr, "Total allocated slots (active + deleted).", nullptr},
    {"deleted_count", get_deleted_count, nullptr, "Number of deleted slots that haven't been reclaimed.", nullptr},
    {"quantized_search", get_quantized_search, nullptr, "Whether quantized search is currently enabled.", nullptr},
    {"binary_search", get_binary_search, nullptr, "Whether searches walk on one-bit codes (quantize=\"binary\").",
     nullptr},
    {"text_index", get_text_index, nullptr, docs::kTextIndexProperty, nullptr},
    {"read_only", get_read_only, nullptr, docs::kReadOnly, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(DatabaseObject, weak_references), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kClass)},
    {Py_tp_new, reinterpret_cast<void*>(database_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(database_dealloc)},
    {Py_tp_members, kMembers},
    {Py_tp_repr, reinterpret_cast<void*>(database_repr)},
    {Py_sq_length, reinterpret_cast<void*>(database_length)},
    {Py_sq_contains, reinterpret_cast<void*>(database_contains)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_hovra.Database", sizeof(DatabaseObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots,
};

}  // namespace

std::shared_ptr<Database> engine_of(PyObject* self) {
  auto* object = reinterpret_cast<DatabaseObject*>(self);
  if (object->engine == nullptr) throw PyClosedError(kClosed);
  if (object->reader != nullptr) {
    Result<std::shared_ptr<Database>> engine = (*object->reader)->engine();
    if (!engine.ok()) throw PyEngineError(engine.error());
    return std::move(engine.value());
  }
  return *object->engine;
}

std::shared_ptr<Reader> reader_of(PyObject* self) {
  auto* object = reinterpret_cast<DatabaseObject*>(self);
  if (object->engine == nullptr) throw PyClosedError(kClosed);
  return object->reader != nullptr ? *object->reader : nullptr;
}

std::shared_ptr<Database> writable_engine_of(PyObject* self) {
  auto* object = reinterpret_cast<DatabaseObject*>(self);
  if (object->engine == nullptr) throw PyClosedError(kClosed);
  if (object->reader != nullptr) {
    PyRef text = PyRef::steal(PyObject_Str(object->path));
    const char* path = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (path == nullptr) PyErr_Clear();
    throw PyEngineError(DbError::read_only(path != nullptr ? path : ""));
  }
  return *object->engine;
}

PyObject* new_database_object(std::shared_ptr<Database> engine, const std::string& path) {
  PyRef text = PyRef::steal(str_from(path));
  if (!text || g_type == nullptr) return nullptr;
  PyObject* obj = g_type->tp_alloc(g_type, 0);
  if (obj == nullptr) return nullptr;
  reinterpret_cast<DatabaseObject*>(obj)->engine = new std::shared_ptr<Database>(std::move(engine));
  reinterpret_cast<DatabaseObject*>(obj)->path = text.release();
  return obj;
}

namespace {

// At interpreter exit (registered with atexit by the module): saves every
// database of the process that holds unsaved changes.
PyObject* save_open_databases(PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Status status = without_gil([] { return Database::save_all_open(); });
    return status_result(status);
  });
}

PyMethodDef kExitHook = {"_save_open_databases", save_open_databases, METH_NOARGS,
                         "Save every open database with unsaved changes (run at interpreter exit)."};

}  // namespace

bool add_exit_hook(PyObject* module) {
  PyRef fn = PyRef::steal(PyCFunction_NewEx(&kExitHook, nullptr, nullptr));
  if (!fn || PyModule_AddObjectRef(module, "_save_open_databases", fn.get()) < 0) return false;
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
  return static_cast<bool>(done);
}

PyTypeObject* create_database_type() {
  if (g_type != nullptr) return g_type;
  PyRef type = PyRef::steal(PyType_FromSpec(&kSpec));
  if (!type) return nullptr;
  if (!add_single_record_methods(reinterpret_cast<PyTypeObject*>(type.get()))) return nullptr;
  if (!add_methods(reinterpret_cast<PyTypeObject*>(type.get()), kMethods)) return nullptr;
  if (!add_search_methods(reinterpret_cast<PyTypeObject*>(type.get()))) return nullptr;
  if (!add_upkeep_methods(reinterpret_cast<PyTypeObject*>(type.get()))) return nullptr;
  if (!add_record_methods(reinterpret_cast<PyTypeObject*>(type.get()))) return nullptr;
  if (!add_methods(reinterpret_cast<PyTypeObject*>(type.get()), kTextMethods)) return nullptr;
  if (!add_arrow_methods(reinterpret_cast<PyTypeObject*>(type.get()))) return nullptr;
  g_type = reinterpret_cast<PyTypeObject*>(type.release());
  return g_type;
}

}  // namespace hovra::py

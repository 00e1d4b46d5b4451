// _inspect(path, snapshot=False): the engine's read-only look at a
// database directory as a dict, optionally with a read-only Database over
// the saved files and the log replayed in memory. It takes no lock and
// changes no file, so it works beside a process that has the database open.
#include "python/inspection.h"

#include <memory>
#include <string>

#include "core/db/database.h"
#include "core/vectors/distance.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/database_object.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/result_objects.h"

namespace hovra::py {

namespace {

// Sets dict[key] = value, taking over the reference to value.
bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* count(std::uint64_t n) { return PyLong_FromUnsignedLongLong(n); }
PyObject* flag(bool b) { return PyBool_FromLong(b ? 1 : 0); }

PyObject* text_or_none(const std::optional<DbError>& error) {
  if (!error) Py_RETURN_NONE;
  return str_from(error->message());
}

PyObject* check_dict(const Inspection& in) {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return nullptr;
  const VerifyReport& r = in.check;
  bool ok = put(d.get(), "problem", text_or_none(in.damage)) && put(d.get(), "checksums", flag(r.has_checksums)) &&
            put(d.get(), "slots", count(r.nodes)) && put(d.get(), "records", count(r.live)) &&
            put(d.get(), "unreachable", count(r.unreachable)) &&
            put(d.get(), "quantized_file", flag(r.quantized_file)) && put(d.get(), "text_file", flag(r.text_file)) &&
            put(d.get(), "log_bytes", count(r.log_bytes)) && put(d.get(), "log_records", count(r.log_records)) &&
            put(d.get(), "log_skipped", count(r.log_skipped)) &&
            put(d.get(), "log_uncommitted", count(r.log_uncommitted)) &&
            put(d.get(), "log_torn_bytes", count(r.log_torn_bytes)) &&
            put(d.get(), "log_prepared", count(r.log_prepared)) &&
            put(d.get(), "log_prepared_records", count(r.log_prepared_records));
  return ok ? d.release() : nullptr;
}

// The text index's definition and size, or None.
PyObject* text_index_dict(const std::optional<TextIndexInfo>& info) {
  if (!info) Py_RETURN_NONE;
  const TextIndexSpec& s = info->spec;
  return Py_BuildValue("{sssssOsOsdsdsOsKsK}", "field", s.field.c_str(), "language", s.language.c_str(), "stemmer",
                       s.stemmer ? Py_True : Py_False, "stopwords", s.stopwords ? Py_True : Py_False, "k1", s.k1, "b",
                       s.b, "building", info->building ? Py_True : Py_False, "documents",
                       static_cast<unsigned long long>(info->documents), "terms",
                       static_cast<unsigned long long>(info->terms));
}

PyObject* database_dict(const Inspection& in) {
  if (in.load_error) Py_RETURN_NONE;
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return nullptr;
  bool ok = put(d.get(), "dim", count(in.dim)) &&
            put(d.get(), "metric", PyUnicode_FromString(metric_name(in.metric))) && put(d.get(), "m", count(in.m)) &&
            put(d.get(), "ef_construction", count(in.ef_construction)) && put(d.get(), "count", count(in.live)) &&
            put(d.get(), "deleted_count", count(in.deleted)) && put(d.get(), "total_slots", count(in.total_slots)) &&
            put(d.get(), "quantize", flag(in.persist_quantized)) &&
            put(d.get(), "stats", stats_to_python(in.stats)) &&
            put(d.get(), "text_index", text_index_dict(in.text_index)) &&
            put(d.get(), "sparse_vectors", count(in.sparse_vectors));
  return ok ? d.release() : nullptr;
}

PyObject* files_dict(const Inspection& in) {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return nullptr;
  for (const auto& [name, size] : in.files)
    if (!put(d.get(), name.c_str(), count(size))) return nullptr;
  return d.release();
}

const Signature kInspectSig{"_inspect", {"path", "snapshot"}, 2, 1};

PyObject* inspect(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kInspectSig, args, nargs, kwnames, a)) return nullptr;
    std::string path;
    if (!path_arg(a.raw(0), "path", path)) return nullptr;
    bool keep = false;
    if (PyObject* obj = a.given(1)) {
      if (!flag_arg(obj, "snapshot", keep)) return nullptr;
    }
    if (path.find('\0') != std::string::npos) return raise_value_error("embedded null byte");
    Result<Inspection> found = without_gil([&] { return Database::inspect_directory(path, keep); });
    if (!found.ok()) return raise_engine_error(found.error());
    Inspection& in = found.value();
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return nullptr;
    bool ok = put(d.get(), "path", str_from(path)) && put(d.get(), "files", files_dict(in)) &&
              put(d.get(), "check", check_dict(in)) && put(d.get(), "load_error", text_or_none(in.load_error)) &&
              put(d.get(), "database", database_dict(in));
    if (ok && keep) {
      PyObject* snapshot = Py_None;
      if (in.snapshot) {
        snapshot = new_database_object(std::move(in.snapshot), path);
      } else {
        Py_INCREF(snapshot);
      }
      ok = put(d.get(), "snapshot", snapshot);
    }
    return ok ? d.release() : nullptr;
  });
}

const Signature kRepairSig{"_repair", {"path"}, 1, 1};

PyObject* repair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kRepairSig, args, nargs, kwnames, a)) return nullptr;
    std::string path;
    if (!path_arg(a.raw(0), "path", path)) return nullptr;
    if (path.find('\0') != std::string::npos) return raise_value_error("embedded null byte");
    Result<RepairReport> done = without_gil([&] { return Database::repair_directory(path); });
    if (!done.ok()) return raise_engine_error(done.error());
    const RepairReport& r = done.value();
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject* damaged = r.log_damaged ? Py_True : Py_False;
    Py_INCREF(damaged);
    bool ok = put(d.get(), "log_damaged", damaged) && put(d.get(), "kept_records", count(r.kept_records)) &&
              put(d.get(), "damaged_spans", count(r.damaged_spans)) &&
              put(d.get(), "damaged_bytes", count(r.damaged_bytes)) &&
              put(d.get(), "dropped_batch_records", count(r.dropped_batch_records)) &&
              put(d.get(), "uncommitted", count(r.uncommitted));
    return ok ? d.release() : nullptr;
  });
}

PyMethodDef kFunctions[] = {
    {"_inspect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(inspect)), METH_FASTCALL | METH_KEYWORDS,
     "_inspect($module, /, path, snapshot=False)\n--\n\n"
     "A read-only look at the database directory `path`, as a dict: 'path',\n"
     "'files' (name to size in bytes), 'check' (what a check of checksums,\n"
     "record table, graph reachability and log found; 'problem' names the\n"
     "first damage, or is None), 'load_error' (None when the database loads)\n"
     "and 'database' (parameters, counts and stats after replaying the log in\n"
     "memory; None when it does not load). With snapshot=True, 'snapshot' is\n"
     "the loaded Database (None when it does not load), for reading only:\n"
     "its changes raise ValueError. Takes no lock and changes no file.\n"
     "Raises ValueError when the directory holds no database."},
    {"_repair", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(repair)), METH_FASTCALL | METH_KEYWORDS,
     "_repair($module, /, path)\n--\n\n"
     "Keeps what can be kept of a database whose log is damaged in its\n"
     "middle (which open refuses): every intact record except those of a\n"
     "batch that lost one. Returns a dict: 'log_damaged' (False: nothing\n"
     "needed repair and nothing changed), 'kept_records', 'damaged_spans'\n"
     "(each at least one lost change), 'damaged_bytes',\n"
     "'dropped_batch_records' and 'uncommitted'. Takes the directory's lock."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_inspection_functions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions) == 0; }

}  // namespace hovra::py

// The Database's upkeep: save and compact (through a LongCall, so that
// Ctrl-C interrupts them and show_progress can display them), quantized
// search on and off, stats() and memory_usage(), wait_indexed() and
// verify().
#include "python/database_upkeep.h"

#include <memory>
#include <optional>
#include <string>

#include "core/db/database.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/database_calls.h"
#include "python/upkeep_docs.h"
#include "python/database_object.h"
#include "python/errors.h"
#include "python/long_call.h"
#include "python/method_descr.h"
#include "python/result_objects.h"

namespace hovra::py {

namespace {

const Signature kSaveSig{"Database.save", {"show_progress"}, 1, 0, 0};
const Signature kCompactSig{"Database.compact", {"show_progress"}, 1, 0, 0};
const Signature kEnableSig{"Database.enable_quantized_search", {"mode"}, 1, 0};
const Signature kDisableSig{"Database.disable_quantized_search", {}, 0, 0};
const Signature kStatsSig{"Database.stats", {}, 0, 0};
const Signature kMemoryUsageSig{"Database.memory_usage", {}, 0, 0};
const Signature kVerifySig{"Database.verify", {}, 0, 0};

PyObject* db_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kSaveSig, args, nargs, kwnames, a)) return nullptr;
    bool show_progress = false;
    if (!progress_flag(a.given(0), show_progress)) return nullptr;
    std::shared_ptr<Database> db = writable_engine_of(self);
    LongCall call("save");
    if (!start_long_call(call, show_progress)) return nullptr;
    Status status = call.run([&] { return db->save(call.progress()); });
    if (call.raise_if_interrupted()) return nullptr;
    return status_result(status);
  });
}

PyObject* db_compact(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kCompactSig, args, nargs, kwnames, a)) return nullptr;
    bool show_progress = false;
    if (!progress_flag(a.given(0), show_progress)) return nullptr;
    std::shared_ptr<Database> db = writable_engine_of(self);
    LongCall call("compact");
    if (!start_long_call(call, show_progress)) return nullptr;
    Status status = call.run([&] { return db->compact(call.progress()); });
    if (call.raise_if_interrupted()) return nullptr;
    return status_result(status);
  });
}

PyObject* db_enable_quantized_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kEnableSig, args, nargs, kwnames, a)) return nullptr;
    std::string mode = "sq8";
    if (PyObject* m = a.given(0)) {
      if (!PyUnicode_Check(m)) {
        PyErr_SetString(PyExc_TypeError, "enable_quantized_search(): mode must be \"sq8\" or \"binary\"");
        return nullptr;
      }
      mode = PyUnicode_AsUTF8(m);
    }
    if (mode != "sq8" && mode != "binary") {
      PyErr_SetString(PyExc_ValueError, "enable_quantized_search(): mode must be \"sq8\" or \"binary\"");
      return nullptr;
    }
    if (std::shared_ptr<Reader> reader = reader_of(self)) {
      // A reader keeps the codes across the checkpoints it loads.
      reader->use_codes(mode == "binary" ? Reader::Codes::Binary : Reader::Codes::Sq8);
    } else if (mode == "binary") {
      engine_of(self)->enable_binary_search();
    } else {
      engine_of(self)->enable_quantized_search();
    }
    return none();
  });
}

PyObject* db_disable_quantized_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kDisableSig, args, nargs, kwnames, a)) return nullptr;
    if (std::shared_ptr<Reader> reader = reader_of(self)) reader->use_codes(Reader::Codes::Off);
    else engine_of(self)->disable_quantized_search();
    return none();
  });
}

PyObject* db_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kStatsSig, args, nargs, kwnames, a)) return nullptr;
    return stats_to_python(engine_of(self)->stats());
  });
}

PyObject* db_memory_usage(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kMemoryUsageSig, args, nargs, kwnames, a)) return nullptr;
    return memory_to_python(engine_of(self)->memory_usage());
  });
}

const Signature kWaitIndexedSig{"Database.wait_indexed", {"timeout", "show_progress"}, 2, 0, 1};

// Waits on a helper thread (LongCall), so Ctrl-C ends the wait at once; the
// rows stay stored and are linked on in the background.
PyObject* db_wait_indexed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kWaitIndexedSig, args, nargs, kwnames, a)) return nullptr;
    std::optional<double> timeout;
    if (PyObject* obj = a.given(0)) {
      float seconds = 0.0f;
      if (!float_arg(obj, "timeout", seconds)) return nullptr;
      if (!(seconds >= 0.0f)) return raise_value_error("timeout must be a non-negative number of seconds");
      timeout = seconds;
    }
    bool show_progress = false;
    if (!progress_flag(a.given(1), show_progress)) return nullptr;
    std::shared_ptr<Database> db = engine_of(self);
    LongCall call("wait_indexed");
    if (!start_long_call(call, show_progress)) return nullptr;
    bool done = call.run([&] { return db->wait_indexed(timeout, call.progress()); });
    if (call.raise_if_interrupted()) return nullptr;
    return PyBool_FromLong(done ? 1 : 0);
  });
}

PyObject* db_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kVerifySig, args, nargs, kwnames, a)) return nullptr;
    std::shared_ptr<Database> db = engine_of(self);
    Result<VerifyReport> report = without_gil([&] { return db->verify(); });
    if (!report.ok()) return raise_engine_error(report.error());
    return none();
  });
}

const MethodSpec kUpkeepMethods[] = {
    {"save", db_save, "($self, *, show_progress=False)", docs::kSave},
    {"compact", db_compact, "($self, *, show_progress=False)", docs::kCompact},
    {"enable_quantized_search", db_enable_quantized_search, "($self, mode='sq8')", docs::kEnableQuantized},
    {"disable_quantized_search", db_disable_quantized_search, "($self)", docs::kDisableQuantized},
    {"stats", db_stats, "($self)", docs::kStats},
    {"memory_usage", db_memory_usage, "($self)", docs::kMemoryUsage},
    {"wait_indexed", db_wait_indexed, "($self, timeout=None, *, show_progress=False)", docs::kWaitIndexed},
    {"verify", db_verify, "($self)", docs::kVerify},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool add_upkeep_methods(PyTypeObject* type) { return add_methods(type, kUpkeepMethods); }

}  // namespace hovra::py

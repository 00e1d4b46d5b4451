// The module's process-wide settings: DEFAULTS, a read-only mapping of the
// engine's defaults and thresholds (core/base/defaults.h), which the stubs
// and docstrings are checked against; set_num_threads and get_num_threads,
// the size of the engine's worker pool.
#include "python/settings.h"

#include "core/base/defaults.h"
#include "core/base/thread_pool.h"
#include "core/db/database.h"
#include "core/vectors/distance.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace hovra::py {

namespace {

bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* size(std::size_t v) { return PyLong_FromSize_t(v); }

// {"m", "ef_construction", "metric", "k", "ef_search_floor",
// "ef_search_sqrt_factor", "exact_scan_components", "parallel_batch_above",
// "fresh_scan_components", "checkpoint_bytes", "checkpoint_records"}
PyObject* defaults_mapping() {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return nullptr;
  OpenOptions open;
  bool ok = put(d.get(), "m", size(kDefaultM)) && put(d.get(), "ef_construction", size(kDefaultEfConstruction)) &&
            put(d.get(), "metric", PyUnicode_FromString(metric_name(open.metric))) &&
            put(d.get(), "k", size(kDefaultK)) && put(d.get(), "ef_search_floor", size(kDefaultEfFloor)) &&
            put(d.get(), "ef_search_sqrt_factor", PyFloat_FromDouble(kDefaultEfSqrtFactor)) &&
            put(d.get(), "exact_scan_components", size(kExactScanComponents)) &&
            put(d.get(), "parallel_batch_above", size(kParallelBatchAbove)) &&
            put(d.get(), "fresh_scan_components", size(kFreshScanComponents)) &&
            put(d.get(), "checkpoint_bytes", PyLong_FromUnsignedLongLong(kDefaultCheckpointBytes)) &&
            put(d.get(), "checkpoint_records", PyLong_FromUnsignedLongLong(kDefaultCheckpointRecords));
  return ok ? PyDictProxy_New(d.get()) : nullptr;
}

const Signature kSetThreadsSig{"set_num_threads", {"n"}, 1, 1};

PyObject* set_num_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kSetThreadsSig, args, nargs, kwnames, a)) return nullptr;
    std::uint64_t n = 0;
    if (!count_arg(a.raw(0), "n", n)) return nullptr;
    if (n < 1 || n > kMaxPoolThreads) {
      PyErr_Format(PyExc_ValueError, "n must be from 1 to %zu threads, not %llu", kMaxPoolThreads,
                   static_cast<unsigned long long>(n));
      return nullptr;
    }
    without_gil([&] { set_pool_size(static_cast<std::size_t>(n)); });
    Py_RETURN_NONE;
  });
}

PyObject* get_num_threads(PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return PyLong_FromSize_t(configured_pool_size()); });
}

PyMethodDef kFunctions[] = {
    {"set_num_threads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_num_threads)),
     METH_FASTCALL | METH_KEYWORDS,
     "set_num_threads($module, /, n)\n--\n\n"
     "Sets the number of threads of the worker pool that runs search_many,\n"
     "search_arrays, the linking of large batches and large exact scans, for\n"
     "every database of the process. Safe at any time, also while other threads\n"
     "search or write: work already running finishes on the threads it began\n"
     "on, later work uses the new pool.\n\n"
     "Args:\n"
     "    n: Threads, from 1 to 4096.\n\n"
     "Raises:\n"
     "    ValueError: n is 0 or above 4096.\n"
     "    TypeError: n is not an integer.\n"
     "    OverflowError: n is negative."},
    {"get_num_threads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_num_threads)), METH_NOARGS,
     "get_num_threads($module, /)\n--\n\n"
     "The number of threads of the worker pool: as set by set_num_threads, else\n"
     "as the environment asks (HOVRA_NUM_THREADS, then the fallbacks\n"
     "RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS), else one per logical processor."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_settings(PyObject* module) {
  if (PyModule_AddFunctions(module, kFunctions) < 0) return false;
  PyObject* defaults = defaults_mapping();
  if (defaults == nullptr) return false;
  if (PyModule_AddObject(module, "DEFAULTS", defaults) < 0) {
    Py_DECREF(defaults);
    return false;
  }
  return true;
}

}  // namespace hovra::py

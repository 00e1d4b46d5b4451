// The module's process-wide settings: DEFAULTS, a read-only mapping of the
// engine's defaults and thresholds (core/base/defaults.h), which the stubs
// and docstrings are checked against.
#include "python/settings.h"

#include "core/base/defaults.h"
#include "core/db/database.h"
#include "core/vectors/distance.h"
#include "python/py_ref.h"

namespace hovra::py {

namespace {

bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* size(std::size_t v) { return PyLong_FromSize_t(v); }

// {"m", "ef_construction", "metric", "k", "ef_search_floor",
// "ef_search_sqrt_factor", "exact_scan_components", "parallel_batch_above"}
PyObject* defaults_mapping() {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return nullptr;
  OpenOptions open;
  bool ok = put(d.get(), "m", size(kDefaultM)) && put(d.get(), "ef_construction", size(kDefaultEfConstruction)) &&
            put(d.get(), "metric", PyUnicode_FromString(metric_name(open.metric))) &&
            put(d.get(), "k", size(kDefaultK)) && put(d.get(), "ef_search_floor", size(kDefaultEfFloor)) &&
            put(d.get(), "ef_search_sqrt_factor", PyFloat_FromDouble(kDefaultEfSqrtFactor)) &&
            put(d.get(), "exact_scan_components", size(kExactScanComponents)) &&
            put(d.get(), "parallel_batch_above", size(kParallelBatchAbove));
  return ok ? PyDictProxy_New(d.get()) : nullptr;
}

}  // namespace

bool add_settings(PyObject* module) {
  PyObject* defaults = defaults_mapping();
  if (defaults == nullptr) return false;
  if (PyModule_AddObject(module, "DEFAULTS", defaults) < 0) {
    Py_DECREF(defaults);
    return false;
  }
  return true;
}

}  // namespace hovra::py

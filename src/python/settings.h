// The module's process-wide settings: DEFAULTS, the engine's defaults and
// thresholds as Python sees them, and the worker pool's size
// (set_num_threads, get_num_threads).
#pragma once

#include <Python.h>

namespace hovra::py {

// Adds DEFAULTS, set_num_threads and get_num_threads to the module.
bool add_settings(PyObject* module);

}  // namespace hovra::py

// The module's process-wide settings: DEFAULTS, the engine's defaults and
// thresholds as Python sees them.
#pragma once

#include <Python.h>

namespace hovra::py {

// Adds DEFAULTS to the module.
bool add_settings(PyObject* module);

}  // namespace hovra::py

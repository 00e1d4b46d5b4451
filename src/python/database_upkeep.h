// The Database's upkeep methods (save, compact, enable_quantized_search,
// disable_quantized_search, stats, memory_usage, wait_indexed, verify).
#pragma once

#include <Python.h>

namespace hovra::py {

// Adds the methods to the Database class; once per process.
bool add_upkeep_methods(PyTypeObject* type);

}  // namespace hovra::py

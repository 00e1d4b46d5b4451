// The module's private function behind the `hovra` command-line tool: a
// read-only look at a database directory.
#pragma once

#include <Python.h>

namespace hovra::py {

// Adds _inspect to the module.
bool add_inspection_functions(PyObject* module);

}  // namespace hovra::py

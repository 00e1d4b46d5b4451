// The Database class: construction in open or create-or-open mode, the
// record, batch, search, counting, maintenance and statistics methods, the
// read-only properties, repr(), len(), `in` and the context manager.
#pragma once

#include <Python.h>

namespace hovra::py {

// Creates the class; once per process.
PyTypeObject* create_database_type();

}  // namespace hovra::py

// The Database methods on one record at a time (add, upsert, get, delete,
// update) and over the ids (count, ids).
#pragma once

#include <Python.h>

namespace hovra::py {

// Adds the methods to the Database class; once per process.
bool add_single_record_methods(PyTypeObject* type);

}  // namespace hovra::py

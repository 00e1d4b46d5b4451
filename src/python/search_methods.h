// The Database's searches (search, search_many, search_arrays).
#pragma once

#include <Python.h>

namespace hovra::py {

// Adds the methods to the Database class; once per process.
bool add_search_methods(PyTypeObject* type);

}  // namespace hovra::py

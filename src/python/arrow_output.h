// Results as Arrow tables through pyarrow (an optional dependency, imported
// when a table is asked for): a database's records (to_arrow) and the hits
// of search_arrays(..., arrow=True).
#pragma once

#include <Python.h>

#include <vector>

#include "core/db/database.h"

namespace hovra::py {

// One row per hit: query (int64), rank (int32), id (string), distance
// (float32) and metadata (compact JSON text, or null).
PyObject* hits_to_arrow(const std::vector<std::vector<SearchHit>>& lists);

// Adds to_arrow to the Database class.
bool add_arrow_methods(PyTypeObject* type);

}  // namespace hovra::py

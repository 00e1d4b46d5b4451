// The SearchResult class: one search hit (id, distance, metadata as compact
// JSON text), its properties, subscript and representation, and the
// conversion of engine hit lists into Python lists of SearchResult.
#pragma once

#include <Python.h>

#include <vector>

#include "core/db/database.h"

namespace hovra::py {

// Creates the class; once per process.
PyTypeObject* create_search_result_type();

// A new list of SearchResult, one per hit, in order. The hits' ids and
// metadata move into the results (the hits are left empty).
PyObject* hits_to_list(std::vector<SearchHit>& hits);

}  // namespace hovra::py

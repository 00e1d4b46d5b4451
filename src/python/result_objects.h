// Python objects for engine results (result_objects.cpp). Every function
// needs the interpreter lock and returns a new reference, or nullptr with a
// Python error set.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

#include "core/db/database.h"

namespace hovra::py {

// search_arrays' result: a tuple (ids, distances) of an (n, k) object
// array (None where a query has fewer than k hits) and an (n, k) float32
// array (NaN there). Raises when NumPy is unavailable.
PyObject* hits_to_arrays(const std::vector<std::vector<SearchHit>>& lists, std::size_t k);

// stats(): a new dict of the eleven statistics, in their documented order.
PyObject* stats_to_python(const IndexStats& stats);
// memory_usage(): a new dict of byte counts, one per part, in the engine's order.
PyObject* memory_to_python(const std::vector<MemoryPart>& parts);
PyObject* float_list(const std::vector<float>& values);
PyObject* str_from(const std::string& text);

}  // namespace hovra::py

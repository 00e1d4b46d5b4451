// The Database methods of text, sparse and hybrid retrieval, and the
// conversion of sparse vectors from Python (dicts of indices and values,
// SciPy sparse rows and CSR matrices).
#pragma once

#include <Python.h>

#include <vector>

#include "core/text/sparse_index.h"
#include "python/method_descr.h"

namespace hovra::py {

// One sparse vector: {"indices": [...], "values": [...]} or a SciPy sparse
// matrix or array of one row. Normalised (sorted); ValueError for a
// repeated index, unequal lengths or a value that is not finite.
bool sparse_from_python(PyObject* obj, const char* arg, SparseVector& out);
// One per row: a list of those (None for a row without), or a SciPy
// sparse matrix with one row per item.
bool sparse_list_from_python(PyObject* obj, const char* arg, std::size_t rows, std::vector<SparseVector>& out);
PyObject* sparse_to_python(const SparseVector& v);

// The methods' table entries (ended by a null entry).
extern const MethodSpec kTextMethods[];

PyObject* get_text_index(PyObject* self, void*);

}  // namespace hovra::py

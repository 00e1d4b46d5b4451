// NumPy's C API for the module's files that use it: one function table
// (imported by init_numpy in convert.cpp, which defines
// HOVRA_NUMPY_IMPORTS_API before including this), shared by the others.
#pragma once

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL hovra_numpy_api
#ifndef HOVRA_NUMPY_IMPORTS_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

// The descriptor type behind the methods of the module's classes. It binds
// like a built-in method, calls the implementation with the vectorcall
// convention, and reports `__text_signature__` and `__doc__` separately, so
// a method with a text signature and an empty docstring shows `__doc__` as
// the empty string (a built-in method would show None).
#pragma once

#include <Python.h>

namespace hovra::py {

// self is the instance; args/nargs/kwnames follow the vectorcall convention
// for the arguments after it.
using MethodImpl = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

struct MethodSpec {
  const char* name;
  MethodImpl impl;
  const char* text_signature;  // e.g. "($self, id)"
  const char* doc;             // may be ""
};

// Creates the descriptor type; once per process.
bool init_method_descriptor_type();

// Adds one descriptor per entry of specs (ended by an entry whose name is
// null) to the type's dictionary. The specs must outlive the type.
bool add_methods(PyTypeObject* type, const MethodSpec* specs);

}  // namespace hovra::py

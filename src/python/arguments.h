// Binding of call arguments to named parameters (positional, then by
// keyword), with the usual TypeErrors for unknown, duplicate, surplus and
// missing arguments.
#pragma once

#include <Python.h>

#include <array>

#include "python/py_ref.h"

namespace hovra::py {

inline constexpr int kMaxParams = 14;

struct Signature {
  const char* function;  // shown in messages as "{function}()"
  std::array<const char*, kMaxParams> names;
  int count;            // number of parameters
  int required;         // the first `required` parameters have no default
  int positional = -1;  // how many may be passed by position (-1: all); the rest are keyword-only
};

class BoundArgs {
 public:
  // The argument bound to parameter i, or nullptr when it was not passed.
  PyObject* raw(int i) const { return values_[static_cast<std::size_t>(i)].get(); }
  // Like raw(), but an explicit None also counts as not given.
  PyObject* given(int i) const {
    PyObject* obj = raw(i);
    return obj == Py_None ? nullptr : obj;
  }

 private:
  friend class Binder;
  std::array<PyRef, kMaxParams> values_;
};

// Vectorcall convention: args[0..nargs) positional, then one value per name
// in kwnames. Returns false with TypeError set on a binding error.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out);
// tp_new convention: a tuple and an optional dict.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

}  // namespace hovra::py

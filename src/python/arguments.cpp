// Binding of call arguments to named parameters and the binding errors.
#include "python/arguments.h"

#include <cstring>
#include <string>

#include "python/errors.h"

namespace hovra::py {

class Binder {
 public:
  Binder(const Signature& sig, BoundArgs& out) : sig_(sig), out_(out) {}

  bool positional(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs > positional_limit()) {
      too_many_positional(nargs);
      return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slot(static_cast<int>(i)) = PyRef::borrow(args[i]);
    return true;
  }

  bool keyword(PyObject* name, PyObject* value) {
    if (!PyUnicode_Check(name)) {
      raise_type_error(std::string(sig_.function) + "() keywords must be strings");
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) return false;
    for (int i = 0; i < sig_.count; ++i) {
      const char* param = sig_.names[static_cast<std::size_t>(i)];
      if (std::strlen(param) == static_cast<std::size_t>(size) &&
          std::memcmp(param, text, static_cast<std::size_t>(size)) == 0) {
        if (slot(i)) {
          raise_type_error(std::string(sig_.function) + "() got multiple values for argument '" + param + "'");
          return false;
        }
        slot(i) = PyRef::borrow(value);
        return true;
      }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig_.function, name);
    return false;
  }

  bool finish() {
    std::string missing;
    int count = 0;
    for (int i = 0; i < sig_.required; ++i) {
      if (!slot(i)) ++count;
    }
    if (count == 0) return true;
    int seen = 0;
    for (int i = 0; i < sig_.required; ++i) {
      if (slot(i)) continue;
      if (seen > 0) missing += (seen == count - 1) ? (count > 2 ? ", and " : " and ") : ", ";
      missing += "'";
      missing += sig_.names[static_cast<std::size_t>(i)];
      missing += "'";
      ++seen;
    }
    raise_type_error(std::string(sig_.function) + "() missing " + std::to_string(count) +
                     " required positional argument" + (count == 1 ? "" : "s") + ": " + missing);
    return false;
  }

 private:
  PyRef& slot(int i) { return out_.values_[static_cast<std::size_t>(i)]; }
  int positional_limit() const { return sig_.positional < 0 ? sig_.count : sig_.positional; }

  void too_many_positional(Py_ssize_t given) {
    std::string message = std::string(sig_.function) + "() takes ";
    int limit = positional_limit();
    if (sig_.required == limit) {
      message += std::to_string(limit) + " positional argument" + (limit == 1 ? "" : "s");
    } else {
      message += "from " + std::to_string(sig_.required) + " to " + std::to_string(limit) + " positional arguments";
    }
    message += " but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    raise_type_error(message);
  }

  const Signature& sig_;
  BoundArgs& out_;
};

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    BoundArgs& out) {
  Binder binder(sig, out);
  if (!binder.positional(args, nargs)) return false;
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (!binder.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return false;
    }
  }
  return binder.finish();
}

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
  Binder binder(sig, out);
  if (!binder.positional(reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args))) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!binder.keyword(key, value)) return false;
    }
  }
  return binder.finish();
}

}  // namespace hovra::py

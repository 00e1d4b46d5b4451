// Failure reporting at the boundary between the engine and Python: the
// PanicException type, engine errors as ValueError, argument-named
// TypeErrors, the catch-all that keeps C++ exceptions out of CPython, and
// the helper that runs engine work with the interpreter lock released.
#pragma once

#include <Python.h>

#include <stdexcept>
#include <string>

#include "core/base/error.h"

namespace hovra::py {

// Creates PanicException (derived directly from BaseException). Once per
// process; returns false with a Python error set on failure.
bool init_panic_exception();
PyObject* panic_exception_type();

// Each raise_* sets the Python error and returns nullptr for convenient
// `return raise_...(...)` in functions returning PyObject*.
PyObject* raise_panic(const char* message);
PyObject* raise_engine_error(const DbError& error);
// ValueError(message) raised from ValueError(error's text): the engine's
// error becomes the __cause__.
PyObject* raise_value_error_from(const std::string& message, const DbError& cause);
PyObject* raise_value_error(const std::string& message);
PyObject* raise_type_error(const std::string& message);

// The __qualname__ of an object's type (its tp_name if that fails).
std::string type_name(PyObject* obj);
// str(exc) of the pending exception as "TypeName: text"; clears it.
std::string take_error_text();
// Whether the pending exception is an Exception (not KeyboardInterrupt,
// SystemExit or another bare BaseException).
bool pending_error_is_exception();

// "'{type}' object cannot be converted to '{target}'".
std::string cannot_convert(PyObject* obj, const char* target);
// TypeError "argument '{arg}': '{type}' object cannot be converted to '{target}'".
PyObject* raise_wrong_type(const char* arg, PyObject* obj, const char* target);
// If the pending error is exactly TypeError, prefixes its text with
// "argument '{arg}': ". Other errors are left untouched.
void prefix_type_error(const char* arg);

// Thrown inside a guarded body to raise ValueError with its text.
class PyValueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Translates the C++ exception being handled into a Python error:
// PyValueError becomes ValueError, hovra::Panic and other std::exceptions
// PanicException, std::bad_alloc MemoryError. Call only from inside a
// catch block.
void translate_current_exception() noexcept;

// Runs body() and turns any C++ exception into a Python error, returning
// `failure` in that case. Every function CPython calls goes through this.
template <class R, class F>
R guarded(R failure, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    translate_current_exception();
    return failure;
  }
}

// Runs engine work with the interpreter lock released; the lock is taken
// back before the result (or an exception) leaves this function.
template <class F>
decltype(auto) without_gil(F&& work) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return work();
}

}  // namespace hovra::py

// Failure reporting at the boundary between the engine and Python: the
// PanicException type, the HovraError classes that engine errors become,
// argument-named TypeErrors (with a note on what was expected), the
// catch-all that keeps C++ exceptions out of CPython, and the helper that
// runs engine work with the interpreter lock released.
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

// The classes the module raises for engine errors: HovraError, a subclass
// of ValueError (so `except ValueError` keeps catching them), and under it
// DuplicateIdError, NotFoundError, DatabaseInUseError, DatabaseClosedError,
// CorruptDataError, DatabaseNotFoundError, ReadOnlyError and
// TransactionConflictError. Created once
// (named hovra.X, as the package re-exports them) and added to the module;
// false with a Python error set on failure.
bool init_exception_types(PyObject* module);
// The class an engine error of this kind raises.
PyObject* exception_type_for(ErrorKind kind);
PyObject* database_closed_type();

// Each raise_* sets the Python error and returns nullptr for convenient
// `return raise_...(...)` in functions returning PyObject*.
PyObject* raise_panic(const char* message);
// The error's class (exception_type_for) with its message; DuplicateIdError
// and NotFoundError carry the id as `.id`.
PyObject* raise_engine_error(const DbError& error);
// DatabaseNotFoundError with the given message (the open-only constructor's).
PyObject* raise_database_not_found(const std::string& message);
// HovraError itself with the given message (a refusal of the engine's
// that has no subclass of its own, e.g. a filter that does not parse).
PyObject* raise_hovra_error(const std::string& message);
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

// Thrown inside a guarded body to raise DatabaseClosedError with its text.
class PyClosedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown inside a guarded body to raise the engine error's Python
// exception.
class PyEngineError : public std::runtime_error {
 public:
  explicit PyEngineError(DbError error) : std::runtime_error(error.message()), error_(std::move(error)) {}
  const DbError& error() const { return error_; }

 private:
  DbError error_;
};

// Adds a PEP 678 note to the pending exception (Python 3.11 and later;
// older versions keep the exception as it is). The pending error stays set.
void add_note(const std::string& note);

// Translates the C++ exception being handled into a Python error:
// PyValueError becomes ValueError, PyClosedError DatabaseClosedError,
// hovra::Panic and other std::exceptions
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

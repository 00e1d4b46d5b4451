// Failure reporting between the engine and Python: PanicException, engine
// errors, argument-named TypeErrors and the C++ exception translation.
#include "python/errors.h"

#include <exception>
#include <new>

#include "python/py_ref.h"

namespace hovra::py {

namespace {
// Created once and kept for the life of the process (the module refuses a
// second interpreter, so one object serves every call).
PyObject* g_panic_exception = nullptr;

std::string utf8_or(PyObject* str, const char* fallback) {
  if (str != nullptr && PyUnicode_Check(str)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data != nullptr) return std::string(data, static_cast<std::size_t>(size));
    PyErr_Clear();
  }
  return fallback;
}
}  // namespace

bool init_panic_exception() {
  if (g_panic_exception != nullptr) return true;
  g_panic_exception = PyErr_NewExceptionWithDoc(
      "hovra.PanicException", "An internal invariant of the database failed; the operation was stopped.",
      PyExc_BaseException, nullptr);
  return g_panic_exception != nullptr;
}

PyObject* panic_exception_type() { return g_panic_exception; }

PyObject* raise_panic(const char* message) {
  PyErr_SetString(g_panic_exception != nullptr ? g_panic_exception : PyExc_SystemError, message);
  return nullptr;
}

PyObject* raise_engine_error(const DbError& error) {
  // A stop is asked for only on an interruption, which the caller raises
  // itself; this covers a stop asked for any other way.
  if (error.kind() == ErrorKind::Cancelled) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  return raise_value_error(error.message());
}

PyObject* raise_value_error_from(const std::string& message, const DbError& cause) {
  PyRef cause_text = PyRef::steal(PyUnicode_FromString(cause.message().c_str()));
  if (!cause_text) return nullptr;
  PyRef cause_exc = PyRef::steal(PyObject_CallOneArg(PyExc_ValueError, cause_text.get()));
  if (!cause_exc) return nullptr;
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return nullptr;
  PyRef exc = PyRef::steal(PyObject_CallOneArg(PyExc_ValueError, text.get()));
  if (!exc) return nullptr;
  PyException_SetCause(exc.get(), cause_exc.release());  // steals; also suppresses the context
  PyErr_SetObject(PyExc_ValueError, exc.get());
  return nullptr;
}

PyObject* raise_value_error(const std::string& message) {
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

PyObject* raise_type_error(const std::string& message) {
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
  return nullptr;
}

std::string type_name(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyRef qualname = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
  if (!qualname) PyErr_Clear();
  return utf8_or(qualname.get(), type->tp_name);
}

std::string take_error_text() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return "unknown error";
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), b = PyRef::steal(tb);
  PyRef qualname = PyRef::steal(PyObject_GetAttrString(t.get(), "__qualname__"));
  if (!qualname) PyErr_Clear();
  std::string text = utf8_or(qualname.get(), "Exception");
  PyRef str = v ? PyRef::steal(PyObject_Str(v.get())) : PyRef();
  if (v && !str) PyErr_Clear();
  text += ": ";
  text += utf8_or(str.get(), "<exception str() failed>");
  return text;
}

bool pending_error_is_exception() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

std::string cannot_convert(PyObject* obj, const char* target) {
  std::string message = "'";
  message += type_name(obj);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  return message;
}

PyObject* raise_wrong_type(const char* arg, PyObject* obj, const char* target) {
  std::string message = "argument '";
  message += arg;
  message += "': ";
  message += cannot_convert(obj, target);
  return raise_type_error(message);
}

void prefix_type_error(const char* arg) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), b = PyRef::steal(tb);
  PyRef str = PyRef::steal(PyObject_Str(v.get()));
  if (!str) {
    // Keep the original error rather than inventing one.
    PyErr_Clear();
    PyErr_Restore(t.release(), v.release(), b.release());
    return;
  }
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", arg, str.get()));
  if (!message) return;
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(v.get())) PyException_SetCause(replacement.get(), cause);
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const PyValueError& error) {
    raise_value_error(error.what());
  } catch (const Panic& panic) {
    raise_panic(panic.what());
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic("unknown internal error");
  }
}

}  // namespace hovra::py

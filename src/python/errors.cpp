// Failure reporting between the engine and Python: PanicException, the
// HovraError classes, argument-named TypeErrors, notes on exceptions and the
// C++ exception translation.
#include "python/errors.h"

#include <exception>
#include <new>
#include <utility>

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

namespace {

// The module's exception classes, created once and kept for the life of
// the process.
struct ExceptionTypes {
  PyObject* base = nullptr;  // HovraError
  PyObject* duplicate_id = nullptr;
  PyObject* not_found = nullptr;
  PyObject* in_use = nullptr;
  PyObject* closed = nullptr;
  PyObject* corrupt = nullptr;
  PyObject* database_not_found = nullptr;
  PyObject* read_only = nullptr;
  PyObject* conflict = nullptr;
};
ExceptionTypes g_types;

struct ExceptionSpec {
  PyObject** slot;
  const char* name;  // as the package exports it
  const char* doc;
};

}  // namespace

bool init_exception_types(PyObject* module) {
  if (g_types.base == nullptr) {
    g_types.base = PyErr_NewExceptionWithDoc(
        "hovra.HovraError",
        "Base class of the database's errors. A subclass of ValueError, so `except ValueError` catches it.",
        PyExc_ValueError, nullptr);
    if (g_types.base == nullptr) return false;
    const ExceptionSpec specs[] = {
        {&g_types.duplicate_id, "hovra.DuplicateIdError",
         "add or add_many was given an id that exists, or one id twice in a batch. `.id` is the id."},
        {&g_types.not_found, "hovra.NotFoundError",
         "get or update named an id the database does not hold. `.id` is the id."},
        {&g_types.in_use, "hovra.DatabaseInUseError",
         "Another process holds the database's directory (or the object was inherited through fork and a change "
         "was asked for)."},
        {&g_types.closed, "hovra.DatabaseClosedError", "A call on a Database after its close()."},
        {&g_types.corrupt, "hovra.CorruptDataError",
         "A file of the database is damaged or missing; the message names it. Nothing was changed."},
        {&g_types.database_not_found, "hovra.DatabaseNotFoundError",
         "The directory holds no database (and no dim was given to create one)."},
        {&g_types.read_only, "hovra.ReadOnlyError", "A change to a database opened for reading only."},
        {&g_types.conflict, "hovra.TransactionConflictError",
         "A change to an id that a prepared transaction (add_many(..., prepare=...)) holds until it is committed "
         "or aborted; nothing was changed, try again once it is resolved. `.id` is the id."},
    };
    for (const ExceptionSpec& spec : specs) {
      *spec.slot = PyErr_NewExceptionWithDoc(spec.name, spec.doc, g_types.base, nullptr);
      if (*spec.slot == nullptr) return false;
    }
  }
  const std::pair<const char*, PyObject*> exported[] = {
      {"HovraError", g_types.base},
      {"DuplicateIdError", g_types.duplicate_id},
      {"NotFoundError", g_types.not_found},
      {"DatabaseInUseError", g_types.in_use},
      {"DatabaseClosedError", g_types.closed},
      {"CorruptDataError", g_types.corrupt},
      {"DatabaseNotFoundError", g_types.database_not_found},
      {"ReadOnlyError", g_types.read_only},
      {"TransactionConflictError", g_types.conflict},
  };
  for (const auto& [name, type] : exported)
    if (PyModule_AddObjectRef(module, name, type) < 0) return false;
  return true;
}

PyObject* exception_type_for(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::DuplicateId:
    case ErrorKind::DuplicateInBatch:
      return g_types.duplicate_id;
    case ErrorKind::NotFound:
      return g_types.not_found;
    case ErrorKind::InUse:
      return g_types.in_use;
    case ErrorKind::CorruptData:
    case ErrorKind::DamagedFile:
      return g_types.corrupt;
    case ErrorKind::DatabaseNotFound:
      return g_types.database_not_found;
    case ErrorKind::ReadOnly:
      return g_types.read_only;
    case ErrorKind::Held:
      return g_types.conflict;
    default:
      return g_types.base;
  }
}

PyObject* database_closed_type() { return g_types.closed; }

namespace {

// Raises `type(message)`; with an id, the instance carries it as `.id`.
PyObject* raise_typed(PyObject* type, const std::string& message, const std::string* id = nullptr) {
  if (type == nullptr) type = PyExc_ValueError;  // before the module is initialised
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return nullptr;
  PyRef exc = PyRef::steal(PyObject_CallOneArg(type, text.get()));
  if (!exc) return nullptr;
  if (id != nullptr) {
    PyRef id_text = PyRef::steal(PyUnicode_DecodeUTF8(id->data(), static_cast<Py_ssize_t>(id->size()), "replace"));
    if (!id_text || PyObject_SetAttrString(exc.get(), "id", id_text.get()) < 0) return nullptr;
  }
  PyErr_SetObject(type, exc.get());
  return nullptr;
}

}  // namespace

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
  bool carries_id = error.kind() == ErrorKind::DuplicateId || error.kind() == ErrorKind::DuplicateInBatch ||
                    error.kind() == ErrorKind::NotFound || error.kind() == ErrorKind::Held;
  return raise_typed(exception_type_for(error.kind()), error.message(), carries_id ? &error.detail() : nullptr);
}

PyObject* raise_database_not_found(const std::string& message) {
  return raise_typed(g_types.database_not_found, message);
}

PyObject* raise_hovra_error(const std::string& message) { return raise_typed(g_types.base, message); }

void add_note(const std::string& note) {
#if PY_VERSION_HEX >= 0x030B0000
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr) {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    PyRef added = text ? PyRef::steal(PyObject_CallMethod(value, "add_note", "O", text.get())) : PyRef();
    if (!added) PyErr_Clear();  // the original error matters more than its note
  }
  if (tb != nullptr) PyException_SetTraceback(value, tb);
  PyErr_Restore(type, value, tb);
#else
  (void)note;
#endif
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
  } catch (const PyClosedError& error) {
    raise_typed(g_types.closed, error.what());
  } catch (const PyEngineError& error) {
    raise_engine_error(error.error());
  } catch (const Panic& panic) {
    raise_panic(panic.what());
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic("unknown internal error");
  }
}

}  // namespace hovra::py

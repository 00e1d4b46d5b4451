// The _hovra module initialiser: creates the classes (Database, then
// SearchResult), the private inspection functions, the settings (DEFAULTS),
// the exception classes (HovraError and its subclasses), PanicException and
// NumPy's C API once per process, refuses a second interpreter, and hands
// back the same module object when it is imported again in the same
// interpreter.
#include <Python.h>

#include <cstdint>

#include "python/convert.h"
#include "python/database_object.h"
#include "python/errors.h"
#include "python/inspection.h"
#include "python/method_descr.h"
#include "python/search_result.h"
#include "python/settings.h"

namespace {

constexpr std::int64_t kNoInterpreter = -1;
std::int64_t g_interpreter = kNoInterpreter;
PyObject* g_module = nullptr;  // kept for the life of the process
bool g_filled = false;

std::int64_t current_interpreter() { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

PyObject* module_create(PyObject* spec, PyModuleDef*) {
  std::int64_t interpreter = current_interpreter();
  if (g_interpreter != kNoInterpreter && g_interpreter != interpreter) {
    PyErr_SetString(PyExc_ImportError, "_hovra cannot be imported into more than one interpreter per process");
    return nullptr;
  }
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  PyObject* name = PyObject_GetAttrString(spec, "name");
  if (name == nullptr) return nullptr;
  PyObject* module = PyModule_NewObject(name);
  Py_DECREF(name);
  if (module == nullptr) return nullptr;
  g_interpreter = interpreter;
  Py_INCREF(module);
  g_module = module;
  return module;
}

int module_exec(PyObject* module) {
  if (g_filled) return 0;
  hovra::py::init_numpy();
  if (!hovra::py::init_panic_exception()) return -1;
  if (!hovra::py::init_method_descriptor_type()) return -1;
  PyTypeObject* database = hovra::py::create_database_type();
  if (database == nullptr) return -1;
  PyTypeObject* search_result = hovra::py::create_search_result_type();
  if (search_result == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "Database", reinterpret_cast<PyObject*>(database)) < 0) return -1;
  if (PyModule_AddObjectRef(module, "SearchResult", reinterpret_cast<PyObject*>(search_result)) < 0) return -1;
  if (!hovra::py::add_inspection_functions(module)) return -1;
  if (!hovra::py::add_settings(module)) return -1;
  if (!hovra::py::init_exception_types(module)) return -1;
  if (!hovra::py::add_exit_hook(module)) return -1;
  g_filled = true;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_hovra", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__hovra(void) { return PyModuleDef_Init(&module_def); }

// The method descriptor type of the module's classes: binding, calling,
// and the introspection attributes (__doc__, __text_signature__, __name__,
// __qualname__, __objclass__).
#include "python/method_descr.h"

#include <structmember.h>

#include <cstddef>
#include <cstring>

#include "python/py_ref.h"

namespace hovra::py {

namespace {

struct MethodDescr {
  PyObject_HEAD vectorcallfunc vectorcall;
  const MethodSpec* spec;
  PyTypeObject* owner;  // strong reference
};

PyTypeObject* g_descr_type = nullptr;

MethodDescr* as_descr(PyObject* obj) { return reinterpret_cast<MethodDescr*>(obj); }

// "Database" for "_hovra.Database".
const char* short_name(PyTypeObject* type) {
  const char* dot = std::strrchr(type->tp_name, '.');
  return dot != nullptr ? dot + 1 : type->tp_name;
}

bool check_instance(MethodDescr* descr, PyObject* obj) {
  if (PyObject_TypeCheck(obj, descr->owner)) return true;
  PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%s' object", descr->spec->name,
               short_name(descr->owner), Py_TYPE(obj)->tp_name);
  return false;
}

PyObject* descr_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  MethodDescr* descr = as_descr(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "unbound method %s.%s() needs an argument", short_name(descr->owner),
                 descr->spec->name);
    return nullptr;
  }
  if (!check_instance(descr, args[0])) return nullptr;
  return descr->spec->impl(args[0], args + 1, nargs - 1, kwnames);
}

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr) {
    Py_INCREF(self);
    return self;
  }
  if (!check_instance(as_descr(self), obj)) return nullptr;
  return PyMethod_New(self, obj);
}

void descr_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<PyObject*>(as_descr(self)->owner));
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* descr_repr(PyObject* self) {
  MethodDescr* descr = as_descr(self);
  return PyUnicode_FromFormat("<method '%s' of '%s' objects>", descr->spec->name, short_name(descr->owner));
}

PyObject* get_doc(PyObject* self, void*) { return PyUnicode_FromString(as_descr(self)->spec->doc); }

PyObject* get_text_signature(PyObject* self, void*) {
  const char* sig = as_descr(self)->spec->text_signature;
  if (sig == nullptr) Py_RETURN_NONE;
  return PyUnicode_FromString(sig);
}

PyObject* get_name(PyObject* self, void*) { return PyUnicode_FromString(as_descr(self)->spec->name); }

PyObject* get_qualname(PyObject* self, void*) {
  MethodDescr* descr = as_descr(self);
  return PyUnicode_FromFormat("%s.%s", short_name(descr->owner), descr->spec->name);
}

PyObject* get_objclass(PyObject* self, void*) {
  PyObject* owner = reinterpret_cast<PyObject*>(as_descr(self)->owner);
  Py_INCREF(owner);
  return owner;
}

PyGetSetDef descr_getset[] = {
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef descr_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodDescr, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot descr_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(descr_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(descr_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {Py_tp_getset, descr_getset},
    {Py_tp_members, descr_members},
    {0, nullptr},
};

PyType_Spec descr_spec = {
    "_hovra.method_descriptor",
    sizeof(MethodDescr),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    descr_slots,
};

}  // namespace

bool init_method_descriptor_type() {
  if (g_descr_type != nullptr) return true;
  g_descr_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&descr_spec));
  return g_descr_type != nullptr;
}

bool add_methods(PyTypeObject* type, const MethodSpec* specs) {
  for (const MethodSpec* spec = specs; spec->name != nullptr; ++spec) {
    PyRef obj = PyRef::steal(g_descr_type->tp_alloc(g_descr_type, 0));
    if (!obj) return false;
    MethodDescr* descr = as_descr(obj.get());
    descr->vectorcall = descr_vectorcall;
    descr->spec = spec;
    Py_INCREF(reinterpret_cast<PyObject*>(type));
    descr->owner = type;
    if (PyDict_SetItemString(type->tp_dict, spec->name, obj.get()) < 0) return false;
  }
  PyType_Modified(type);
  return true;
}

}  // namespace hovra::py

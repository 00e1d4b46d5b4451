// Placeholder module initialiser (replaced by the real module).
#include <Python.h>
static PyModuleDef hovra_module = {PyModuleDef_HEAD_INIT, "_hovra", "", -1, nullptr};
PyMODINIT_FUNC PyInit__hovra(void) { return PyModule_Create(&hovra_module); }

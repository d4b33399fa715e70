// Placeholder module initialiser until the bindings land.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef velorin_module = {PyModuleDef_HEAD_INIT, "velorin_core", "", 0, nullptr,
                                     nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_velorin_core(void) { return PyModule_Create2(&velorin_module, 1013); }

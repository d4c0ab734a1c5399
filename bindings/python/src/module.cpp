// The extension module _halvo.
#include <Python.h>

static PyModuleDef_Slot kSlots[] = {{0, nullptr}};

static PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_halvo", "Every class, exception and constant, added to the module.", 0, nullptr,
    kSlots, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit__halvo() { return PyModuleDef_Init(&kModule); }

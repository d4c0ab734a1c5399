// The extension module _halvo.
#include <Python.h>

#include "module/install.hpp"
#include "module/consoles.hpp"
#include "module/errors.hpp"
#include "module/filesystems.hpp"
#include "module/images.hpp"
#include "py/module.hpp"

namespace {

void register_all(PyObject* module) {
    halvo::module::error::register_in(module);
    halvo::module::image::register_in(module);
    halvo::module::fs::register_in(module);
    halvo::module::console::register_in(module);
    halvo::module::ensure::register_in(module);
}

int exec_halvo(PyObject* module) { return halvo::py::exec_module(module, &register_all); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_halvo)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_halvo", "Every class, exception and constant, added to the module.", 0, nullptr,
    kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__halvo() { return PyModuleDef_Init(&kModule); }

// The extension module _halvo.
#include <Python.h>

#include "ensure.hpp"
#include "error.hpp"
#include "fs.hpp"
#include "image.hpp"
#include "py/module.hpp"

namespace {

void register_all(PyObject* module) {
    halvo::error::register_in(module);
    halvo::image::register_in(module);
    // Then, in this order: image::register_in (Step, Recipe, ImageSource,
    // BuildImageResult, ImageEntry, ImageClient), fs::register_in (Directory,
    // HostMount, mount_support), console::register_in (ConsoleClientBuilder,
    // ConsoleClient, ExecResult, ReadResult), ensure::register_in (ensure_halvo).
    halvo::fs::register_in(module);
    halvo::ensure::register_in(module);
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

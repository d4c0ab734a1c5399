#pragma once
// Attribute names looked up on every call, interned once and kept for the
// process; the GIL guards their making.
#include <Python.h>

namespace halvo::py::names {

PyObject* cancelled();
PyObject* create_future();
PyObject* set_result();
PyObject* set_exception();
PyObject* call_soon();
PyObject* run();
PyObject* add_done_callback();
PyObject* remove_done_callback();
PyObject* get_loop();
PyObject* _callbacks();
PyObject* _ready();
PyObject* _callback();
PyObject* _args();

}  // namespace halvo::py::names

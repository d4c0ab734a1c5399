#pragma once
// Helpers for a module's exec step.
#include <Python.h>

#include "py/errors.hpp"
#include "py/ref.hpp"

namespace halvo::py {

// Runs the body of an exec step: checks that the object is a module and
// that this is the main interpreter, registers the at-exit hook, then runs
// body; -1 with the exception set on failure.
int exec_module(PyObject* module, void (*body)(PyObject* module));

// Adds a class under its own name.
void add_type(PyObject* module, PyTypeObject* type);
// Adds a function reporting the module "halvo". The definition is kept for
// the life of the process.
void add_function(PyObject* module, const PyMethodDef& def);
void add_object(PyObject* module, const char* name, Ref value);

}  // namespace halvo::py

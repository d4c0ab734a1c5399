#pragma once
// The module function ensure_halvo.
#include <Python.h>

namespace halvo::module::ensure {

// Adds the function ensure_halvo.
void register_in(PyObject* module);

}  // namespace halvo::module::ensure

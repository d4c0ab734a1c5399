#pragma once
// The file-system classes of the module: Directory, HostMount and
// mount_support.
#include <Python.h>

namespace halvo::fs {

// Adds the class Directory, the class HostMount, then mount_support.
void register_in(PyObject* module);

}  // namespace halvo::fs

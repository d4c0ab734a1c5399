#pragma once
// The console classes of the module: ConsoleClientBuilder, ConsoleClient,
// ExecResult and ReadResult.
#include <Python.h>

namespace halvo::module::console {

// Adds ConsoleClientBuilder, ConsoleClient, ExecResult and ReadResult, in
// that order.
void register_in(PyObject* module);

}  // namespace halvo::module::console

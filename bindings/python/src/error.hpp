#pragma once
// The module's exceptions and ERROR_CODES, and the conversion of core
// errors into them.
#include <Python.h>

#include "protocol/base.hpp"  // also the core error chain
#include "py/ref.hpp"

namespace halvo::error {

// Adds HalvoError, ConsoleRefused, ConsoleBroken, then ERROR_CODES.
void register_in(PyObject* module);

// ConsoleRefused(message) with `code`, or ConsoleBroken(rendered chain).
py::Ref failure(protocol::Failure f);
// The Failure inside the chain, if any; else HalvoError(rendered chain).
py::Ref from_chain(Chain c);

}  // namespace halvo::error

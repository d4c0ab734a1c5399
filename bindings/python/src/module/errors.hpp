#pragma once
// The module's exceptions and ERROR_CODES, and the conversion of core
// errors into them.
#include <Python.h>

#include "base/error.hpp"
#include "protocol/base.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace halvo::module::error {

// Adds HalvoError, ConsoleRefused, ConsoleBroken, then ERROR_CODES.
void register_in(PyObject* module);

// What reaches the script, built on any thread: ConsoleRefused with the
// code, or ConsoleBroken with the chain alone (not "the console channel
// broke").
py::ScriptError failure(const protocol::Failure& f);
// The Failure inside the chain, if any; else HalvoError(rendered chain).
py::ScriptError from_chain(const Chain& c);

// A client operation's result as the script sees it.
template <class T>
Result<T, py::ScriptError> scripted(protocol::FailureResult<T> r) {
    return std::move(r).map_error([](const protocol::Failure& f) { return failure(f); });
}

}  // namespace halvo::module::error

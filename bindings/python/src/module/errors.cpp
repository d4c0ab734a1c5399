#include "module/errors.hpp"

#include "protocol/message/error.hpp"
#include "py/module.hpp"
#include "py/state.hpp"

namespace halvo::module::error {

namespace {

// Each type is made once per process and kept in the module's state. Making
// one may run Python code that lets another thread in, so a type made
// meanwhile by that thread wins and ours is dropped.
PyObject* once(PyObject*& slot, const char* name, const char* doc, PyObject* base, PyObject* attrs = nullptr) {
    if (slot) return slot;
    PyObject* type = PyErr_NewExceptionWithDoc(name, doc, base, attrs);
    if (!type) throw py::ErrorAlreadySet{};
    if (slot) {
        Py_DECREF(type);
    } else {
        slot = type;
    }
    return slot;
}

}  // namespace

void register_in(PyObject* module) {
    py::ScriptExceptions& types = py::make_state().exceptions;
    PyObject* base = once(types.halvo, "halvo.HalvoError",
                          "A halvo operation failed; the message says what it was doing, outermost first.",
                          PyExc_Exception);
    // A ConsoleRefused a script raises itself has a code too, the class's.
    auto attrs = py::check(PyDict_New());
    auto internal = py::check(PyLong_FromLongLong(protocol::message::kInternalError));
    py::check(PyDict_SetItemString(attrs.get(), "code", internal.get()));
    once(types.refused, "halvo.ConsoleRefused",
         "The server refused a call: the message is its error message, and `code` its error code,\n"
         "one of `ERROR_CODES` or another the server chose. Raised without one, `code` is\n"
         "`INTERNAL_ERROR`.",
         base, attrs.get());
    once(types.broken, "halvo.ConsoleBroken",
         "The channel to the server broke: the server could not start, ended, or sent what cannot\n"
         "be read. The message says where.",
         base);
    py::add_object(module, "HalvoError", py::Ref::borrow(types.halvo));
    py::add_object(module, "ConsoleRefused", py::Ref::borrow(types.refused));
    py::add_object(module, "ConsoleBroken", py::Ref::borrow(types.broken));
    auto codes = py::check(PyDict_New());
    for (const auto& c : protocol::message::kErrorCodes) {
        auto code = py::check(PyLong_FromLongLong(c.code));
        py::check(PyDict_SetItemString(codes.get(), c.name, code.get()));
    }
    py::add_object(module, "ERROR_CODES", std::move(codes));
}

py::ScriptError failure(const protocol::Failure& f) {
    if (const auto* e = f.refused_error()) return py::ScriptError::refused(e->message, e->code);
    return py::ScriptError::broken(f.broken_chain()->render());
}

py::ScriptError from_chain(const Chain& c) {
    if (const auto* f = protocol::find_failure(c)) return failure(*f);
    return py::ScriptError::halvo(c.render());
}

}  // namespace halvo::module::error

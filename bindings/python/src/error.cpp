#include "error.hpp"

#include "protocol/message/error.hpp"
#include "py/errors.hpp"
#include "py/module.hpp"

namespace halvo::error {

namespace {

// Each type is made once per process and kept for its life. Making one may
// run Python code that lets another thread in, so a type made meanwhile by
// that thread wins and ours is dropped.
PyObject* once(PyObject*& slot, const char* name, PyObject* base) {
    if (slot) return slot;
    PyObject* type = PyErr_NewException(name, base, nullptr);
    if (!type) throw py::ErrorAlreadySet{};
    if (slot) {
        Py_DECREF(type);
    } else {
        slot = type;
    }
    return slot;
}

PyObject* g_halvo = nullptr;
PyObject* g_refused = nullptr;
PyObject* g_broken = nullptr;

void make_types() {
    PyObject* base = once(g_halvo, "halvo.HalvoError", PyExc_Exception);
    once(g_refused, "halvo.ConsoleRefused", base);
    once(g_broken, "halvo.ConsoleBroken", base);
    py::set_script_exceptions({g_halvo, g_refused, g_broken});
}

}  // namespace

void register_in(PyObject* module) {
    make_types();
    py::add_object(module, "HalvoError", py::Ref::borrow(g_halvo));
    py::add_object(module, "ConsoleRefused", py::Ref::borrow(g_refused));
    py::add_object(module, "ConsoleBroken", py::Ref::borrow(g_broken));
    auto codes = py::check(PyDict_New());
    for (const auto& c : protocol::message::kErrorCodes) {
        auto code = py::check(PyLong_FromLongLong(c.code));
        py::check(PyDict_SetItemString(codes.get(), c.name, code.get()));
    }
    py::add_object(module, "ERROR_CODES", std::move(codes));
}

py::Ref failure(protocol::Failure f) {
    make_types();
    return py::ScriptError::failure(f).to_exception();
}

py::Ref from_chain(Chain c) {
    make_types();
    return py::ScriptError::from_chain(c).to_exception();
}

}  // namespace halvo::error

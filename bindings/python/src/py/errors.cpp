#include "py/errors.hpp"

#include <exception>
#include <new>

#include "py/convert.hpp"

namespace halvo::py {

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw ErrorAlreadySet{};
}

void raise(Ref exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw ErrorAlreadySet{};
}

void set_error_from_current_exception() {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
}

namespace {
// Immortal: never released, so nothing runs at interpreter exit.
ScriptExceptions g_exceptions;

PyObject* os_error_type(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::NotFound: return PyExc_FileNotFoundError;
        case ErrorKind::PermissionDenied: return PyExc_PermissionError;
        case ErrorKind::AlreadyExists: return PyExc_FileExistsError;
        case ErrorKind::IsADirectory: return PyExc_IsADirectoryError;
        case ErrorKind::NotADirectory: return PyExc_NotADirectoryError;
        case ErrorKind::Interrupted: return PyExc_InterruptedError;
        case ErrorKind::WouldBlock: return PyExc_BlockingIOError;
        case ErrorKind::TimedOut: return PyExc_TimeoutError;
        case ErrorKind::BrokenPipe: return PyExc_BrokenPipeError;
        case ErrorKind::ConnectionRefused: return PyExc_ConnectionRefusedError;
        case ErrorKind::ConnectionAborted: return PyExc_ConnectionAbortedError;
        case ErrorKind::ConnectionReset: return PyExc_ConnectionResetError;
        case ErrorKind::OutOfMemory: return PyExc_MemoryError;
        default: return PyExc_OSError;
    }
}

Ref new_exception(PyObject* type, const std::string& text) {
    auto msg = text_to_python(text);
    return call(type, msg.get());
}

PyObject* registered(PyObject* type) {
    if (!type) raise(PyExc_SystemError, "the halvo exception types are not registered");
    return type;
}
}  // namespace

const ScriptExceptions& script_exceptions() { return g_exceptions; }

void set_script_exceptions(const ScriptExceptions& types) {
    Py_XINCREF(types.halvo);
    Py_XINCREF(types.refused);
    Py_XINCREF(types.broken);
    g_exceptions = types;
}

Ref io_exception(const IoError& err) { return new_exception(os_error_type(err.kind), err.text()); }

void raise_io(const IoError& err) { raise(io_exception(err)); }

ScriptError ScriptError::failure(const protocol::Failure& f) {
    if (const auto* e = f.refused_error()) {
        ScriptError s(Kind::Refused, e->message);
        s.code_ = e->code;
        return s;
    }
    // The chain alone: the script does not see "the console channel broke".
    return ScriptError(Kind::Broken, f.broken_chain()->render());
}

ScriptError ScriptError::from_chain(const Chain& c) {
    if (const auto* f = protocol::find_failure(c)) return failure(*f);
    return halvo(c.render());
}

ScriptError ScriptError::io(const IoError& err) {
    ScriptError s(Kind::Io, {});
    s.io_ = err;
    return s;
}

Ref ScriptError::to_exception() const {
    switch (kind_) {
        case Kind::Halvo: return new_exception(registered(g_exceptions.halvo), text_);
        case Kind::Refused: {
            auto exc = new_exception(registered(g_exceptions.refused), text_);
            // A failure to set the code is dropped: the exception still goes out.
            PyObject* code = PyLong_FromLongLong(code_);
            if (!code || PyObject_SetAttrString(exc.get(), "code", code) < 0) PyErr_Clear();
            Py_XDECREF(code);
            return exc;
        }
        case Kind::Broken: return new_exception(registered(g_exceptions.broken), text_);
        case Kind::Value: return new_exception(PyExc_ValueError, text_);
        case Kind::Runtime: return new_exception(PyExc_RuntimeError, text_);
        case Kind::Io: return io_exception(io_);
        case Kind::Panic: return new_exception(PyExc_RuntimeError, "the operation panicked: " + text_);
        case Kind::Memory: return check(PyObject_CallNoArgs(PyExc_MemoryError));
    }
    return new_exception(PyExc_SystemError, text_);
}

void ScriptError::raise() const { py::raise(to_exception()); }

}  // namespace halvo::py

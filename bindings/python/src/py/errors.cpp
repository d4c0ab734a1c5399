#include "py/errors.hpp"

#include <exception>
#include <new>
#include <utility>

#include "py/convert.hpp"
#include "py/state.hpp"

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

KeptInterrupt::~KeptInterrupt() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(tb_);
}

bool KeptInterrupt::keep() {
    PyObject* type = PyErr_Occurred();
    if (!type || PyErr_GivenExceptionMatches(type, PyExc_Exception)) return false;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    if (type_) {
        Py_XDECREF(t);
        Py_XDECREF(v);
        Py_XDECREF(tb);
    } else {
        type_ = t;
        value_ = v;
        tb_ = tb;
    }
    return true;
}

void KeptInterrupt::raise_if_kept() {
    if (!type_) return;
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(tb_, nullptr));
    throw ErrorAlreadySet{};
}

namespace {

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

Ref io_exception(const IoError& err) { return new_exception(os_error_type(err.kind), err.text()); }

void raise_io(const IoError& err) { raise(io_exception(err)); }

ScriptError ScriptError::refused(std::string message, int64_t code) {
    ScriptError s(Kind::Refused, std::move(message));
    s.code_ = code;
    return s;
}

ScriptError ScriptError::io(const IoError& err) {
    ScriptError s(Kind::Io, {});
    s.io_ = err;
    return s;
}

Ref ScriptError::to_exception() const {
    const ScriptExceptions& types = state().exceptions;
    switch (kind_) {
        case Kind::Halvo: return new_exception(registered(types.halvo), text_);
        case Kind::Refused: {
            auto exc = new_exception(registered(types.refused), text_);
            // A failure to set the code is dropped: the exception still goes out.
            PyObject* code = PyLong_FromLongLong(code_);
            if (!code || PyObject_SetAttrString(exc.get(), "code", code) < 0) PyErr_Clear();
            Py_XDECREF(code);
            return exc;
        }
        case Kind::Broken: return new_exception(registered(types.broken), text_);
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

#pragma once
// How errors cross into Python: C++ exceptions inside binding code, and
// ScriptError, the Python-free outcome of a failed operation.
#include <Python.h>

#include <cstdint>
#include <string>

#include "base/error.hpp"
#include "py/ref.hpp"

namespace halvo::py {

// Sets a Python error and throws ErrorAlreadySet.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Raises an exception object.
[[noreturn]] void raise(Ref exc);

// Inside a catch block at a C entry point: turns the exception in flight
// into a pending Python error (std::bad_alloc becomes MemoryError).
void set_error_from_current_exception();

// Runs fn at a C entry point, returning `failed` with a Python error set
// when fn throws.
template <class R, class F>
R guarded(R failed, F&& fn) {
    GilMark gil(true);
    try {
        return fn();
    } catch (...) {
        set_error_from_current_exception();
        return failed;
    }
}

// What a signal handler raised (KeyboardInterrupt, SystemExit: no
// Exception) while a batch of work ran, kept aside so that the rest of the
// batch still runs, and raised once it has.
class KeptInterrupt {
public:
    KeptInterrupt() = default;
    KeptInterrupt(const KeptInterrupt&) = delete;
    KeptInterrupt& operator=(const KeptInterrupt&) = delete;
    ~KeptInterrupt();
    // With an error set: takes it when it is an interrupt (the first one
    // stays, later ones go) and says so; leaves any other error set.
    bool keep();
    // Sets what was kept as the error and throws ErrorAlreadySet, if anything was.
    void raise_if_kept();

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// The OSError subclass of an I/O error's kind, made with the text as its
// only argument so that errno and strerror stay None.
Ref io_exception(const IoError& err);
[[noreturn]] void raise_io(const IoError& err);

// The outcome of a failed operation, built on any thread, raised under the
// GIL.
class ScriptError {
public:
    enum class Kind { Halvo, Refused, Broken, Value, Runtime, Io, Panic, Memory };

    static ScriptError halvo(std::string text) { return {Kind::Halvo, std::move(text)}; }
    // The server refused: its message and code.
    static ScriptError refused(std::string message, int64_t code);
    static ScriptError broken(std::string text) { return {Kind::Broken, std::move(text)}; }
    static ScriptError value(std::string text) { return {Kind::Value, std::move(text)}; }
    static ScriptError runtime(std::string text) { return {Kind::Runtime, std::move(text)}; }
    static ScriptError io(const IoError& err);
    // An exception that escaped an operation.
    static ScriptError panic(std::string text) { return {Kind::Panic, std::move(text)}; }
    static ScriptError out_of_memory() { return {Kind::Memory, {}}; }

    Kind kind() const { return kind_; }
    const std::string& text() const { return text_; }
    int64_t code() const { return code_; }

    // With the GIL held.
    Ref to_exception() const;
    [[noreturn]] void raise() const;

private:
    ScriptError(Kind k, std::string text) : kind_(k), text_(std::move(text)) {}
    Kind kind_;
    std::string text_;
    int64_t code_ = 0;
    IoError io_;
};

}  // namespace halvo::py

#pragma once
// Owning references and the interpreter lock.
#include <Python.h>

#include <optional>
#include <utility>

#include "platform/fd.hpp"

namespace halvo::py {

// Thrown inside binding code when a Python error is pending; the entry
// point turns it back into a NULL return.
struct ErrorAlreadySet {};

// An owning, move-only reference. Only touched with the GIL held.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Owns the result of a C API call that returns a new reference or NULL
// with an error set.
inline Ref check(PyObject* p) {
    if (!p) throw ErrorAlreadySet{};
    return Ref::steal(p);
}
inline void check(int status) {
    if (status < 0) throw ErrorAlreadySet{};
}

// Calls f with the given objects as positional arguments.
template <class... A>
Ref call(PyObject* f, A*... args) {
    return check(PyObject_CallFunctionObjArgs(f, static_cast<PyObject*>(args)..., nullptr));
}

// Set by the atexit hook, with the GIL held: from then on no thread takes
// the GIL again and deferred references are leaked instead of released.
bool finalizing();
void set_finalizing();

// Whether this thread holds the GIL, as far as the binding layer knows:
// marked at every entry from Python and by GilGuard, cleared by NoGil.
bool gil_marked();
class GilMark {
public:
    explicit GilMark(bool held);
    GilMark(const GilMark&) = delete;
    GilMark& operator=(const GilMark&) = delete;
    ~GilMark();

private:
    bool saved_;
};

// A reference that a task may hold and drop on any thread. Dropped where
// the GIL is marked held, it is released at once; elsewhere the decref runs
// on a blocking-pool job that takes the GIL. Leaked once finalizing.
class DeferredRef {
public:
    DeferredRef() = default;
    explicit DeferredRef(Ref r) : p_(r.release()) {}
    DeferredRef(DeferredRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    DeferredRef& operator=(DeferredRef&& o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    DeferredRef(const DeferredRef&) = delete;
    DeferredRef& operator=(const DeferredRef&) = delete;
    ~DeferredRef();

    PyObject* get() const { return p_; }
    // With the GIL held: back to a plain reference.
    Ref take() { return Ref::steal(std::exchange(p_, nullptr)); }

private:
    PyObject* p_ = nullptr;
};

// Takes the GIL on a thread Python did not start, unless the interpreter
// is finalising; checked before and after taking the lock. The at-exit hook
// waits for every guard in flight, so none takes the GIL once finalisation
// has begun. Callers test held().
class GilGuard {
public:
    GilGuard();
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;
    ~GilGuard() { release(); }
    bool held() const { return held_; }

private:
    void release();
    PyGILState_STATE state_{};
    bool held_ = false;
    bool counted_ = false;
    std::optional<GilMark> mark_;
};

// Releases the GIL for a blocking wait on a script thread.
class NoGil {
public:
    NoGil() : save_(PyEval_SaveThread()) {}
    NoGil(const NoGil&) = delete;
    NoGil& operator=(const NoGil&) = delete;
    ~NoGil() { PyEval_RestoreThread(save_); }

private:
    PyThreadState* save_;
    GilMark mark_{false};
};

// Lets go of the GIL for each wait it brackets, on a thread that holds it.
class GilFreeWait final : public platform::AroundWait {
public:
    void enter() override {
        save_ = PyEval_SaveThread();
        mark_.emplace(false);
    }
    void leave() override {
        mark_.reset();
        PyEval_RestoreThread(save_);
    }

private:
    PyThreadState* save_ = nullptr;
    std::optional<GilMark> mark_;
};

}  // namespace halvo::py

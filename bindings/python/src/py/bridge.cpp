#include "py/bridge.hpp"

#include <asio/system_error.hpp>

#include <cstdio>
#include <exception>
#include <new>

#include "rt/runtime.hpp"

namespace halvo::py {

namespace {

Ref attr(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }

bool is_cancelled(PyObject* fut) {
    auto r = call(attr(fut, "cancelled").get());
    int truth = PyObject_IsTrue(r.get());
    check(truth);
    return truth == 1;
}

// loop.call_soon_threadsafe(complete, fut, method, value): runs on the
// loop's thread, where the future may have been cancelled meanwhile.
PyObject* complete(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&] {
        if (nargs != 3) raise(PyExc_TypeError, "complete() takes 3 arguments");
        if (!is_cancelled(args[0])) call(args[1], args[2]);
        return Py_NewRef(Py_None);
    });
}

const char kSignalCapsule[] = "halvo.cancel_signal";

// The future's done-callback; its self is a capsule holding only the
// task's cancel signal, so no reference cycle forms through the future.
PyObject* on_future_done(PyObject* capsule, PyObject* fut) {
    return guarded<PyObject*>(nullptr, [&] {
        if (is_cancelled(fut)) {
            auto* signal = static_cast<std::shared_ptr<rt::CancelSignal>*>(PyCapsule_GetPointer(capsule, kSignalCapsule));
            if (!signal) throw ErrorAlreadySet{};
            (*signal)->cancel();
        }
        return Py_NewRef(Py_None);
    });
}

void free_signal(PyObject* capsule) {
    delete static_cast<std::shared_ptr<rt::CancelSignal>*>(PyCapsule_GetPointer(capsule, kSignalCapsule));
}

PyMethodDef kComplete = {"complete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&complete)),
                         METH_FASTCALL, nullptr};
PyMethodDef kOnDone = {"on_future_done", &on_future_done, METH_O, nullptr};

// Looked up once per process and kept for its life.
struct Cache {
    PyObject* get_running_loop;
    PyObject* copy_context;
    PyObject* complete;
};

const Cache& cache() {
    static Cache* c = nullptr;  // the GIL guards it
    if (!c) {
        auto asyncio = check(PyImport_ImportModule("asyncio"));
        auto contextvars = check(PyImport_ImportModule("contextvars"));
        auto get_running_loop = attr(asyncio.get(), "get_running_loop");
        auto copy_context = attr(contextvars.get(), "copy_context");
        auto completor = check(PyCFunction_NewEx(&kComplete, nullptr, nullptr));
        c = new Cache{get_running_loop.release(), copy_context.release(), completor.release()};
    }
    return *c;
}

// What the task holds of Python: released under the GIL.
struct Target {
    DeferredRef loop, fut, ctx;
};

void post(Target& target, Outcome& outcome) {
    Ref fut = target.fut.take();
    Ref loop = target.loop.take();
    Ref ctx = target.ctx.take();
    if (is_cancelled(fut.get())) return;
    Ref method, value;
    try {
        if (outcome) {
            value = outcome.value()->to_python();
            method = attr(fut.get(), "set_result");
        } else {
            value = outcome.error().to_exception();
            method = attr(fut.get(), "set_exception");
        }
    } catch (const ErrorAlreadySet&) {
        // The conversion itself failed: the future gets that error.
        PyObject *type, *exc, *tb;
        PyErr_Fetch(&type, &exc, &tb);
        PyErr_NormalizeException(&type, &exc, &tb);
        Py_XDECREF(type);
        Py_XDECREF(tb);
        if (!exc) throw;
        value = Ref::steal(exc);
        method = attr(fut.get(), "set_exception");
    }
    auto call_soon = attr(loop.get(), "call_soon_threadsafe");
    auto args = check(PyTuple_Pack(4, cache().complete, fut.get(), method.get(), value.get()));
    auto kwargs = check(PyDict_New());
    check(PyDict_SetItemString(kwargs.get(), "context", ctx.get()));
    if (PyObject* handle = PyObject_Call(call_soon.get(), args.get(), kwargs.get())) {
        Py_DECREF(handle);
    } else {
        // A closed loop, for instance: nobody is left to tell but stderr.
        PyErr_WriteUnraisable(call_soon.get());
    }
}

// On a blocking-pool thread. No noexcept frame and no catch-all here: a
// thread that takes the GIL during finalisation may be ended by pthread_exit,
// whose unwinding must pass through.
void deliver(Target& target, Outcome& outcome) {
    GilGuard gil;
    if (!gil.held()) return;  // finalising: the references are leaked
    try {
        post(target, outcome);
    } catch (const ErrorAlreadySet&) {
        PyErr_WriteUnraisable(nullptr);
    } catch (const std::bad_alloc&) {
        std::fputs("halvo: out of memory while delivering an outcome\n", stderr);
    }
}

Outcome outcome_of(std::exception_ptr e, std::optional<Outcome>& v) {
    if (!e) return std::move(*v);
    try {
        std::rethrow_exception(e);
    } catch (const std::bad_alloc&) {
        return fail(ScriptError::out_of_memory());
    } catch (const std::exception& x) {
        return fail(ScriptError::panic(x.what()));
    } catch (...) {
        // A runtime worker never takes the GIL, so catching all is safe here.
        return fail(ScriptError::panic("unknown exception"));
    }
}

}  // namespace

namespace detail {

Ref start(asio::awaitable<Outcome> op, const rt::Strand* strand) {
    const Cache& c = cache();
    Ref loop = call(c.get_running_loop);
    Ref ctx = call(c.copy_context);
    Ref fut = call(attr(loop.get(), "create_future").get());

    auto signal = strand ? std::make_shared<rt::CancelSignal>(*strand) : std::make_shared<rt::CancelSignal>();
    auto holder = std::make_unique<std::shared_ptr<rt::CancelSignal>>(signal);
    auto capsule = check(PyCapsule_New(holder.get(), kSignalCapsule, &free_signal));
    holder.release();
    auto on_done = check(PyCFunction_NewEx(&kOnDone, capsule.get(), nullptr));
    call(attr(fut.get(), "add_done_callback").get(), on_done.get());

    auto target = std::make_shared<Target>(
        Target{DeferredRef(std::move(loop)), DeferredRef(Ref::borrow(fut.get())), DeferredRef(std::move(ctx))});
    rt::spawn(std::move(op), signal,
              [target, signal](std::exception_ptr e, std::optional<Outcome> v) mutable {
                  // A cancelled task delivers nothing, whatever it ended with.
                  if (signal->cancelled()) return;
                  // Shared, as jobs must be copyable; it is dropped after the GIL is released.
                  auto outcome = std::make_shared<Outcome>(outcome_of(e, v));
                  rt::blocking([target, outcome] {
                      deliver(*target, *outcome);
                  });
              });
    return fut;
}

}  // namespace detail

namespace {

class Self final : public Delivery {
public:
    explicit Self(DeferredRef self) : self_(std::move(self)) {}
    Ref to_python() override { return self_.take(); }

private:
    DeferredRef self_;
};

asio::awaitable<Outcome> resolve_to(DeferredRef self) {
    co_return std::unique_ptr<Delivery>(new Self(std::move(self)));
}

}  // namespace

Ref ready(PyObject* self) {
    return detail::start(resolve_to(DeferredRef(Ref::borrow(self))), nullptr);
}

}  // namespace halvo::py

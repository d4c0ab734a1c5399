#include "py/bridge.hpp"

#include <asio/system_error.hpp>

#include <cstdio>
#include <exception>
#include <new>
#include <optional>

#include "py/loop.hpp"
#include "py/names.hpp"
#include "py/state.hpp"
#include "rt/runtime.hpp"

namespace halvo::py {

namespace {

Ref attr(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }

Ref call_method(PyObject* o, PyObject* name, PyObject* arg = nullptr) {
    return check(PyObject_CallMethodObjArgs(o, name, arg, nullptr));
}

bool is_cancelled(PyObject* fut) {
    auto r = call_method(fut, names::cancelled());
    int truth = PyObject_IsTrue(r.get());
    check(truth);
    return truth == 1;
}

// How many times a done-callback is scheduled again after interrupts; a
// signal that keeps coming faster than that is let through.
constexpr int kScheduleTries = 64;

// Whether one of the last few handles of an asyncio loop's ready queue
// runs cb(fut): call_soon put it there before a signal handler raised.
bool queued_already(PyObject* loop, PyObject* cb, PyObject* fut) {
    Ref ready = Ref::steal(PyObject_GetAttr(loop, names::_ready()));
    if (!ready) {
        PyErr_Clear();
        return false;
    }
    const Py_ssize_t n = PyObject_Length(ready.get());
    for (Py_ssize_t i = n - 1; i >= 0 && i >= n - 8; --i) {
        Ref h = Ref::steal(PySequence_GetItem(ready.get(), i));
        Ref f = h ? Ref::steal(PyObject_GetAttr(h.get(), names::_callback())) : Ref();
        Ref a = f ? Ref::steal(PyObject_GetAttr(h.get(), names::_args())) : Ref();
        if (!a) {
            PyErr_Clear();
            continue;
        }
        if (f.get() == cb && PyTuple_Check(a.get()) && PyTuple_Size(a.get()) == 1 && PyTuple_GetItem(a.get(), 0) == fut)
            return true;
    }
    if (n < 0) PyErr_Clear();
    return false;
}

// fn(*args, context=ctx), or fn(*args) without ctx: a new reference, or
// null with the error set.
PyObject* call_in_context(PyObject* fn, PyObject* args, PyObject* ctx) {
    Ref kwargs;
    if (ctx) {
        kwargs = check(PyDict_New());
        check(PyDict_SetItemString(kwargs.get(), "context", ctx));
    }
    return PyObject_Call(fn, args, kwargs.get());
}

// loop.call_soon(cb, fut, context=ctx) until it is in, whatever signal
// handlers raise meanwhile.
void schedule_callback(PyObject* loop, PyObject* cb, PyObject* fut, PyObject* ctx, KeptInterrupt& kept) {
    auto call_soon = check(PyObject_GetAttr(loop, names::call_soon()));
    auto args = check(PyTuple_Pack(2, cb, fut));
    for (int tries = 0; tries < kScheduleTries; ++tries) {
        if (PyObject* handle = call_in_context(call_soon.get(), args.get(), ctx)) {
            Py_DECREF(handle);
            return;
        }
        if (!kept.keep()) {
            // A closed loop, say: nothing of it will run.
            PyErr_WriteUnraisable(call_soon.get());
            return;
        }
        if (queued_already(loop, cb, fut)) return;
    }
}

// Sets fut through method (its set_result or set_exception), in ctx when
// there is one. A signal handler that raises while the future schedules its
// done-callbacks (Ctrl-C's KeyboardInterrupt, in the loop's call_soon)
// would drop the rest of them, and the task awaiting the future would wait
// for ever: so they are taken off first, the future is set, and each is
// scheduled here, again after an interrupt until it is in. The interrupt is
// raised once all are.
void set_future(PyObject* fut, PyObject* method, PyObject* value, PyObject* ctx) {
    Ref callbacks = Ref::steal(PyObject_GetAttr(fut, names::_callbacks()));
    if (!callbacks) PyErr_Clear();  // a future that does not show them is set as it is
    const Py_ssize_t n = callbacks && PyList_Check(callbacks.get()) ? PyList_Size(callbacks.get()) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* entry = PyList_GetItem(callbacks.get(), i);  // (callback, context)
        if (!PyTuple_Check(entry) || PyTuple_Size(entry) != 2) raise(PyExc_SystemError, "a future's callback entry is not a pair");
        check(PyObject_CallMethodObjArgs(fut, names::remove_done_callback(), PyTuple_GetItem(entry, 0), nullptr));
    }
    Ref set = Ref::steal(ctx ? PyObject_CallMethodObjArgs(ctx, names::run(), method, value, nullptr)
                             : PyObject_CallFunctionObjArgs(method, value, nullptr));
    if (!set) {
        // Not set after all (cancelled meanwhile, say): its callbacks are its own again.
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* entry = PyList_GetItem(callbacks.get(), i);
            auto add = check(PyObject_GetAttr(fut, names::add_done_callback()));
            auto args = check(PyTuple_Pack(1, PyTuple_GetItem(entry, 0)));
            if (PyObject* r = call_in_context(add.get(), args.get(), PyTuple_GetItem(entry, 1))) Py_DECREF(r);
            else PyErr_WriteUnraisable(add.get());
        }
        PyErr_Restore(t, v, tb);
        throw ErrorAlreadySet{};
    }
    if (n == 0) return;
    auto loop = check(PyObject_CallMethodObjArgs(fut, names::get_loop(), nullptr));
    KeptInterrupt kept;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* entry = PyList_GetItem(callbacks.get(), i);
        schedule_callback(loop.get(), PyTuple_GetItem(entry, 0), fut, PyTuple_GetItem(entry, 1), kept);
    }
    kept.raise_if_kept();
}

// loop.call_soon_threadsafe(complete, fut, method, value): runs on the
// loop's thread, where the future may have been cancelled meanwhile.
PyObject* complete(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&] {
        if (nargs != 3) raise(PyExc_TypeError, "complete() takes 3 arguments");
        if (!is_cancelled(args[0])) set_future(args[0], args[1], args[2], nullptr);
        return Py_NewRef(Py_None);
    });
}

const char kStopCapsule[] = "halvo.cancel";

// The future's done-callback; its self is a capsule holding only what the
// cancel stops, so no reference cycle forms through the future.
PyObject* on_future_done(PyObject* capsule, PyObject* fut) {
    return guarded<PyObject*>(nullptr, [&] {
        if (is_cancelled(fut)) {
            auto* stop = static_cast<std::shared_ptr<Cancellable>*>(PyCapsule_GetPointer(capsule, kStopCapsule));
            if (!stop) throw ErrorAlreadySet{};
            (*stop)->cancel();
        }
        return Py_NewRef(Py_None);
    });
}

void free_stop(PyObject* capsule) {
    delete static_cast<std::shared_ptr<Cancellable>*>(PyCapsule_GetPointer(capsule, kStopCapsule));
}

PyMethodDef kComplete = {"complete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&complete)),
                         METH_FASTCALL, nullptr};
PyMethodDef kOnDone = {"on_future_done", &on_future_done, METH_O, nullptr};

// Made once per process and kept for its life.
PyObject* completor() {
    static PyObject* c = nullptr;  // the GIL guards it
    if (!c) c = check(PyCFunction_NewEx(&kComplete, nullptr, nullptr)).release();
    return c;
}

// The value or the exception for the future, and the method that sets it.
std::pair<Ref, Ref> settlement(PyObject* fut, Outcome& outcome) {
    Ref method, value;
    try {
        if (outcome) {
            value = outcome.value()->to_python();
            method = check(PyObject_GetAttr(fut, names::set_result()));
        } else {
            value = outcome.error().to_exception();
            method = check(PyObject_GetAttr(fut, names::set_exception()));
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
        method = check(PyObject_GetAttr(fut, names::set_exception()));
    }
    return {std::move(method), std::move(value)};
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

namespace {

// Has call_soon (the loop's, or its thread-safe twin) run the completor for
// fut, in ctx when there is one: a new reference, or null with the error set.
PyObject* schedule_completor(PyObject* call_soon, PyObject* fut, PyObject* method, PyObject* value, PyObject* ctx) {
    auto args = check(PyTuple_Pack(4, completor(), fut, method, value));
    return call_in_context(call_soon, args.get(), ctx);
}

}  // namespace

struct AwaiterAccess {
    // The old way, from a thread that is not the loop's: call_soon_threadsafe.
    static void post(Awaiter& aw, Outcome& outcome) {
        Ref fut = aw.fut_.take();
        Ref loop = aw.loop_.take();
        Ref ctx = aw.ctx_.take();
        if (is_cancelled(fut.get())) return;
        auto [method, value] = settlement(fut.get(), outcome);
        auto call_soon = attr(loop.get(), "call_soon_threadsafe");
        if (PyObject* handle =
                schedule_completor(call_soon.get(), fut.get(), method.get(), value.get(), ctx.get())) {
            Py_DECREF(handle);
        } else {
            // A closed loop, for instance: nobody is left to tell but stderr.
            PyErr_WriteUnraisable(call_soon.get());
        }
    }
};

namespace {

// On a blocking-pool thread. No noexcept frame and no catch-all here: a
// thread that takes the GIL during finalisation may be ended by pthread_exit,
// whose unwinding must pass through.
void deliver(Awaiter& aw, Outcome& outcome) {
    GilGuard gil;
    if (!gil.held()) return;  // finalising: the references are leaked
    try {
        AwaiterAccess::post(aw, outcome);
    } catch (const ErrorAlreadySet&) {
        PyErr_WriteUnraisable(nullptr);
    } catch (const std::bad_alloc&) {
        std::fputs("halvo: out of memory while delivering an outcome\n", stderr);
    }
}

void deliver_later(std::shared_ptr<Awaiter> aw, Outcome outcome) {
    // Shared, as jobs must be copyable; it is dropped after the GIL is released.
    auto shared = std::make_shared<Outcome>(std::move(outcome));
    rt::blocking([aw = std::move(aw), shared] { deliver(*aw, *shared); });
}

class Settle final : public Posted {
public:
    Settle(std::shared_ptr<Awaiter> aw, Outcome outcome) : aw_(std::move(aw)), outcome_(std::move(outcome)) {}
    void run() override { aw_->settle(outcome_); }
    void orphan() override { deliver_later(std::move(aw_), std::move(outcome_)); }

private:
    std::shared_ptr<Awaiter> aw_;
    Outcome outcome_;
};

class TaskCancel final : public Cancellable {
public:
    explicit TaskCancel(std::shared_ptr<rt::CancelSignal> s) : signal_(std::move(s)) {}
    void cancel() override { signal_->cancel(); }

private:
    std::shared_ptr<rt::CancelSignal> signal_;
};

std::shared_ptr<rt::CancelSignal> signal_on(const rt::Strand* strand) {
    return strand ? std::make_shared<rt::CancelSignal>(*strand) : std::make_shared<rt::CancelSignal>();
}

}  // namespace

Awaiter::Awaiter(Ref loop, Ref fut, Ref ctx, std::shared_ptr<LoopPort> port)
    : loop_(std::move(loop)), fut_(std::move(fut)), ctx_(std::move(ctx)), port_(std::move(port)) {}

std::shared_ptr<Awaiter> Awaiter::create() {
    Ref loop = call(library().get_running_loop);
    Ref fut = call_method(loop.get(), names::create_future());
    auto port = LoopPort::of(loop.get());
    return std::make_shared<Awaiter>(std::move(loop), std::move(fut), Ref(), std::move(port));
}

void Awaiter::keep_context() {
    if (!ctx_.get()) ctx_ = DeferredRef(call(library().copy_context));
}

void Awaiter::on_cancel(std::shared_ptr<Cancellable> stop) {
    auto holder = std::make_unique<std::shared_ptr<Cancellable>>(std::move(stop));
    auto capsule = check(PyCapsule_New(holder.get(), kStopCapsule, &free_stop));
    holder.release();
    auto on_done = check(PyCFunction_NewEx(&kOnDone, capsule.get(), nullptr));
    call(check(PyObject_GetAttr(fut_.get(), names::add_done_callback())).get(), on_done.get());
}

bool Awaiter::cancelled() const { return fut_.get() && is_cancelled(fut_.get()); }

void Awaiter::settle(Outcome& outcome) {
    Ref fut = fut_.take();
    Ref ctx = ctx_.take();
    loop_.take();
    if (!fut || is_cancelled(fut.get())) return;
    auto [method, value] = settlement(fut.get(), outcome);
    set_future(fut.get(), method.get(), value.get(), ctx.get());
}

void Awaiter::settle_soon(Outcome& outcome) {
    Ref fut = fut_.take();
    Ref ctx = ctx_.take();
    Ref loop = loop_.take();
    auto [method, value] = settlement(fut.get(), outcome);
    // Through the completor, which drops it if the script cancels meanwhile.
    auto call_soon = check(PyObject_GetAttr(loop.get(), names::call_soon()));
    check(schedule_completor(call_soon.get(), fut.get(), method.get(), value.get(), ctx.get()));
}

void Awaiter::complete(std::shared_ptr<Awaiter> self, Outcome outcome) {
    if (LoopPort* port = self->port_.get()) {
        std::unique_ptr<Posted> job = std::make_unique<Settle>(self, std::move(outcome));
        if (port->post(job)) return;
        // The loop went away: the job is still ours.
        job->orphan();
        return;
    }
    deliver_later(std::move(self), std::move(outcome));
}

void spawn(asio::awaitable<Outcome> op, std::shared_ptr<Awaiter> aw, const rt::Strand* strand) {
    aw->keep_context();
    auto signal = signal_on(strand);
    aw->on_cancel(std::make_shared<TaskCancel>(signal));
    spawn_signalled(std::move(op), std::move(aw), std::move(signal));
}

void spawn_signalled(asio::awaitable<Outcome> op, std::shared_ptr<Awaiter> aw, std::shared_ptr<rt::CancelSignal> signal) {
    auto sig = signal;
    rt::spawn(std::move(op), std::move(sig), [aw = std::move(aw), signal](std::exception_ptr e, std::optional<Outcome> v) mutable {
        // A cancelled task delivers nothing, whatever it ended with.
        if (signal->cancelled()) return;
        Awaiter::complete(std::move(aw), outcome_of(e, v));
    });
}

Ref ready(PyObject* self) {
    Ref loop = call(library().get_running_loop);
    Ref fut = call_method(loop.get(), names::create_future());
    call_method(fut.get(), names::set_result(), self);
    return fut;
}

namespace detail {

namespace {

// On a pool thread; the same exit rules as deliver().
void call_back(DeferredRef& fn, std::unique_ptr<Delivery>& value) {
    GilGuard gil;
    if (!gil.held()) return;  // finalising: the references are leaked
    Ref f = fn.take();
    try {
        Ref args = value->to_python();
        value.reset();
        if (!PyTuple_Check(args.get())) raise(PyExc_SystemError, "a callback's arguments must be a tuple");
        if (PyObject* r = PyObject_Call(f.get(), args.get(), nullptr))
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(f.get());
    } catch (const ErrorAlreadySet&) {
        PyErr_WriteUnraisable(f.get());
    } catch (const std::bad_alloc&) {
        std::fputs("halvo: out of memory while calling back\n", stderr);
    }
}

}  // namespace

void call_when_done(DeferredRef fn, asio::awaitable<std::unique_ptr<Delivery>> op, const rt::Strand* strand) {
    auto signal = signal_on(strand);
    auto f = std::make_shared<DeferredRef>(std::move(fn));
    rt::spawn(std::move(op), signal, [f](std::exception_ptr e, std::optional<std::unique_ptr<Delivery>> v) {
        if (e || !v) {
            // The operation itself failed to finish; there is nothing to pass.
            std::fputs("halvo: a callback's operation failed; the callback is not called\n", stderr);
            return;
        }
        auto value = std::make_shared<std::unique_ptr<Delivery>>(std::move(*v));
        rt::blocking([f, value] { call_back(*f, *value); });
    });
}

}  // namespace detail

}  // namespace halvo::py

#pragma once
// Awaitables: an operation runs as a task on the shared runtime (or, for a
// handle's call, on the event loop's own thread) and its outcome completes an
// asyncio future on the caller's loop. The other kind of completion calls a
// Python callable later, on a thread of ours holding the GIL.
#include <Python.h>

#include <asio/awaitable.hpp>

#include <memory>
#include <type_traits>
#include <utility>
#include <variant>

#include "py/cls.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"
#include "base/result.hpp"
#include "rt/runtime.hpp"

namespace halvo::py {

class LoopPort;

// A finished operation's value, made into a Python object only at
// delivery, under the GIL.
class Delivery {
public:
    virtual ~Delivery() = default;
    virtual Ref to_python() = 0;
};
using Outcome = Result<std::unique_ptr<Delivery>, ScriptError>;

namespace detail {

template <class T>
class DeliveryOf final : public Delivery {
public:
    explicit DeliveryOf(T v) : v_(std::move(v)) {}
    Ref to_python() override { return py::to_python(std::move(v_)); }

private:
    T v_;
};

}  // namespace detail

// A typed result made into an Outcome.
template <class T>
Outcome erase(Result<T, ScriptError> r) {
    static_assert(!std::is_same_v<T, Ref>, "a task never owns a Python object");
    if (!r) return fail(std::move(r).error());
    if constexpr (std::is_void_v<T>)
        return std::unique_ptr<Delivery>(new detail::DeliveryOf<std::monostate>({}));
    else
        return std::unique_ptr<Delivery>(new detail::DeliveryOf<T>(std::move(r).value()));
}

template <class T>
asio::awaitable<Outcome> erase(asio::awaitable<Result<T, ScriptError>> op) {
    auto r = co_await std::move(op);
    co_return erase(std::move(r));
}

// What a script's cancel of a future stops.
class Cancellable {
public:
    virtual ~Cancellable() = default;
    // On the loop's thread, with the GIL held.
    virtual void cancel() = 0;
};

// The Python side of one awaitable: a future on the caller's running loop
// and the caller's context, completed once.
class Awaiter {
public:
    // With the GIL held: asyncio's RuntimeError when no loop runs here,
    // before anything starts.
    static std::shared_ptr<Awaiter> create();
    // Inside the call that made the future, before an outcome that comes
    // later: keeps the caller's context for it. One settled before the
    // call returns needs none.
    void keep_context();

    Ref future() const { return Ref::borrow(fut_.get()); }
    // The port of the loop, none when the loop cannot watch a descriptor.
    const std::shared_ptr<LoopPort>& port() const { return port_; }
    // Makes the script's cancel of the future call stop->cancel().
    void on_cancel(std::shared_ptr<Cancellable> stop);
    // With the GIL held: the script cancelled the future.
    bool cancelled() const;

    // On the loop's thread with the GIL held: sets the future now, in the
    // caller's context, unless it was cancelled.
    void settle(Outcome& outcome);
    // On the loop's thread with the GIL held: sets it from the loop's next
    // turn, unless it was cancelled meanwhile.
    void settle_soon(Outcome& outcome);
    PyObject* loop() const { return loop_.get(); }
    // From any thread, without the GIL: through the loop's port, else from a
    // pool thread with call_soon_threadsafe.
    static void complete(std::shared_ptr<Awaiter> self, Outcome outcome);

    Awaiter(Ref loop, Ref fut, Ref ctx, std::shared_ptr<LoopPort> port);

private:
    friend struct AwaiterAccess;
    DeferredRef loop_, fut_, ctx_;
    std::shared_ptr<LoopPort> port_;
};

// Runs op as a task on the strand (a new one when none is given) and
// completes aw with its outcome; the script's cancel stops it at its next
// wait and nothing is delivered then.
void spawn(asio::awaitable<Outcome> op, std::shared_ptr<Awaiter> aw, const rt::Strand* strand = nullptr);
// The same from any thread, without the GIL: the caller has made the
// script's cancel of aw's future reach `signal` already.
void spawn_signalled(asio::awaitable<Outcome> op, std::shared_ptr<Awaiter> aw, std::shared_ptr<rt::CancelSignal> signal);

// With the GIL held, after the arguments are converted. Nothing of op runs
// unless the future is returned.
template <class T>
Ref awaitable(asio::awaitable<Result<T, ScriptError>> op, const rt::Strand* strand = nullptr) {
    auto aw = Awaiter::create();
    Ref fut = aw->future();
    spawn(erase(std::move(op)), std::move(aw), strand);
    return fut;
}

// An awaitable already resolved to self, for __aenter__.
Ref ready(PyObject* self);

// The callback kind of completion. With the GIL held: starts op on the
// runtime, on the strand (a new one when none is given), and returns at
// once; later, on a pool thread holding the GIL, calls fn with the items of
// op's value (a tuple) as its arguments. What fn raises goes to the
// unraisable hook; what it returns is dropped.
namespace detail {
void call_when_done(DeferredRef fn, asio::awaitable<std::unique_ptr<Delivery>> op, const rt::Strand* strand);
}  // namespace detail

template <class T>
void call_later(Ref fn, asio::awaitable<T> op, const rt::Strand* strand = nullptr) {
    auto wrapped = [](asio::awaitable<T> o) -> asio::awaitable<std::unique_ptr<Delivery>> {
        T v = co_await std::move(o);
        co_return std::unique_ptr<Delivery>(new detail::DeliveryOf<T>(std::move(v)));
    };
    detail::call_when_done(DeferredRef(std::move(fn)), wrapped(std::move(op)), strand);
}

}  // namespace halvo::py

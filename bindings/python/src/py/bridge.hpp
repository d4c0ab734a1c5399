#pragma once
// Awaitables: an operation runs as a task on the shared runtime and its
// outcome completes an asyncio future on the caller's event loop.
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
#include "result.hpp"
#include "rt/runtime.hpp"

namespace halvo::py {

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

template <class T>
asio::awaitable<Outcome> erase(asio::awaitable<Result<T, ScriptError>> op) {
    static_assert(!std::is_same_v<T, Ref>, "a task never owns a Python object");
    auto r = co_await std::move(op);
    if (!r) co_return fail(std::move(r).error());
    if constexpr (std::is_void_v<T>)
        co_return std::unique_ptr<Delivery>(new DeliveryOf<std::monostate>({}));
    else
        co_return std::unique_ptr<Delivery>(new DeliveryOf<T>(std::move(r).value()));
}

// Creates the future on the running loop (asyncio's RuntimeError when there
// is none, before anything starts), spawns op on the strand (a new one when
// none is given) and returns the future.
Ref start(asio::awaitable<Outcome> op, const rt::Strand* strand);

}  // namespace detail

// With the GIL held, after the arguments are converted. Nothing of op runs
// unless the future is returned.
template <class T>
Ref awaitable(asio::awaitable<Result<T, ScriptError>> op) {
    return detail::start(detail::erase(std::move(op)), nullptr);
}

// The same for an operation of a handle: tasks spawned on one strand start
// in call order, so they queue for the handle's lock in that order too
// (build() then close() never finds the client closed).
template <class T>
Ref awaitable(asio::awaitable<Result<T, ScriptError>> op, const rt::Strand& strand) {
    return detail::start(detail::erase(std::move(op)), &strand);
}

// An awaitable resolving at once to self, for __aenter__.
Ref ready(PyObject* self);

}  // namespace halvo::py

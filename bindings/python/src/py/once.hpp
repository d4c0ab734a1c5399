#pragma once
// Two patterns of the script classes: a value a handle holds until one call
// takes it for good (a builder emptied by build(), a Directory taken by a
// mount), and methods that return their own object so calls chain.
#include <Python.h>

#include <optional>
#include <type_traits>
#include <utility>

#include "py/cls.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace halvo::py {

// The GIL guards it: every call comes from a method of the script's.
template <class T>
class Once {
public:
    explicit Once(T v) : v_(std::move(v)) {}

    // Takes the value for good; ValueError(gone) when it was taken before.
    T take(const char* gone) {
        if (!v_) raise(PyExc_ValueError, gone);
        T v = std::move(*v_);
        v_.reset();
        return v;
    }

    // Runs f on the value in place; ValueError(gone) when it was taken.
    template <class F>
    decltype(auto) with(const char* gone, F&& f) {
        if (!v_) raise(PyExc_ValueError, gone);
        return f(*v_);
    }

    bool taken() const { return !v_; }

private:
    std::optional<T> v_;
};

namespace detail {
template <auto F>
struct Chained;
template <class S, class... A, void (*F)(S&, A...)>
struct Chained<F> {
    static Ref call(PyObject* self, A... a) {
        F(Class<std::remove_cvref_t<S>>::value(self), std::move(a)...);
        return Ref::borrow(self);
    }
};
}  // namespace detail

// A method made from F(value&, args...) that returns its own object.
template <auto F>
inline constexpr auto chained = &detail::Chained<F>::call;

}  // namespace halvo::py

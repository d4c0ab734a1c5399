#pragma once
// A value or an error; C++20 has no std::expected.
#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace halvo::inline base {

template <class E>
struct Unexpected {
    E error;
};

// `return fail(e);` from a function returning Result<T, E>.
template <class E>
Unexpected<std::decay_t<E>> fail(E&& e) {
    return {std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
public:
    using value_type = T;
    using error_type = E;

    template <class U = T, std::enable_if_t<std::is_constructible_v<T, U&&>, int> = 0>
    Result(U&& v) : v_(std::in_place_index<0>, std::forward<U>(v)) {}
    template <class G>
    Result(Unexpected<G> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { assert(ok()); return std::get<0>(v_); }
    const T& value() const& { assert(ok()); return std::get<0>(v_); }
    T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
    E& error() & { assert(!ok()); return std::get<1>(v_); }
    const E& error() const& { assert(!ok()); return std::get<1>(v_); }
    E&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // The value made into another by f; an error passes unchanged.
    template <class F>
    auto map(F&& f) && -> Result<std::invoke_result_t<F, T&&>, E> {
        if (!ok()) return fail(std::move(*this).error());
        if constexpr (std::is_void_v<std::invoke_result_t<F, T&&>>) {
            f(std::move(*this).value());
            return {};
        } else {
            return f(std::move(*this).value());
        }
    }

    template <class F>
    auto map_error(F&& f) && -> Result<T, std::invoke_result_t<F, E&&>> {
        if (ok()) return std::move(*this).value();
        return fail(f(std::move(*this).error()));
    }

private:
    std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
public:
    using value_type = void;
    using error_type = E;

    Result() = default;
    template <class G>
    Result(Unexpected<G> u) : err_(std::move(u.error)), ok_(false) {}

    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    void value() const { assert(ok_); }
    E& error() & { assert(!ok_); return *err_; }
    const E& error() const& { assert(!ok_); return *err_; }
    E&& error() && { assert(!ok_); return std::move(*err_); }

    template <class F>
    auto map_error(F&& f) && -> Result<void, std::invoke_result_t<F, E&&>> {
        if (ok_) return {};
        return fail(f(std::move(*err_)));
    }

private:
    std::optional<E> err_;
    bool ok_ = true;
};

}  // namespace halvo::base

#define HALVO_CAT2_(a, b) a##b
#define HALVO_CAT_(a, b) HALVO_CAT2_(a, b)

// HALVO_TRY(auto x, expr): evaluates expr (a Result) and returns its error
// from the enclosing function, else binds its value.
#define HALVO_TRY(decl, expr) HALVO_TRY_IMPL_(decl, expr, HALVO_CAT_(halvo_try_, __LINE__))
#define HALVO_TRY_IMPL_(decl, expr, tmp)                       \
    auto tmp = (expr);                                         \
    if (!tmp) return ::halvo::fail(std::move(tmp).error());    \
    decl = std::move(tmp).value()

// HALVO_CHECK(expr): for Result<void, E>; one statement, safe under an unbraced if.
#define HALVO_CHECK(expr) HALVO_CHECK_IMPL_(expr, HALVO_CAT_(halvo_chk_, __LINE__))
#define HALVO_CHECK_IMPL_(expr, tmp)                                   \
    if (auto tmp = (expr); !tmp) return ::halvo::fail(std::move(tmp).error()); \
    else (void)0

// The same two for coroutines, which must co_return.
#define HALVO_CO_TRY(decl, expr) HALVO_CO_TRY_IMPL_(decl, expr, HALVO_CAT_(halvo_try_, __LINE__))
#define HALVO_CO_TRY_IMPL_(decl, expr, tmp)                    \
    auto tmp = (expr);                                         \
    if (!tmp) co_return ::halvo::fail(std::move(tmp).error()); \
    decl = std::move(tmp).value()

#define HALVO_CO_CHECK(expr) HALVO_CO_CHECK_IMPL_(expr, HALVO_CAT_(halvo_chk_, __LINE__))
#define HALVO_CO_CHECK_IMPL_(expr, tmp)                                   \
    if (auto tmp = (expr); !tmp) co_return ::halvo::fail(std::move(tmp).error()); \
    else (void)0

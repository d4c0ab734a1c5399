#pragma once
// Functions, methods, constructors and getters made from C++ functions.
// Parameter names and which are optional come from the text signature at
// the head of the docstring ("name($self, a, b=None)\n--\n\ndoc"), so the
// names, the required/optional split and the docs cannot drift apart.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "py/cls.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace halvo::py {

// A string literal as a template argument.
template <size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

struct Param {
    std::string_view name;
    bool optional = false;
};

inline constexpr size_t kMaxParams = 16;

struct Signature {
    std::string_view name;
    bool self = false;  // "$self" first
    size_t count = 0;
    std::array<Param, kMaxParams> params{};
    bool valid = false;
};

constexpr std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// string_view::find compares a pointer with null, which gcc cannot do in a
// constant expression once a sanitizer keeps null checks; this compares
// characters only.
constexpr size_t index_of(std::string_view s, std::string_view what) {
    for (size_t i = 0; what.size() <= s.size() && i <= s.size() - what.size(); ++i)
        if (s.substr(i, what.size()) == what) return i;
    return std::string_view::npos;
}

constexpr Signature parse_signature(std::string_view doc) {
    Signature sig;
    size_t open = index_of(doc, "(");
    size_t close = index_of(doc, ")\n--\n\n");
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return sig;
    sig.name = doc.substr(0, open);
    std::string_view rest = doc.substr(open + 1, close - open - 1);
    bool first = true;
    while (!trim(rest).empty()) {
        size_t comma = index_of(rest, ",");
        std::string_view item = trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        if (first && item == "$self") {
            sig.self = true;
        } else {
            if (sig.count == kMaxParams || item.empty()) return sig;
            size_t eq = index_of(item, "=");
            sig.params[sig.count++] = {trim(item.substr(0, eq)), eq != std::string_view::npos};
        }
        first = false;
    }
    // A required parameter after an optional one could never be left out.
    for (size_t i = 1; i < sig.count; ++i)
        if (sig.params[i - 1].optional && !sig.params[i].optional) return sig;
    sig.valid = true;
    return sig;
}

// Puts each argument of a vectorcall-style call in its parameter's slot
// (borrowed; null for a missing optional one). Raises TypeError naming the
// argument that is missing, given twice or unknown.
void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots);

// Raises again a TypeError or OverflowError pending from the conversion of
// one argument, with the argument's name in front.
[[noreturn]] void reraise_for_argument(std::string_view name);

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
    using Ret = R;
    using Args = std::tuple<A...>;
};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class A>
std::remove_cvref_t<A> convert_argument(PyObject* o, std::string_view name) {
    using V = std::remove_cvref_t<A>;
    if (!o) {
        if constexpr (IsOptional<V>::value) return std::nullopt;
        else raise(PyExc_SystemError, "missing argument");
    } else {
        try {
            return FromPython<V>::convert(o);
        } catch (const ErrorAlreadySet&) {
            reraise_for_argument(name);
        }
    }
}

// The receiver of a method: the object itself, or the value in it.
template <class S>
decltype(auto) receiver(PyObject* self) {
    if constexpr (std::is_same_v<S, PyObject*>)
        return self;
    else
        return Class<std::remove_cvref_t<S>>::value(self);
}

template <Literal Doc, auto F>
struct Def {
    static constexpr Signature sig = parse_signature(Doc.view());
    static_assert(sig.valid, "the docstring must begin with a text signature");
    using Traits = FnTraits<decltype(F)>;
    static constexpr size_t kArity = std::tuple_size_v<typename Traits::Args>;
    static_assert(kArity == sig.count + (sig.self ? 1 : 0), "the C++ function does not match the signature");

    // The name, NUL-terminated, for the method table.
    static constexpr auto name = [] {
        std::array<char, sizeof(Doc.text)> out{};
        std::copy_n(sig.name.data(), sig.name.size(), out.data());
        return out;
    }();

    template <size_t... I>
    static Ref invoke(PyObject* self, PyObject** slots, std::index_sequence<I...>) {
        constexpr size_t off = sig.self ? 1 : 0;
        using Args = typename Traits::Args;
        // Braced initialisation converts the arguments left to right.
        std::tuple<std::remove_cvref_t<std::tuple_element_t<I + off, Args>>...> converted{
            convert_argument<std::tuple_element_t<I + off, Args>>(slots[I], sig.params[I].name)...};
        auto apply = [&](auto&&... a) -> decltype(auto) {
            if constexpr (sig.self)
                return F(receiver<std::tuple_element_t<0, Args>>(self), std::move(a)...);
            else
                return F(std::move(a)...);
        };
        if constexpr (std::is_void_v<typename Traits::Ret>) {
            std::apply(apply, std::move(converted));
            return Ref::borrow(Py_None);
        } else {
            return to_python(std::apply(apply, std::move(converted)));
        }
    }

    static Ref run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* slots[kMaxParams] = {};
        bind_arguments(sig, args, nargs, kwnames, slots);
        return invoke(self, slots, std::make_index_sequence<sig.count>{});
    }

    static PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&] { return run(self, args, nargs, kwnames).release(); });
    }

    static PyMethodDef method_def(int flags) {
        return {name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall)),
                METH_FASTCALL | METH_KEYWORDS | flags, Doc.text};
    }
};

// A method: the signature begins with $self, and F takes the object
// (PyObject*) or the class's value (T&) first.
template <Literal Doc, auto F>
PyMethodDef method() {
    static_assert(Def<Doc, F>::sig.self, "a method's signature begins with $self");
    return Def<Doc, F>::method_def(0);
}

template <Literal Doc, auto F>
PyMethodDef static_method() {
    static_assert(!Def<Doc, F>::sig.self);
    return Def<Doc, F>::method_def(METH_STATIC);
}

// A module function.
template <Literal Doc, auto F>
PyMethodDef function() {
    static_assert(!Def<Doc, F>::sig.self);
    return Def<Doc, F>::method_def(0);
}

// Calls a vectorcall-style function with a tuple and a dict.
PyObject* call_with_tuple(PyObject* args, PyObject* kwargs,
                          PyObject* (*fn)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*), PyObject* self);

// A constructor: F makes the value of class T from the arguments.
template <class T, Literal Doc, auto F>
struct Ctor {
    using D = Def<Doc, F>;
    static_assert(!D::sig.self);

    static PyObject* fastcall(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&] {
            PyObject* slots[kMaxParams] = {};
            bind_arguments(D::sig, args, nargs, kwnames, slots);
            return construct(reinterpret_cast<PyTypeObject*>(type), slots,
                             std::make_index_sequence<D::sig.count>{})
                .release();
        });
    }
    template <size_t... I>
    static Ref construct(PyTypeObject* type, PyObject** slots, std::index_sequence<I...>) {
        using Args = typename D::Traits::Args;
        std::tuple<std::remove_cvref_t<std::tuple_element_t<I, Args>>...> converted{
            convert_argument<std::tuple_element_t<I, Args>>(slots[I], D::sig.params[I].name)...};
        return Class<T>::alloc(type, std::apply([](auto&&... a) { return F(std::move(a)...); }, std::move(converted)));
    }
    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return call_with_tuple(args, kwargs, &fastcall, reinterpret_cast<PyObject*>(type));
    }
};

// Sets spec.ctor and spec.doc.
template <class T, Literal Doc, auto F>
void constructor(ClassSpec& spec) {
    spec.ctor = &Ctor<T, Doc, F>::tp_new;
    spec.doc = Doc.text;
}

// A read-only attribute: F takes the value and returns a new object each read.
template <class T, auto F>
PyObject* getter_fn(PyObject* self, void*) {
    return of_value<T, F>(self);
}
template <class T, Literal Name, auto F>
PyGetSetDef getter(const char* doc = nullptr) {
    return {Name.text, &getter_fn<T, F>, nullptr, doc, nullptr};
}

}  // namespace halvo::py

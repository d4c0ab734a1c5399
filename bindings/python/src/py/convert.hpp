#pragma once
// Conversions between Python objects and C++ values. Conversions from
// Python raise TypeError or OverflowError without naming the argument; the
// argument parser puts the name in front.
#include <Python.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "base/blob.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace halvo::py {

// Bytes in both directions: from bytes, bytearray or a sequence of ints
// 0..255; to bytes.
struct Bytes {
    std::vector<uint8_t> data;
    bool operator==(const Bytes&) const = default;
};

// File content: bytes as above (a str is not bytes here), else a str as
// its UTF-8 bytes. Everything else, a byte outside 0..255 included, is a
// TypeError. A large bytes or str is not copied: the object is held until
// the last share of its bytes goes.
struct Content {
    Blob data;
    std::string_view view() const { return data.view(); }
};

std::string type_name(PyObject* o);
// The bytes of a bytes object, valid while it lives.
std::string_view bytes_view(PyObject* b);

// The items of a list or tuple, held while they are converted; a str is
// refused with "Can't extract `str` to `Vec`".
std::vector<Ref> list_items(PyObject* o);
std::string to_text(PyObject* o);
std::filesystem::path to_path(PyObject* o);
bool to_bool(PyObject* o);
uint64_t to_unsigned(PyObject* o, int bits);
Bytes to_bytes(PyObject* o);
Content to_content(PyObject* o);

template <class T>
struct FromPython;

template <>
struct FromPython<std::string> {
    static std::string convert(PyObject* o) { return to_text(o); }
};
template <>
struct FromPython<std::filesystem::path> {
    static std::filesystem::path convert(PyObject* o) { return to_path(o); }
};
template <>
struct FromPython<bool> {
    static bool convert(PyObject* o) { return to_bool(o); }
};
template <class T>
    requires(std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
struct FromPython<T> {
    static T convert(PyObject* o) { return static_cast<T>(to_unsigned(o, sizeof(T) * 8)); }
};
template <>
struct FromPython<Bytes> {
    static Bytes convert(PyObject* o) { return to_bytes(o); }
};
template <>
struct FromPython<Content> {
    static Content convert(PyObject* o) { return to_content(o); }
};
// Any object.
template <>
struct FromPython<Ref> {
    static Ref convert(PyObject* o) { return Ref::borrow(o); }
};
template <class T>
struct FromPython<std::optional<T>> {
    static std::optional<T> convert(PyObject* o) {
        if (o == Py_None) return std::nullopt;
        return FromPython<T>::convert(o);
    }
};
template <class T>
struct FromPython<std::vector<T>> {
    static std::vector<T> convert(PyObject* o) {
        std::vector<T> out;
        for (const Ref& item : list_items(o)) out.push_back(FromPython<T>::convert(item.get()));
        return out;
    }
};

// The primary template, for instances of the module's classes, is in cls.hpp.
template <class T>
struct ToPython;

template <class T>
Ref to_python(T&& v) {
    return ToPython<std::remove_cvref_t<T>>::convert(std::forward<T>(v));
}

Ref text_to_python(std::string_view s);  // invalid UTF-8 becomes U+FFFD

template <>
struct ToPython<Ref> {
    static Ref convert(Ref r) { return r; }
};
template <>
struct ToPython<std::monostate> {
    static Ref convert(std::monostate) { return Ref::borrow(Py_None); }
};
template <>
struct ToPython<bool> {
    static Ref convert(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
};
template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
struct ToPython<T> {
    static Ref convert(T v) {
        if constexpr (std::is_signed_v<T>)
            return check(PyLong_FromLongLong(v));
        else
            return check(PyLong_FromUnsignedLongLong(v));
    }
};
template <>
struct ToPython<std::string> {
    static Ref convert(const std::string& s) { return text_to_python(s); }
};
template <>
struct ToPython<std::filesystem::path> {
    static Ref convert(const std::filesystem::path& p) { return text_to_python(p.native()); }
};
template <>
struct ToPython<Bytes> {
    static Ref convert(const Bytes& b) {
        return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data.data()),
                                               static_cast<Py_ssize_t>(b.data.size())));
    }
};
// A bytes object of n bytes not filled yet, Python not having seen it, and
// where its bytes go; the owner lets go of it from any thread. With the GIL
// held; none when Python has no memory for it.
std::optional<Room> unfilled_bytes(std::size_t n);
// The bytes object that a blob is the whole of, if it is one; borrowed.
PyObject* whole_bytes(const Blob& b);

template <>
struct ToPython<Blob> {
    static Ref convert(const Blob& b) {
        if (PyObject* whole = whole_bytes(b)) return Ref::borrow(whole);
        return check(PyBytes_FromStringAndSize(b.chars(), static_cast<Py_ssize_t>(b.size())));
    }
};
template <class T>
struct ToPython<std::optional<T>> {
    static Ref convert(std::optional<T> v) { return v ? to_python(std::move(*v)) : Ref::borrow(Py_None); }
};
template <class... T>
struct ToPython<std::tuple<T...>> {
    static Ref convert(std::tuple<T...> t) {
        auto tuple = check(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(T))));
        std::apply(
            [&](auto&... items) {
                Py_ssize_t i = 0;
                (PyTuple_SetItem(tuple.get(), i++, to_python(std::move(items)).release()), ...);
            },
            t);
        return tuple;
    }
};
template <class T>
struct ToPython<std::vector<T>> {
    static Ref convert(std::vector<T> v) {
        auto list = check(PyList_New(static_cast<Py_ssize_t>(v.size())));
        for (size_t i = 0; i < v.size(); ++i)
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_python(std::move(v[i])).release());
        return list;
    }
};

}  // namespace halvo::py

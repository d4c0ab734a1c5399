#include "py/convert.hpp"

#include "bson/value.hpp"

namespace halvo::py {

namespace {
const char kStrToVec[] = "Can't extract `str` to `Vec`";

[[noreturn]] void expected(const char* what, PyObject* got) {
    raise(PyExc_TypeError, std::string("expected ") + what + ", got " + type_name(got));
}

// Bytes of one kind into a vector of another: one memcpy, not a loop.
std::vector<uint8_t> copy_of(const char* p, size_t n) {
    const auto* u = reinterpret_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(u, u + n);
}

// What a blob owns when it holds a Python object: marked by its deleter,
// so that the object can be found again.
struct LetGo {
    void operator()(const DeferredRef* r) const { delete r; }
};
std::shared_ptr<const void> holding(Ref o) { return std::shared_ptr<const void>(new DeferredRef(std::move(o)), LetGo{}); }

// Bytes inside an immutable object `o`, which the blob holds; small ones
// are copied, as a copy costs less than a reference let go under the GIL.
Blob held(PyObject* o, std::string_view bytes) {
    if (bytes.size() < bson::kLargeBinary) return Blob(std::string(bytes));
    return Blob(holding(Ref::borrow(o)), bytes);
}
}  // namespace

std::optional<Room> unfilled_bytes(std::size_t n) {
    PyObject* o = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (!o) {
        PyErr_Clear();
        return std::nullopt;
    }
    char* data = PyBytes_AsString(o);
    return Room{holding(Ref::steal(o)), data};
}

PyObject* whole_bytes(const Blob& b) {
    if (!std::get_deleter<LetGo>(b.owner())) return nullptr;
    PyObject* o = static_cast<const DeferredRef*>(b.owner().get())->get();
    if (!o || !PyBytes_Check(o) || PyBytes_AsString(o) != b.chars() ||
        static_cast<std::size_t>(PyBytes_Size(o)) != b.size())
        return nullptr;
    return o;
}

std::string_view bytes_view(PyObject* b) {
    char* data = nullptr;
    Py_ssize_t n = 0;
    check(PyBytes_AsStringAndSize(b, &data, &n));
    return {data, static_cast<size_t>(n)};
}

std::string type_name(PyObject* o) {
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__");
    const char* s = name ? PyUnicode_AsUTF8AndSize(name, nullptr) : nullptr;
    std::string out = s ? s : "object";
    if (!s) PyErr_Clear();
    Py_XDECREF(name);
    return out;
}

std::vector<Ref> list_items(PyObject* o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, kStrToVec);
    std::vector<Ref> items;
    if (PyList_Check(o)) {
        for (Py_ssize_t i = 0; i < PyList_Size(o); ++i) items.push_back(Ref::borrow(PyList_GetItem(o, i)));
    } else if (PyTuple_Check(o)) {
        for (Py_ssize_t i = 0; i < PyTuple_Size(o); ++i) items.push_back(Ref::borrow(PyTuple_GetItem(o, i)));
    } else {
        expected("a list or tuple", o);
    }
    return items;
}

std::string to_text(PyObject* o) {
    if (!PyUnicode_Check(o)) expected("str", o);
    Py_ssize_t n = 0;
    // Lone surrogates raise UnicodeEncodeError here.
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) throw ErrorAlreadySet{};
    return std::string(s, static_cast<size_t>(n));
}

std::filesystem::path to_path(PyObject* o) {
    const char kNoBytes[] = "expected str or os.PathLike returning str, got bytes";
    if (PyBytes_Check(o)) raise(PyExc_TypeError, kNoBytes);
    auto fspath = check(PyOS_FSPath(o));
    if (PyBytes_Check(fspath.get())) raise(PyExc_TypeError, kNoBytes);
    // The file-system encoding with surrogateescape reaches non-UTF-8 names.
    auto encoded = check(PyUnicode_EncodeFSDefault(fspath.get()));
    return std::filesystem::path(std::string(bytes_view(encoded.get())));
}

bool to_bool(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    expected("bool", o);
}

uint64_t to_unsigned(PyObject* o, int bits) {
    auto index = check(PyNumber_Index(o));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    bool overflow = false;
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw ErrorAlreadySet{};
        PyErr_Clear();
        overflow = true;
    }
    if (overflow || (bits < 64 && v >> bits != 0)) {
        auto repr = check(PyObject_Repr(index.get()));
        raise(PyExc_OverflowError,
              to_text(repr.get()) + " is out of range for an unsigned " + std::to_string(bits) + "-bit integer");
    }
    return v;
}

Bytes to_bytes(PyObject* o) {
    Bytes out;
    if (PyBytes_Check(o)) {
        auto v = bytes_view(o);
        out.data = copy_of(v.data(), v.size());
    } else if (PyByteArray_Check(o)) {
        out.data = copy_of(PyByteArray_AsString(o), static_cast<size_t>(PyByteArray_Size(o)));
    } else if (PyUnicode_Check(o)) {
        raise(PyExc_TypeError, kStrToVec);
    } else if (PySequence_Check(o)) {
        // memoryview and array land here too: the limited API of 3.10 has
        // no buffer protocol, so they are read item by item.
        Py_ssize_t n = PySequence_Size(o);
        check(static_cast<int>(n < 0 ? -1 : 0));
        out.data.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            auto item = check(PySequence_GetItem(o, i));
            out.data.push_back(static_cast<uint8_t>(to_unsigned(item.get(), 8)));
        }
    } else {
        expected("bytes, bytearray or a sequence of ints", o);
    }
    return out;
}

Content to_content(PyObject* o) {
    if (PyUnicode_Check(o)) {
        Py_ssize_t n = 0;
        // The UTF-8 form stays with the str. Lone surrogates raise here.
        const char* s = PyUnicode_AsUTF8AndSize(o, &n);
        if (!s) throw ErrorAlreadySet{};
        return Content{held(o, {s, static_cast<size_t>(n)})};
    }
    if (PyBytes_Check(o)) return Content{held(o, bytes_view(o))};
    if (!PyByteArray_Check(o) && !PySequence_Check(o))
        expected("bytes, bytearray, a sequence of ints or str", o);
    try {
        return Content{Blob(to_bytes(o).data)};
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw;
        // Content is bytes or text; a number that is no byte is the wrong type.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
        std::string text = v ? to_text(check(PyObject_Str(v.get())).get()) : std::string();
        raise(PyExc_TypeError, "expected bytes, bytearray, a sequence of ints 0..255 or str: " + text);
    }
}

Ref text_to_python(std::string_view s) {
    return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

}  // namespace halvo::py

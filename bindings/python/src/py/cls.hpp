#pragma once
// Declares a class of the module once: its name, constructor, methods,
// getters, text forms and comparison. The C++ value lives in place after
// the object header.
#include <Python.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"
#include "py/state.hpp"

namespace halvo::py {

struct ClassSpec {
    const char* name;          // a literal, "halvo.Step": the type keeps the pointer
    newfunc ctor = nullptr;    // none: calling the class raises TypeError
    const char* doc = nullptr; // the class's doc, after the constructor's signature if it has one
    std::vector<PyMethodDef> methods = {};
    std::vector<PyGetSetDef> getters = {};
    reprfunc repr = nullptr;
    reprfunc str = nullptr;
    richcmpfunc compare = nullptr;  // eq_only<T>: values compare, never hash
};

// Builds the heap type. The slot tables are kept for the life of the
// process, as the type keeps pointers into them.
PyTypeObject* make_type(ClassSpec spec, int basicsize, destructor dealloc);

template <class T>
class Class {
public:
    struct Object {
        PyObject_HEAD
        T value;
    };

    // Once per process, into the module's state; later calls return the
    // first type.
    static PyTypeObject* define(ClassSpec spec) {
        if (index_ < 0) {
            ModuleState& s = make_state();
            s.types.push_back(make_type(std::move(spec), static_cast<int>(sizeof(Object)), &dealloc));
            index_ = static_cast<int>(s.types.size()) - 1;
        }
        return type();
    }
    static PyTypeObject* type() { return index_ < 0 ? nullptr : state().types[static_cast<size_t>(index_)]; }

    // A new instance holding v.
    static Ref create(T v) { return alloc(type(), std::move(v)); }
    static Ref alloc(PyTypeObject* type, T v) {
        if (!type) raise(PyExc_SystemError, "class used before its module was imported");
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        auto obj = check(alloc(type, 0));
        new (&reinterpret_cast<Object*>(obj.get())->value) T(std::move(v));
        return obj;
    }
    static bool is(PyObject* o) { return index_ >= 0 && Py_TYPE(o) == type(); }
    // The value of self, known to be of this class.
    static T& value(PyObject* self) { return reinterpret_cast<Object*>(self)->value; }
    // A checked downcast for an argument.
    static T& get(PyObject* o) {
        if (!is(o)) {
            if (index_ < 0) raise(PyExc_SystemError, "class used before its module was imported");
            auto name = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type()), "__name__"));
            raise(PyExc_TypeError, "expected " + to_text(name.get()) + ", got " + type_name(o));
        }
        return value(o);
    }

private:
    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        std::destroy_at(&value(self));
        reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
        Py_DECREF(type);
    }

    static inline int index_ = -1;  // in state().types
};

// An instance of a module class converts to and from its C++ value; an
// argument of exactly that class is copied.
template <class T>
struct ToPython {
    static Ref convert(T v) { return Class<T>::create(std::move(v)); }
};
template <class T>
struct FromPython {
    static T convert(PyObject* o) { return Class<T>::get(o); }
};

// `==` and `!=` by value within the class; everything else, and any other
// class, is NotImplemented. Such values are unhashable.
template <class T>
PyObject* eq_only(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !Class<T>::is(a) || !Class<T>::is(b)) Py_RETURN_NOTIMPLEMENTED;
    bool eq = Class<T>::value(a) == Class<T>::value(b);
    return Py_NewRef((eq == (op == Py_EQ)) ? Py_True : Py_False);
}

// repr, str and getters: F of the value, as a new object.
template <class T, auto F>
PyObject* of_value(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] { return to_python(F(Class<T>::value(self))).release(); });
}

}  // namespace halvo::py

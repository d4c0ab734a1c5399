#include "py/cls.hpp"

namespace halvo::py {

namespace {

// The comparison slot gives the type a method for each of the six
// operators, and help() lists them all, though ordering only raises
// TypeError. They go from the type's own dict, straight: the type is
// immutable, so its setattr would refuse, and would swap the slot for the
// generic one. The slot stays, so `<` still raises; `__lt__` and the rest
// are object's, whose help() leaves out. Should the dict refuse, help()
// merely keeps listing them.
void drop_orderings(PyTypeObject* type) {
    auto* object = reinterpret_cast<PyObject*>(type);
    for (const char* name : {"__lt__", "__le__", "__gt__", "__ge__"}) {
        PyObject* key = PyUnicode_InternFromString(name);
        if (!key || PyObject_GenericSetAttr(object, key, nullptr) != 0) PyErr_Clear();
        Py_XDECREF(key);
    }
    PyType_Modified(type);
}

}  // namespace

PyTypeObject* make_type(ClassSpec spec, int basicsize, destructor dealloc) {
    // Leaked on purpose: the type points into these for as long as it lives.
    auto* methods = new std::vector<PyMethodDef>(std::move(spec.methods));
    methods->push_back({nullptr, nullptr, 0, nullptr});
    auto* getters = new std::vector<PyGetSetDef>(std::move(spec.getters));
    getters->push_back({nullptr, nullptr, nullptr, nullptr, nullptr});

    std::vector<PyType_Slot> slots = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_methods, methods->data()},
        {Py_tp_getset, getters->data()},
    };
    unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if (spec.doc) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    if (spec.ctor) {
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.ctor)});
    } else {
        flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    }
    if (spec.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.repr)});
    if (spec.str) slots.push_back({Py_tp_str, reinterpret_cast<void*>(spec.str)});
    if (spec.compare) {
        slots.push_back({Py_tp_richcompare, reinterpret_cast<void*>(spec.compare)});
        slots.push_back({Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)});
    }
    slots.push_back({0, nullptr});

    PyType_Spec type_spec = {spec.name, basicsize, 0, flags, slots.data()};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (!type) throw ErrorAlreadySet{};
    if (spec.compare) drop_orderings(type);
    return type;
}

}  // namespace halvo::py

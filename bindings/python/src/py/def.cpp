#include "py/def.hpp"

#include <string>

namespace halvo::py {

namespace {
std::string callee(const Signature& sig) { return std::string(sig.name) + "()"; }
}  // namespace

void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
    if (static_cast<size_t>(nargs) > sig.count)
        raise(PyExc_TypeError, callee(sig) + " takes " + std::to_string(sig.count) + " positional argument" +
                                   (sig.count == 1 ? "" : "s") + " but " + std::to_string(nargs) + " were given");
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        std::string key = to_text(PyTuple_GetItem(kwnames, k));
        size_t i = 0;
        while (i < sig.count && sig.params[i].name != key) ++i;
        if (i == sig.count) raise(PyExc_TypeError, callee(sig) + " got an unexpected keyword argument '" + key + "'");
        if (slots[i]) raise(PyExc_TypeError, callee(sig) + " got multiple values for argument '" + key + "'");
        slots[i] = args[nargs + k];
    }
    for (size_t i = 0; i < sig.count; ++i)
        if (!slots[i] && !sig.params[i].optional)
            raise(PyExc_TypeError,
                  callee(sig) + " missing required argument '" + std::string(sig.params[i].name) + "'");
}

void reraise_for_argument(std::string_view name) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    // Only our own conversion errors get the name; UnicodeEncodeError and
    // errors raised by the argument's own methods pass through unchanged.
    if (type == PyExc_TypeError || type == PyExc_OverflowError) {
        PyErr_NormalizeException(&type, &value, &tb);
        std::string text = "argument '" + std::string(name) + "': ";
        if (PyObject* s = value ? PyObject_Str(value) : nullptr) {
            Py_ssize_t n = 0;
            if (const char* c = PyUnicode_AsUTF8AndSize(s, &n)) text.append(c, static_cast<size_t>(n));
            Py_DECREF(s);
        }
        PyErr_Clear();
        Py_XDECREF(value);
        Py_XDECREF(tb);
        PyErr_SetString(type, text.c_str());
        Py_DECREF(type);
    } else {
        PyErr_Restore(type, value, tb);
    }
    throw ErrorAlreadySet{};
}

PyObject* call_with_tuple(PyObject* args, PyObject* kwargs,
                          PyObject* (*fn)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*), PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        Py_ssize_t nargs = PyTuple_Size(args);
        std::vector<PyObject*> all;
        for (Py_ssize_t i = 0; i < nargs; ++i) all.push_back(PyTuple_GetItem(args, i));
        Ref names;
        Py_ssize_t nkw = kwargs ? PyDict_Size(kwargs) : 0;
        if (nkw > 0) {
            names = check(PyTuple_New(nkw));
            PyObject *key, *value;
            Py_ssize_t pos = 0, k = 0;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                PyTuple_SetItem(names.get(), k++, Py_NewRef(key));
                all.push_back(value);
            }
        }
        PyObject* result = fn(self, all.data(), nargs, names.get());
        if (!result) throw ErrorAlreadySet{};
        return result;
    });
}

}  // namespace halvo::py

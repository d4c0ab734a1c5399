#include "py/module.hpp"

#include <string>

#include "py/convert.hpp"
#include "py/state.hpp"
#include "rt/runtime.hpp"

namespace halvo::py {

namespace {

PyObject* on_exit(PyObject*, PyObject*) {
    set_finalizing();
    // Nothing of ours runs from here on: finalisation and exit() destroy
    // what handlers use. Children still being ended are killed.
    {
        NoGil nogil;
        rt::stop();
    }
    return Py_NewRef(Py_None);
}
PyMethodDef kOnExit = {"_halvo_at_exit", &on_exit, METH_NOARGS, nullptr};

// atexit hooks run before finalisation begins, while taking the GIL from
// another thread is still safe; Py_IsFinalizing is not in the 3.10 API.
void register_at_exit() {
    static bool done = false;  // the GIL guards it
    if (done) return;
    auto atexit = check(PyImport_ImportModule("atexit"));
    auto hook = check(PyCFunction_NewEx(&kOnExit, nullptr, nullptr));
    auto reg = check(PyObject_GetAttrString(atexit.get(), "register"));
    call(reg.get(), hook.get());
    done = true;
}

void check_interpreter() {
    // The exception types and the runtime's deliveries are per process and
    // bound to the main interpreter.
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0)
        raise(PyExc_ImportError, "halvo can only be imported in the main interpreter");
}

}  // namespace

int exec_module(PyObject* module, void (*body)(PyObject*)) {
    return guarded<int>(-1, [&] {
        if (!PyModule_Check(module)) raise(PyExc_TypeError, "expected module, got " + type_name(module));
        check_interpreter();
        make_state();
        register_at_exit();
        body(module);
        return 0;
    });
}

void add_type(PyObject* module, PyTypeObject* type) {
    auto name = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    check(PyModule_AddObjectRef(module, to_text(name.get()).c_str(), reinterpret_cast<PyObject*>(type)));
}

void add_function(PyObject* module, const PyMethodDef& def) {
    auto* kept = new PyMethodDef(def);
    auto modname = check(PyUnicode_FromString("halvo"));
    auto fn = check(PyCFunction_NewEx(kept, nullptr, modname.get()));
    check(PyModule_AddObjectRef(module, def.ml_name, fn.get()));
}

void add_object(PyObject* module, const char* name, Ref value) {
    check(PyModule_AddObjectRef(module, name, value.get()));
}

}  // namespace halvo::py

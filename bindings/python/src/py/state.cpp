#include "py/state.hpp"

#include "py/errors.hpp"
#include "py/ref.hpp"

namespace halvo::py {

namespace {

ModuleState* g_state = nullptr;  // the GIL guards it; never freed

PyObject* attr_of(const char* module, const char* name) {
    auto m = check(PyImport_ImportModule(module));
    return check(PyObject_GetAttrString(m.get(), name)).release();
}

}  // namespace

const ModuleState& state() {
    if (!g_state) raise(PyExc_SystemError, "halvo used before its module was imported");
    return *g_state;
}

ModuleState& make_state() {
    if (!g_state) g_state = new ModuleState;
    return *g_state;
}

const Library& library() {
    Library& lib = make_state().library;
    if (!lib.path) {
        // Importing runs Python code, which may let another thread in here:
        // its import then stands, and ours is dropped.
        Library got{attr_of("asyncio", "get_running_loop"), attr_of("contextvars", "copy_context"),
                    attr_of("pathlib", "Path")};
        if (lib.path) {
            Py_DECREF(got.get_running_loop);
            Py_DECREF(got.copy_context);
            Py_DECREF(got.path);
        } else {
            lib = got;
        }
    }
    return lib;
}

}  // namespace halvo::py

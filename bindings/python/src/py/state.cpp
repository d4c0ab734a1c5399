#include "py/state.hpp"

#include "py/errors.hpp"
#include "py/ref.hpp"

namespace halvo::py {

namespace {

ModuleState* g_state = nullptr;  // the GIL guards it; never freed

Ref attr_of(const char* module, const char* name) {
    auto m = check(PyImport_ImportModule(module));
    return check(PyObject_GetAttrString(m.get(), name));
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
        Ref loop = attr_of("asyncio", "get_running_loop");
        Ref context = attr_of("contextvars", "copy_context");
        Ref path = attr_of("pathlib", "Path");
        if (!lib.path) lib = Library{loop.release(), context.release(), path.release()};
    }
    return lib;
}

}  // namespace halvo::py

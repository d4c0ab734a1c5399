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
    if (!g_state) {
        auto* s = new ModuleState;
        s->get_running_loop = attr_of("asyncio", "get_running_loop");
        s->copy_context = attr_of("contextvars", "copy_context");
        s->path = attr_of("pathlib", "Path");
        g_state = s;
    }
    return *g_state;
}

}  // namespace halvo::py

#include "py/names.hpp"

#include "py/ref.hpp"

namespace halvo::py::names {

namespace {

PyObject* interned(PyObject*& slot, const char* name) {
    if (!slot) slot = check(PyUnicode_InternFromString(name)).release();
    return slot;
}

}  // namespace

#define HALVO_NAME(name)              \
    PyObject* name() {                \
        static PyObject* n = nullptr; \
        return interned(n, #name);    \
    }
HALVO_NAME(cancelled)
HALVO_NAME(create_future)
HALVO_NAME(set_result)
HALVO_NAME(set_exception)
HALVO_NAME(call_soon)
HALVO_NAME(run)
HALVO_NAME(add_done_callback)
HALVO_NAME(remove_done_callback)
HALVO_NAME(get_loop)
HALVO_NAME(_callbacks)
HALVO_NAME(_ready)
HALVO_NAME(_callback)
HALVO_NAME(_args)
#undef HALVO_NAME

}  // namespace halvo::py::names

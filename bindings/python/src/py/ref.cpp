#include "py/ref.hpp"

#include <atomic>

#include "rt/runtime.hpp"

namespace halvo::py {

namespace {
std::atomic<bool> g_finalizing{false};
}

bool finalizing() { return g_finalizing.load(std::memory_order_acquire); }
void set_finalizing() { g_finalizing.store(true, std::memory_order_release); }

GilGuard::GilGuard() {
    if (finalizing()) return;
    state_ = PyGILState_Ensure();
    held_ = true;
    if (finalizing()) {
        PyGILState_Release(state_);
        held_ = false;
    }
}

DeferredRef::~DeferredRef() {
    if (!p_ || finalizing()) return;
    rt::blocking([p = p_] {
        GilGuard gil;
        if (gil.held()) Py_DECREF(p);
    });
}

}  // namespace halvo::py

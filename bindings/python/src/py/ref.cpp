#include "py/ref.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "rt/runtime.hpp"

namespace halvo::py {

namespace {
// Immortal, so nothing here is destroyed at exit while threads still use it.
constinit std::mutex g_mu;
std::condition_variable* const g_no_holders = new std::condition_variable;
std::atomic<bool> g_finalizing{false};
int g_holders = 0;  // GilGuards between their check and their release

// A forked child has none of the threads whose guards were counted (one
// waiting for the GIL as the fork happens, say): its count starts at zero, or
// its at-exit hook would wait for them for good. Registered as the module
// loads, before any guard is made.
[[maybe_unused]] const bool g_holders_reset_at_fork =
    ::pthread_atfork([] { g_mu.lock(); }, [] { g_mu.unlock(); },
                     [] {
                         g_holders = 0;
                         g_mu.unlock();
                     }) == 0;
}  // namespace

namespace {
thread_local bool t_gil = false;
}

bool gil_marked() { return t_gil; }
GilMark::GilMark(bool held) : saved_(std::exchange(t_gil, held)) {}
GilMark::~GilMark() { t_gil = saved_; }

bool finalizing() { return g_finalizing.load(std::memory_order_acquire); }

void set_finalizing() {
    {
        std::lock_guard lk(g_mu);
        g_finalizing.store(true, std::memory_order_release);
        if (g_holders == 0) return;
    }
    // Let every guard already past its check finish before finalisation
    // begins: 3.10-3.12 end a thread that takes the GIL after that, and 3.13
    // leaves it hanging. New guards see the flag and stay away.
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock lk(g_mu);
    g_no_holders->wait(lk, [] { return g_holders == 0; });
    Py_END_ALLOW_THREADS
}

GilGuard::GilGuard() {
    {
        std::lock_guard lk(g_mu);
        if (finalizing()) return;
        ++g_holders;
    }
    counted_ = true;
    state_ = PyGILState_Ensure();
    held_ = true;
    mark_.emplace(true);
    if (finalizing()) release();
}

void GilGuard::release() {
    mark_.reset();
    if (held_) PyGILState_Release(state_);
    held_ = false;
    if (!counted_) return;
    counted_ = false;
    std::lock_guard lk(g_mu);
    if (--g_holders == 0 && finalizing()) g_no_holders->notify_all();
}

DeferredRef::~DeferredRef() {
    if (!p_) return;
    if (gil_marked()) {
        Py_DECREF(p_);
        return;
    }
    if (finalizing()) return;
    rt::blocking([p = p_] {
        GilGuard gil;
        if (gil.held()) Py_DECREF(p);
    });
}

}  // namespace halvo::py

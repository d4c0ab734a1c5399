#include "py/loop.hpp"

#include <array>
#include <utility>
#include <vector>

#include "py/errors.hpp"
#include "py/names.hpp"
#include "py/ref.hpp"

namespace halvo::py {

namespace {

constexpr uint64_t kWakeKey = 0;
const char kPortCapsule[] = "halvo.loop_port";

// Live ports by loop; the GIL guards it. An entry leaves when its loop drops
// the reader, which happens before the loop's memory can be reused.
std::unordered_map<PyObject*, std::weak_ptr<LoopPort>>& ports() {
    static auto* m = new std::unordered_map<PyObject*, std::weak_ptr<LoopPort>>;
    return *m;
}

struct Registration {
    std::shared_ptr<LoopPort> port;
    PyObject* loop;  // identity only
};

// Each job and watcher on its own: what one raises goes to the unraisable
// hook, and the rest still run; an interrupt is kept for the script when
// there is somewhere to raise it. The callers are called from C.
template <class F>
void unraisable_on_error(F f, KeptInterrupt* kept = nullptr) {
    try {
        f();
    } catch (const ErrorAlreadySet&) {
        if (!kept || !kept->keep()) PyErr_WriteUnraisable(nullptr);
    }
}

}  // namespace

struct PortAccess {
    static void pump(LoopPort& p) { p.pump(); }
    static void close(LoopPort& p) { p.close(); }
    static void turned(LoopPort& p) { p.marker_pending_ = false; }
};

namespace {

PyObject* on_readable(PyObject* capsule, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        auto* reg = static_cast<Registration*>(PyCapsule_GetPointer(capsule, kPortCapsule));
        if (!reg) throw ErrorAlreadySet{};
        PortAccess::pump(*reg->port);
        return Py_NewRef(Py_None);
    });
}
PyMethodDef kOnReadable = {"_halvo_loop_port", &on_readable, METH_NOARGS, nullptr};

// The loop let go of its reader: it was closed or collected.
void on_released(PyObject* capsule) {
    auto* reg = static_cast<Registration*>(PyCapsule_GetPointer(capsule, kPortCapsule));
    if (!reg) {
        PyErr_Clear();
        return;
    }
    auto& m = ports();
    if (auto it = m.find(reg->loop); it != m.end() && it->second.lock() == reg->port) m.erase(it);
    GilMark gil(true);
    PortAccess::close(*reg->port);
    delete reg;
}

std::shared_ptr<LoopPort> open_port(PyObject* loop) {
    auto epoll = platform::Epoll::create();
    auto wake = platform::EventFd::create();
    if (!epoll || !wake) return nullptr;
    if (!epoll->add(wake->fd(), kWakeKey)) return nullptr;
    auto port = std::make_shared<LoopPort>(std::move(epoll).value(), std::move(wake).value());
    auto reg = std::make_unique<Registration>(Registration{port, loop});
    auto capsule = check(PyCapsule_New(reg.get(), kPortCapsule, &on_released));
    reg.release();
    auto callback = check(PyCFunction_NewEx(&kOnReadable, capsule.get(), nullptr));
    auto add_reader = PyObject_GetAttrString(loop, "add_reader");
    PyObject* done = nullptr;
    if (add_reader) {
        auto fd = check(PyLong_FromLong(port->epoll_fd()));
        done = PyObject_CallFunctionObjArgs(add_reader, fd.get(), callback.get(), nullptr);
        Py_DECREF(add_reader);
    }
    if (!done) {
        // Proactor loops and the like: the old way serves them.
        PyErr_Clear();
        return nullptr;
    }
    Py_DECREF(done);
    ports()[loop] = port;
    return port;
}

}  // namespace

std::shared_ptr<LoopPort> LoopPort::of(PyObject* loop) {
    auto& m = ports();
    if (auto it = m.find(loop); it != m.end()) {
        if (auto port = it->second.lock(); port && !port->closed()) return port;
    }
    return open_port(loop);
}

LoopPort::LoopPort(platform::Epoll epoll, platform::EventFd wake) : epoll_(std::move(epoll)), wake_(std::move(wake)) {}

bool LoopPort::post(std::unique_ptr<Posted>& job) {
    bool first;
    {
        std::lock_guard lk(mu_);
        if (closed_) return false;
        first = inbox_.empty();
        inbox_.push_back(std::move(job));
    }
    if (first) wake_.signal();
    return true;
}

namespace {

const char kMarkerCapsule[] = "halvo.loop_turn";

PyObject* on_turn(PyObject* capsule, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        auto* port = static_cast<std::weak_ptr<LoopPort>*>(PyCapsule_GetPointer(capsule, kMarkerCapsule));
        if (!port) throw ErrorAlreadySet{};
        if (auto p = port->lock()) PortAccess::turned(*p);
        return Py_NewRef(Py_None);
    });
}
PyMethodDef kOnTurn = {"_halvo_loop_turn", &on_turn, METH_NOARGS, nullptr};

void free_marker(PyObject* capsule) {
    delete static_cast<std::weak_ptr<LoopPort>*>(PyCapsule_GetPointer(capsule, kMarkerCapsule));
}

}  // namespace

bool LoopPort::may_finish_now(PyObject* loop, Clock::time_point now) {
    if (marker_pending_) return now - streak_start_ < kTurnBudget && !others_ready(loop);
    if (!marker_.get()) {
        auto holder = std::make_unique<std::weak_ptr<LoopPort>>(weak_from_this());
        auto capsule = check(PyCapsule_New(holder.get(), kMarkerCapsule, &free_marker));
        holder.release();
        marker_ = DeferredRef(check(PyCFunction_NewEx(&kOnTurn, capsule.get(), nullptr)));
    }
    check(PyObject_CallMethodObjArgs(loop, names::call_soon(), marker_.get(), nullptr));
    marker_pending_ = true;
    streak_start_ = now;
    return true;
}

bool LoopPort::others_ready(PyObject* loop) {
    if (!ready_looked_up_) {
        ready_looked_up_ = true;
        // Not part of asyncio's API: a loop without it gives no hint, and
        // the turn budget alone keeps the others' wait short.
        if (PyObject* r = PyObject_GetAttrString(loop, "_ready"))
            ready_ = DeferredRef(Ref::steal(r));
        else
            PyErr_Clear();
    }
    if (!ready_.get()) return false;
    Py_ssize_t n = PyObject_Length(ready_.get());
    if (n < 0) {
        PyErr_Clear();
        return false;
    }
    return n > (marker_pending_ ? 1 : 0);
}

bool LoopPort::closed() const {
    std::lock_guard lk(mu_);
    return closed_;
}

IoResult<void> LoopPort::watch(int fd, std::shared_ptr<Watcher> w) {
    std::lock_guard lk(watch_mu_);
    auto [it, fresh] = watched_.try_emplace(fd);
    // A slot left taken: registered anew, whatever the kernel kept of it.
    if (!fresh) (void)epoll_.remove(fd);
    if (auto added = epoll_.add(fd, static_cast<uint64_t>(fd) + 1); !added) {
        watched_.erase(it);
        return added;
    }
    it->second = std::move(w);
    return {};
}

void LoopPort::unwatch(int fd, const Watcher* w) {
    std::lock_guard lk(watch_mu_);
    auto it = watched_.find(fd);
    if (it == watched_.end() || it->second.get() != w) return;
    (void)epoll_.remove(fd);
    watched_.erase(it);
}

void LoopPort::pump() {
    std::array<epoll_event, 64> events;
    auto ready = epoll_.ready(events);
    // Ctrl-C reaches the script once every answer in hand is delivered.
    KeptInterrupt kept;
    if (!ready) return;
    for (const epoll_event& ev : *ready) {
        if (ev.data.u64 == kWakeKey) {
            wake_.drain();
            std::deque<std::unique_ptr<Posted>> jobs;
            {
                std::lock_guard lk(mu_);
                jobs.swap(inbox_);
            }
            for (auto& job : jobs) unraisable_on_error([&] { job->run(); }, &kept);
            continue;
        }
        // Looked up again: an earlier job may have ended this watch.
        std::shared_ptr<Watcher> w;  // it may end its own watch
        {
            std::lock_guard lk(watch_mu_);
            auto it = watched_.find(static_cast<int>(ev.data.u64 - 1));
            if (it == watched_.end()) continue;
            w = it->second;
        }
        unraisable_on_error([&] { w->on_ready(); }, &kept);
    }
    kept.raise_if_kept();
}

void LoopPort::close() {
    std::deque<std::unique_ptr<Posted>> jobs;
    {
        std::lock_guard lk(mu_);
        closed_ = true;
        jobs.swap(inbox_);
    }
    for (auto& job : jobs) job->orphan();
    std::unordered_map<int, std::shared_ptr<Watcher>> watched;
    {
        std::lock_guard lk(watch_mu_);
        watched.swap(watched_);
    }
    for (auto& [fd, w] : watched) {
        (void)epoll_.remove(fd);
        unraisable_on_error([&] { w->on_loop_gone(); });
    }
}

}  // namespace halvo::py

#pragma once
// One port per asyncio event loop: a single descriptor the loop watches with
// add_reader, behind which sit an inbox that runtime threads post finished
// work to (woken through an eventfd, only on the empty to non-empty edge)
// and the descriptors of operations that the loop's own thread reads.
// Nothing on this path takes the GIL outside the loop's thread.
#include <Python.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "base/error.hpp"
#include "platform/epoll.hpp"
#include "py/ref.hpp"

namespace halvo::py {

// Work for the loop's thread, posted from any thread.
class Posted {
public:
    virtual ~Posted() = default;
    // On the loop's thread, with the GIL held.
    virtual void run() = 0;
    // The loop went away first; any thread, no GIL.
    virtual void orphan() = 0;
};

// A descriptor read on the loop's thread.
class Watcher {
public:
    virtual ~Watcher() = default;
    // On the loop's thread, with the GIL held: the descriptor is readable.
    virtual void on_ready() = 0;
    // The loop went away while watching; with the GIL held, on whatever
    // thread let the loop go. The watch is already removed.
    virtual void on_loop_gone() = 0;
};

class LoopPort : public std::enable_shared_from_this<LoopPort> {
public:
    // The port of a running loop, made on first use; none for a loop that
    // cannot watch a descriptor. With the GIL held.
    static std::shared_ptr<LoopPort> of(PyObject* loop);

    LoopPort(platform::Epoll epoll, platform::EventFd wake);

    // From any thread. False once the loop is gone: the caller keeps the job.
    bool post(std::unique_ptr<Posted>& job);

    // On the loop's thread with the GIL held; the port keeps the watcher
    // until the watch ends. Every watch must end (unwatch) before its
    // descriptor closes: a number reused by a new pipe must not find a slot
    // whose epoll registration the kernel dropped with the old one.
    IoResult<void> watch(int fd, std::shared_ptr<Watcher> w);
    // From any thread: ends w's watch of fd, if it still has it.
    void unwatch(int fd, const Watcher* w);

    bool closed() const;
    int epoll_fd() const { return epoll_.fd(); }

    // Fairness of calls that complete before they return, whose caller then
    // goes on without the loop turning. On the loop's thread, GIL held.
    using Clock = std::chrono::steady_clock;
    // Whether a call may complete so now. The first after a turn may; it
    // starts the budget and asks the loop (call_soon) to say when it turns
    // next. Later ones may while no other callback waits for the loop and
    // kTurnBudget has not passed since.
    bool may_finish_now(PyObject* loop, Clock::time_point now);
    // Whether a call may wait for its answer on the script's thread: only
    // while no other callback waits and within the budget.
    bool may_spin(PyObject* loop, Clock::time_point now) {
        return (!marker_pending_ || now - streak_start_ < kTurnBudget) && !others_ready(loop);
    }
    // A hint that other callbacks wait for the loop to turn, for a loop that
    // shows its ready queue (asyncio's own); false for any other.
    bool others_ready(PyObject* loop);
    static constexpr auto kTurnBudget = std::chrono::microseconds(200);

private:
    friend struct PortAccess;
    void pump();
    void close();

    platform::Epoll epoll_;
    platform::EventFd wake_;
    mutable std::mutex mu_;
    bool closed_ = false;
    std::deque<std::unique_ptr<Posted>> inbox_;
    std::mutex watch_mu_;
    std::unordered_map<int, std::shared_ptr<Watcher>> watched_;  // under watch_mu_
    // The loop's thread only.
    bool marker_pending_ = false;
    Clock::time_point streak_start_;
    DeferredRef marker_;
    DeferredRef ready_;
    bool ready_looked_up_ = false;
};

}  // namespace halvo::py

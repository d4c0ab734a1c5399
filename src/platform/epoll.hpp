#pragma once
// Readiness without a runtime thread: an epoll set that another loop (a
// script's event loop) watches as one descriptor, and an eventfd that wakes
// it from any thread.
#include <cstdint>
#include <span>

#include <sys/epoll.h>

#include "base/error.hpp"
#include "platform/fd.hpp"

namespace halvo::platform {

class Epoll {
public:
    static IoResult<Epoll> create();

    int fd() const { return fd_.get(); }
    // Level-triggered interest in reading; `key` comes back with the event.
    IoResult<void> add(int fd, uint64_t key);
    IoResult<void> remove(int fd);
    // The events ready now, without waiting; EINTR reads as none.
    IoResult<std::span<epoll_event>> ready(std::span<epoll_event> out);

private:
    explicit Epoll(Fd fd) : fd_(std::move(fd)) {}
    Fd fd_;
};

class EventFd {
public:
    static IoResult<EventFd> create();

    int fd() const { return fd_.get(); }
    // From any thread; never blocks (a counter that would overflow stays readable).
    void signal();
    // Clears the counter.
    void drain();

private:
    explicit EventFd(Fd fd) : fd_(std::move(fd)) {}
    Fd fd_;
};

}  // namespace halvo::platform

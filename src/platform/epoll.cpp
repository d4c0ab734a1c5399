#include "platform/epoll.hpp"

#include <cerrno>
#include <sys/eventfd.h>
#include <unistd.h>

namespace halvo::platform {

IoResult<Epoll> Epoll::create() {
    int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return fail(IoError::last_os());
    return Epoll(Fd(fd));
}

IoResult<void> Epoll::add(int fd, uint64_t key) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = key;
    if (::epoll_ctl(fd_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) return fail(IoError::last_os());
    return {};
}

IoResult<void> Epoll::remove(int fd) {
    if (::epoll_ctl(fd_.get(), EPOLL_CTL_DEL, fd, nullptr) != 0) return fail(IoError::last_os());
    return {};
}

IoResult<std::span<epoll_event>> Epoll::ready(std::span<epoll_event> out) {
    int n = ::epoll_wait(fd_.get(), out.data(), static_cast<int>(out.size()), 0);
    if (n < 0) {
        if (errno == EINTR) return out.first(0);
        return fail(IoError::last_os());
    }
    return out.first(static_cast<size_t>(n));
}

IoResult<EventFd> EventFd::create() {
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return fail(IoError::last_os());
    return EventFd(Fd(fd));
}

void EventFd::signal() {
    const uint64_t one = 1;
    // EAGAIN means the counter is full, which is readable all the same.
    while (::write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void EventFd::drain() {
    uint64_t n;
    while (::read(fd_.get(), &n, sizeof n) < 0 && errno == EINTR) {
    }
}

}  // namespace halvo::platform

#include "platform/fd.hpp"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace halvo::platform {

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

IoResult<Fd> lock_folder(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return fail(IoError::last_os());
    int rc;
    do rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) return fail(IoError::last_os());
    return fd;
}

bool wait_fd(int fd, short events, std::chrono::nanoseconds limit, WaitBy by, AroundWait* around) {
    using Clock = std::chrono::steady_clock;
    pollfd p{fd, events, 0};
    int n = 0;
    if (around) around->enter();
    if (by == WaitBy::Sleeping) {
        const long long ns = std::max<long long>(limit.count(), 0);
        const timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        n = ::ppoll(&p, 1, &ts, nullptr);
    } else {
        const auto until = Clock::now() + limit;
        do n = ::poll(&p, 1, 0);
        while (n == 0 && Clock::now() < until);
    }
    if (around) around->leave();
    return n > 0;
}

bool write_all(int fd, std::string_view data) {
    for (std::size_t done = 0; done < data.size();) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd pfd{fd, POLLOUT, 0};
            ::poll(&pfd, 1, -1);
            continue;
        }
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void grow_pipe(int fd, std::size_t bytes) { (void)::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(bytes)); }

ssize_t lend_to_pipe(int fd, std::string_view bytes) {
#ifdef __linux__
    iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
    return ::vmsplice(fd, &iov, 1, SPLICE_F_NONBLOCK);
#else
    (void)fd;
    (void)bytes;
    errno = ENOSYS;
    return -1;
#endif
}

std::optional<std::size_t> pipe_unread(int fd) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0 || n < 0) return std::nullopt;
    return static_cast<std::size_t>(n);
}

IoResult<Pipe> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return fail(IoError::last_os());
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

}  // namespace halvo::platform

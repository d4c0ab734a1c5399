#include "platform/fd.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace halvo::platform {

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

void grow_pipe(int fd, std::size_t bytes) { (void)::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(bytes)); }

IoResult<Pipe> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return fail(IoError::last_os());
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

}  // namespace halvo::platform

#pragma once
// An owned file descriptor, and close-on-exec pipes.
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <sys/types.h>

#include "base/error.hpp"

namespace halvo::platform {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read;
    Fd write;
};

// Both ends close on exec, so no child inherits them by accident.
IoResult<Pipe> make_pipe();

// Opens the folder `path`, never through a link, holding an exclusive
// flock(2) on it while the descriptor lives; a lock held elsewhere fails at
// once with EWOULDBLOCK.
IoResult<Fd> lock_folder(const std::string& path);

// What a thread does around a wait of its own: one that holds a lock other
// threads need (an interpreter's) lets go of it meanwhile.
class AroundWait {
public:
    virtual ~AroundWait() = default;
    virtual void enter() = 0;
    virtual void leave() = 0;
};

// How a wait spends its time: asleep in the kernel, or asking again and
// again, for a wait so short that waking from sleep would cost more.
enum class WaitBy { Sleeping, Polling };

// Waits up to `limit` for fd to be ready for `events` (poll(2)'s bits):
// true once it is. An interrupted wait reads as not ready; callers keep
// their own deadline. `around` brackets the wait itself.
bool wait_fd(int fd, short events, std::chrono::nanoseconds limit, WaitBy by, AroundWait* around = nullptr);

// Writes all of data, through short writes and interruptions; on a
// descriptor without room (non-blocking) it waits for some. False when a
// write fails or takes nothing.
bool write_all(int fd, std::string_view data);

// Asks for a larger pipe buffer, so a large frame crosses in fewer wakeups;
// the kernel may give less, or refuse, and the pipe works either way.
void grow_pipe(int fd, std::size_t bytes);

// Puts bytes in a pipe by reference rather than by copy: its reader copies
// them straight from this memory, which must stay as it is, and mapped,
// until the reader is past them. As write(2) otherwise; fails with EINVAL
// or EBADF where `fd` is no pipe, and ENOSYS where the system cannot lend.
ssize_t lend_to_pipe(int fd, std::string_view bytes);

// The bytes in a pipe that its reader has not taken yet; none when unknown.
std::optional<std::size_t> pipe_unread(int fd);

}  // namespace halvo::platform

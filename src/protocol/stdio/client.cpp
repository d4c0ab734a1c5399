#include "protocol/stdio/client.hpp"

#include <asio/experimental/awaitable_operators.hpp>

#include <atomic>
#include <string>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "quote.hpp"
#include "rt/runtime.hpp"

namespace halvo::protocol::stdio {

using namespace asio::experimental::awaitable_operators;
using msg::Message;

// Copies the server's standard error to ours on a thread of the blocking
// pool: fd 2 may be a regular file, which epoll refuses, and a blocking
// write must not hold an I/O thread. It ends silently when the pipe ends or
// either side fails, and outlives the client when a grandchild keeps the
// pipe open.
class StderrCopy {
public:
    static std::shared_ptr<StderrCopy> start(platform::Fd from) {
        auto copy = std::make_shared<StderrCopy>();
        rt::blocking([copy, fd = std::make_shared<platform::Fd>(std::move(from))] {
            run(fd->get());
            fd->reset();
            copy->done_.store(true, std::memory_order_release);
        });
        return copy;
    }

    bool done() const { return done_.load(std::memory_order_acquire); }

private:
    static bool write_all(const char* p, std::size_t n) {
        while (n > 0) {
            ssize_t w = ::write(STDERR_FILENO, p, n);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno == EAGAIN) {
                pollfd pfd{STDERR_FILENO, POLLOUT, 0};
                ::poll(&pfd, 1, -1);
                continue;
            }
            if (w <= 0) return false;
            p += w;
            n -= static_cast<std::size_t>(w);
        }
        return true;
    }

    static void run(int fd) {
        if (int fl = ::fcntl(fd, F_GETFL); fl >= 0 && (fl & O_NONBLOCK)) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
        char buf[8192];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || !write_all(buf, static_cast<std::size_t>(n))) return;
        }
    }

    std::atomic<bool> done_{false};
};

namespace {

Failure broken(const IoError& e, const char* context) { return Failure::broken(Chain(e).context(context)); }

// One write(2), so lines from several clients never interleave.
void report_stray(uint64_t id) {
    const std::string line = "console: a response arrived for request " + std::to_string(id) + ", which nobody made\n";
    [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

IoResult<StdioClient> StdioClient::create(platform::Command cmd, std::chrono::nanoseconds quit_wait) {
    cmd.in = cmd.out = cmd.err = platform::Stdio::piped();
    HALVO_TRY(platform::Child child, platform::spawn(std::move(cmd)));
    return StdioClient(std::move(child), quit_wait);
}

StdioClient::StdioClient(platform::Child child, std::chrono::nanoseconds quit_wait)
    : reader_(std::move(child.stdout_pipe())),
      writer_(std::move(child.stdin_pipe())),
      stderr_copy_(StderrCopy::start(std::move(child.stderr_pipe()))),
      quit_wait_(quit_wait) {
    child_.emplace(std::move(child));
}

StdioClient::StdioClient(StdioClient&&) noexcept = default;
StdioClient& StdioClient::operator=(StdioClient&&) noexcept = default;
// Not killed: the pipes close, so the server sees the end of its input, and
// the child goes to the detached reaper.
StdioClient::~StdioClient() = default;

std::optional<pid_t> StdioClient::pid() const {
    if (!child_) return std::nullopt;
    return child_->pid();
}

asio::awaitable<FailureResult<void>> StdioClient::send(Message m) {
    auto sent = co_await channel::write(writer_, m);
    if (!sent) co_return fail(broken(sent.error(), "sending a message"));
    co_return FailureResult<void>();
}

asio::awaitable<FailureResult<msg::Response>> StdioClient::call(msg::Call c) {
    // Taken before anything is written: a failed or abandoned call uses it up.
    const uint64_t id = next_id_++;
    // Named, not a temporary: gcc 12 destroys a temporary argument of a
    // coroutine call inside co_await twice.
    Message request{Message::Request{id, std::move(c)}};
    HALVO_CO_CHECK(co_await send(std::move(request)));
    for (;;) {
        auto got = co_await channel::read(reader_);
        if (!got) co_return fail(broken(got.error(), "reading a message"));
        if (!*got)
            co_return fail(Failure::broken(
                Chain("the server closed the channel before answering request " + std::to_string(id))));
        Message m = std::move(**got);
        auto* resp = std::get_if<Message::Response>(&m.v);
        if (!resp)
            co_return fail(Failure::broken(Chain("the server sent " + m.debug() + ", which a client cannot answer")));
        if (resp->id != id) {
            report_stray(resp->id);
            continue;
        }
        if (const auto* e = resp->result.error()) co_return fail(Failure::refused(*e));
        co_return std::move(resp->result);
    }
}

asio::awaitable<FailureResult<void>> StdioClient::notify(msg::Notification n) { return send(Message{n}); }

asio::awaitable<void> StdioClient::close_input_after(std::chrono::nanoseconds limit) {
    // Closing the input also ends a Quit write that the server never takes,
    // and it runs however this branch ends.
    struct Close {
        channel::FrameWriter& w;
        ~Close() { w.discard(); }
    } close{writer_};
    co_await rt::sleep(limit);
}

asio::awaitable<FailureResult<void>> StdioClient::quit() {
    // A process that exits meanwhile takes this task with it; the server,
    // perhaps deaf to quit and to the end of its input, must not outlive it.
    std::optional<platform::KillAtExit> doomed;
    if (child_) doomed.emplace(*child_);
    // The Quit write is bounded too, so a server that stopped reading with
    // its pipe full cannot hold quit forever.
    auto sent = co_await (notify(msg::Notification::Quit) || close_input_after(quit_wait_));
    writer_.discard();
    if (!child_) {
        if (sent.index() == 0) co_return std::get<0>(std::move(sent));
        co_return fail(broken(IoError(ErrorKind::TimedOut), "sending a message"));
    }
    platform::Child child = std::move(*child_);
    child_.reset();

    // The wait counts from here, after the write and the close.
    bool killed = false;
    auto waited = co_await (child.wait() || rt::sleep(quit_wait_));
    std::optional<IoResult<platform::ExitStatus>> status;
    if (waited.index() == 0) {
        status.emplace(std::get<0>(std::move(waited)));
    } else {
        killed = true;
        if (auto k = child.kill(SIGKILL); !k) co_return fail(broken(k.error(), "waiting for the console server"));
        status.emplace(co_await child.wait());
    }
    if (!*status) co_return fail(broken(status->error(), "waiting for the console server"));

    // Up to a second for the rest of its standard error; a grandchild that
    // holds the pipe keeps the copy going after that, detached.
    if (auto copy = std::move(stderr_copy_)) {
        for (int i = 0; i < 100 && !copy->done(); ++i) co_await rt::sleep(std::chrono::milliseconds(10));
    }

    if (killed)
        co_return fail(Failure::broken(Chain("the console server was still running " + quoted_duration(quit_wait_) +
                                             " after quit, so it was killed")));
    // A clean exit wins over a failed Quit write.
    if (!(*status)->success())
        co_return fail(Failure::broken(Chain("the console server ended with " + (*status)->text())));
    co_return FailureResult<void>();
}

}  // namespace halvo::protocol::stdio

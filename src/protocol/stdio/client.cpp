#include "protocol/stdio/client.hpp"

#include <asio/experimental/awaitable_operators.hpp>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/redirect_error.hpp>

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "base/quote.hpp"
#include "rt/fork.hpp"
#include "rt/runtime.hpp"

namespace halvo::protocol::stdio {

using namespace asio::experimental::awaitable_operators;
using msg::Message;

namespace {

// Our standard error, written by one job of the blocking pool at a time:
// fd 2 may be a regular file, which epoll refuses, and a blocking write must
// not hold an I/O thread. Chunks of one server keep their order.
class StderrSink {
public:
    void write(std::string chunk, std::function<void(bool)> done) {
        {
            std::lock_guard lk(mu_);
            queue_.push_back({std::move(chunk), std::move(done)});
            if (draining_) return;
            draining_ = true;
        }
        rt::blocking([this] { drain(); });
    }

private:
    struct Chunk {
        std::string bytes;
        std::function<void(bool)> done;
    };

    void drain() {
        for (;;) {
            Chunk c;
            {
                std::lock_guard lk(mu_);
                if (queue_.empty()) {
                    draining_ = false;
                    return;
                }
                c = std::move(queue_.front());
                queue_.pop_front();
            }
            c.done(platform::write_all(STDERR_FILENO, c.bytes));
        }
    }

    std::mutex mu_;
    std::deque<Chunk> queue_;
    bool draining_ = false;
};

// Never destroyed: jobs may outlive exit. A forked child has its own, since
// a drain of the parent's may be under way as it forks.
StderrSink& sink() {
    constinit static rt::PerProcess<StderrSink> sinks;
    return sinks.get();
}

struct StartSinkWrite {
    template <class Handler>
    void operator()(Handler handler, std::string chunk) const {
        auto op = std::make_shared<rt::detail::Pending<Handler>>(std::move(handler));
        sink().write(std::move(chunk), [op](bool ok) { op->complete(ok); });
    }
};

}  // namespace

// Copies the server's standard error to ours, byte for byte. The pipe is
// read on the runtime's reactor, so a quiet server costs no thread; a read
// waits until the chunk before it is written, so a blocked fd 2 holds back
// at most one chunk per server. It ends silently when the pipe ends or
// either side fails, and outlives the client when a grandchild keeps the
// pipe open.
class StderrCopy {
public:
    static std::shared_ptr<StderrCopy> start(platform::Fd from) {
        auto copy = std::make_shared<StderrCopy>();
        rt::spawn_detached(run(copy, std::move(from)));
        return copy;
    }

    bool done() const { return done_.load(std::memory_order_acquire); }

private:
    static asio::awaitable<void> run(std::shared_ptr<StderrCopy> self, platform::Fd from) {
        struct Done {
            StderrCopy& c;
            ~Done() { c.done_.store(true, std::memory_order_release); }
        } done{*self};
        asio::posix::stream_descriptor pipe(co_await asio::this_coro::executor, from.release());
        std::array<char, 8192> buf;
        for (;;) {
            asio::error_code ec;
            std::size_t n =
                co_await pipe.async_read_some(asio::buffer(buf), asio::redirect_error(asio::use_awaitable, ec));
            if (ec || n == 0) co_return;
            std::string chunk(buf.data(), n);
            bool written = co_await asio::async_initiate<decltype(asio::use_awaitable), void(bool)>(
                StartSinkWrite{}, asio::use_awaitable, std::move(chunk));
            if (!written) co_return;
        }
    }

    std::atomic<bool> done_{false};
};

namespace {

constexpr std::size_t kPipeBuffer = std::size_t{1} << 20;

Failure broken(const IoError& e, const char* context) { return Failure::broken(Chain(e).context(context)); }

// What the writer still lends, as the child keeps it.
std::shared_ptr<const void> lent(channel::FrameWriter& w) {
    auto pieces = w.take_lent();
    if (pieces.empty()) return nullptr;
    return std::make_shared<const std::vector<Blob>>(std::move(pieces));
}

// One write(2), so lines from several clients never interleave.
void report_stray(uint64_t id) {
    const std::string line = "console: a response arrived for request " + std::to_string(id) + ", which nobody made\n";
    [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

IoResult<StdioClient> StdioClient::create(platform::Command cmd, std::chrono::nanoseconds quit_wait) {
    cmd.in = cmd.out = cmd.err = platform::Stdio::piped();
    HALVO_TRY(platform::Child child, platform::spawn(std::move(cmd)));
    // Frames of a mebibyte are common (file contents): let one cross whole.
    platform::grow_pipe(child.stdin_pipe().get(), kPipeBuffer);
    platform::grow_pipe(child.stdout_pipe().get(), kPipeBuffer);
    // A server we still hold when the process exits must not outlive it.
    child.end_at_exit(child.stdin_pipe().get());
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
StdioClient& StdioClient::operator=(StdioClient&& o) noexcept {
    if (this == &o) return *this;
    if (child_) {
        child_->input_closing();
        child_->keep_until_reaped(lent(writer_));
    }
    staged_ = std::move(o.staged_);
    child_ = std::move(o.child_);
    reader_ = std::move(o.reader_);
    writer_ = std::move(o.writer_);
    stderr_copy_ = std::move(o.stderr_copy_);
    quit_wait_ = o.quit_wait_;
    next_id_ = o.next_id_;
    return *this;
}
// Not killed: the pipes close, so the server sees the end of its input, and
// the child goes to the detached reaper, with what it may still read.
StdioClient::~StdioClient() {
    if (!child_) return;
    child_->input_closing();
    child_->keep_until_reaped(lent(writer_));
}

std::optional<pid_t> StdioClient::pid() const {
    if (!child_) return std::nullopt;
    return child_->pid();
}

asio::awaitable<FailureResult<void>> StdioClient::settle_staged(std::optional<uint64_t> mine) {
    if (!staged_) co_return FailureResult<void>();
    Staged staged = std::move(*staged_);
    staged_.reset();
    if (staged.sent == 0 && staged.id != mine) co_return FailureResult<void>();
    auto sent = co_await channel::write_frame(writer_, staged.frame, staged.sent);
    if (!sent) co_return fail(broken(sent.error(), "sending a message"));
    co_return FailureResult<void>();
}

asio::awaitable<FailureResult<void>> StdioClient::send(Message m) {
    HALVO_CO_CHECK(co_await settle_staged());
    auto sent = co_await channel::write(writer_, m);
    if (!sent) co_return fail(broken(sent.error(), "sending a message"));
    co_return FailureResult<void>();
}

std::variant<Stray, FailureResult<msg::Response>> match(Message m, uint64_t id) {
    auto* resp = std::get_if<Message::Response>(&m.v);
    if (!resp) return fail(Failure::broken(Chain("the server sent " + m.debug() + ", which a client cannot answer")));
    if (resp->id != id) return Stray{resp->id};
    if (const auto* e = resp->result.error()) return fail(Failure::refused(*e));
    return std::move(resp->result);
}

namespace {

Failure closed_before(uint64_t id) {
    return Failure::broken(Chain("the server closed the channel before answering request " + std::to_string(id)));
}

// What one message read for request `id` settles; none for a stray, which
// is reported and skipped.
std::optional<FailureResult<msg::Response>> settle(IoResult<std::optional<Message>> got, uint64_t id) {
    if (!got) return fail(broken(got.error(), "reading a message"));
    if (!*got) return fail(closed_before(id));
    auto matched = match(std::move(**got), id);
    if (auto* stray = std::get_if<Stray>(&matched)) {
        report_stray(stray->id);
        return std::nullopt;
    }
    return std::get<1>(std::move(matched));
}

}  // namespace

asio::awaitable<FailureResult<msg::Response>> StdioClient::call(msg::Call c) {
    // Taken before anything is written: a failed or abandoned call uses it up.
    const uint64_t id = next_id_++;
    // Named, not a temporary: gcc 12 destroys a temporary argument of a
    // coroutine call inside co_await twice.
    Message request{Message::Request{id, std::move(c)}};
    HALVO_CO_CHECK(co_await send(std::move(request)));
    co_return co_await finish(id);
}

asio::awaitable<FailureResult<msg::Response>> StdioClient::finish(uint64_t id) {
    HALVO_CO_CHECK(co_await settle_staged(id));
    for (;;) {
        auto got = co_await channel::read(reader_);
        writer_.answered();
        if (auto done = settle(std::move(got), id)) co_return std::move(*done);
    }
}

std::optional<DirectCalls::Begun> StdioClient::begin(msg::Call& c, platform::AroundWait* around) {
    if (writer_.discarded()) return std::nullopt;
    // Partly written: the runtime writes its rest before this one.
    if (staged_ && staged_->sent > 0) return std::nullopt;
    staged_.reset();  // left by a call abandoned before it could write
    const uint64_t id = next_id_;
    Message request{Message::Request{id, std::move(c)}};
    auto bytes = frame::encode(request);
    // Handed back for call(), which then reports what went wrong.
    c = std::move(std::get<Message::Request>(request.v).call);
    if (!bytes) return std::nullopt;
    ++next_id_;
    const std::size_t out = writer_.try_write(*bytes, kRoomWait, around);
    if (out == bytes->size()) return Begun{Begun::How::Sent, id};
    staged_.emplace(Staged{id, std::move(bytes).value(), out});
    return Begun{Begun::How::Staged, id};
}

void StdioClient::close_input() {
    if (child_) child_->input_closing();
    writer_.discard();
}

void StdioClient::cut_write() {
    if (writer_.writing()) close_input();
}

StdioClient::Polled StdioClient::poll(uint64_t id, BinarySink* sink) {
    for (;;) {
        auto polled = reader_.poll(sink);
        if (std::holds_alternative<channel::FrameReader::NotYet>(polled)) return NotYet{};
        writer_.answered();
        if (auto done = settle(std::get<1>(std::move(polled)), id)) return std::move(*done);
    }
}

asio::awaitable<FailureResult<void>> StdioClient::notify(msg::Notification n) { return send(Message{n}); }

asio::awaitable<void> StdioClient::close_input_after(std::chrono::nanoseconds limit) {
    // Closing the input also ends a Quit write that the server never takes,
    // and it runs however this branch ends.
    struct Close {
        StdioClient& c;
        ~Close() { c.close_input(); }
    } close{*this};
    co_await rt::sleep(limit);
}

asio::awaitable<FailureResult<void>> StdioClient::quit() {
    // A forked child's copy: the server is its parent's to end, and the
    // channel its parent's to use. Only our copy of its input goes.
    if (child_ && !child_->started_here()) {
        close_input();
        co_return FailureResult<void>();
    }
    // The Quit write is bounded too, so a server that stopped reading with
    // its pipe full cannot hold quit forever.
    auto sent = co_await (notify(msg::Notification::Quit) || close_input_after(quit_wait_));
    close_input();
    if (!child_) {
        if (sent.index() == 0) co_return std::get<0>(std::move(sent));
        co_return fail(broken(IoError(ErrorKind::TimedOut), "sending a message"));
    }
    platform::Child child = std::move(*child_);
    child_.reset();
    child.keep_until_reaped(lent(writer_));

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

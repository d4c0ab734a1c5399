#pragma once
// The request client: owns one server child process and speaks the protocol
// over its standard input and output, one request at a time.
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

#include <sys/types.h>

#include "base/error.hpp"
#include "platform/process.hpp"
#include "protocol/mod.hpp"
#include "protocol/stdio/channel.hpp"

namespace halvo::protocol::stdio {

// How long quit waits for the server to end before it kills it.
inline constexpr std::chrono::nanoseconds kQuitWait = std::chrono::seconds(10);
// How long begin() waits for room in the server's input, in all.
inline constexpr std::chrono::nanoseconds kRoomWait = std::chrono::microseconds(200);

class StderrCopy;

// What a message read while request `id` waits means: its answer (or a
// failure: an error answer, a message a client cannot take), or a stray
// response to report and skip.
struct Stray {
    uint64_t id;
};
std::variant<Stray, FailureResult<msg::Response>> match(msg::Message m, uint64_t id);

class StdioClient final : public Client, public DirectCalls {
public:
    // Starts the program with its three standard streams piped; the rest of
    // the command (environment, working folder) is the caller's. A failure
    // to start is returned unchanged and leaves nothing behind. The server's
    // standard error is copied to ours from here on, byte for byte.
    static IoResult<StdioClient> create(platform::Command cmd, std::chrono::nanoseconds quit_wait = kQuitWait);

    StdioClient(StdioClient&&) noexcept;
    StdioClient& operator=(StdioClient&&) noexcept;
    ~StdioClient() override;

    asio::awaitable<FailureResult<msg::Response>> call(msg::Call call) override;
    asio::awaitable<FailureResult<void>> notify(msg::Notification n) override;
    // Sends quit, closes the server's input, waits for it to end (killing it
    // after the quit wait) and for its standard error up to a second more.
    // Only a server that ended well gives success. Run it on a strand (as
    // rt::spawn does): its deadline closes the input from a parallel branch.
    // In a forked child that inherited the client it only closes the child's
    // copy of the input, and succeeds.
    asio::awaitable<FailureResult<void>> quit() override;

    // The server's pid while this client holds it.
    std::optional<pid_t> pid() const;

    DirectCalls* direct() override { return this; }
    std::optional<Begun> begin(msg::Call& c, platform::AroundWait* around = nullptr) override;
    Polled poll(uint64_t id, BinarySink* sink = nullptr) override;
    asio::awaitable<FailureResult<msg::Response>> finish(uint64_t id) override;
    int answer_fd() override { return reader_.fd(); }
    std::size_t arriving() const override { return reader_.decoder().announced(); }
    void cut_write() override;
    uint64_t progress() const override { return reader_.taken() + writer_.given(); }

private:
    StdioClient(platform::Child child, std::chrono::nanoseconds quit_wait);
    asio::awaitable<FailureResult<void>> send(msg::Message m);
    asio::awaitable<void> close_input_after(std::chrono::nanoseconds limit);
    // Closes the server's input, telling the child first (see end_at_exit).
    void close_input();

    // Before any other frame: the rest of one partly written, whoever asked
    // for it (its call may have been cancelled since); one not begun is
    // written only for its own call, `mine`, and else dropped with the call
    // that gave up on it.
    asio::awaitable<FailureResult<void>> settle_staged(std::optional<uint64_t> mine = std::nullopt);

    // A request that begin() encoded and did not write whole; finish()
    // writes the rest.
    struct Staged {
        uint64_t id;
        frame::Frame frame;
        std::size_t sent = 0;  // bytes of it already out
    };
    std::optional<Staged> staged_;

    std::optional<platform::Child> child_;  // ended at exit, until reaped
    channel::FrameReader reader_;
    channel::FrameWriter writer_;
    std::shared_ptr<StderrCopy> stderr_copy_;
    std::chrono::nanoseconds quit_wait_;
    uint64_t next_id_ = 0;
};

}  // namespace halvo::protocol::stdio

#pragma once
// A client and a mount of the test's own for console tests: both record what
// happens to them, in order, in one log.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "console/session.hpp"
#include "protocol/mod.hpp"
#include "rt/runtime.hpp"

namespace halvo::test {

namespace msg = protocol::message;

class Log {
public:
    void add(std::string event) {
        std::lock_guard lk(mu_);
        events_.push_back(std::move(event));
    }
    void add_call(msg::Call c) {
        std::lock_guard lk(mu_);
        events_.push_back("call " + std::string(msg::to_string(c.method())));
        calls_.push_back(std::move(c));
    }
    std::vector<std::string> events() const {
        std::lock_guard lk(mu_);
        return events_;
    }
    std::vector<msg::Call> calls() const {
        std::lock_guard lk(mu_);
        return calls_;
    }
    void clear() {
        std::lock_guard lk(mu_);
        events_.clear();
        calls_.clear();
    }
    // Waits up to 10 s for at least n events.
    std::vector<std::string> events_once(std::size_t n) const {
        for (int i = 0; i < 1000 && events().size() < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return events();
    }

private:
    mutable std::mutex mu_;
    std::vector<std::string> events_;
    std::vector<msg::Call> calls_;
};

inline bool on_runtime_worker() { return rt::started() && rt::io().get_executor().running_in_this_thread(); }

// A result of the kind that answers the call, every field at its default.
template <std::size_t... I>
msg::Response canned(const msg::Call& c, std::index_sequence<I...>) {
    msg::Response r;
    ((c.v.index() == I ? (void)r.v.emplace<I>() : (void)0), ...);
    return r;
}
inline msg::Response canned(const msg::Call& c) {
    return canned(c, std::make_index_sequence<std::variant_size_v<msg::Call::Variant>>());
}

class ScriptedClient final : public protocol::Client {
public:
    using Answer = std::function<protocol::FailureResult<msg::Response>(const msg::Call&)>;

    explicit ScriptedClient(std::shared_ptr<Log> log, Answer answer = {},
                            std::optional<protocol::Failure> notify_failure = std::nullopt, bool deaf_to_quit = false)
        : log_(std::move(log)),
          answer_(std::move(answer)),
          notify_failure_(std::move(notify_failure)),
          deaf_to_quit_(deaf_to_quit) {}
    ~ScriptedClient() override { log_->add("client released"); }

    asio::awaitable<protocol::FailureResult<msg::Response>> call(msg::Call c) override {
        log_->add_call(c);
        if (answer_) co_return answer_(c);
        co_return canned(c);
    }
    asio::awaitable<protocol::FailureResult<void>> notify(msg::Notification n) override {
        log_->add("notify " + std::string(msg::to_string(msg::method_of(n))));
        // A server that never ends: quit waits until it is cancelled.
        if (deaf_to_quit_ && n == msg::Notification::Quit) co_await rt::sleep(std::chrono::hours(1));
        if (notify_failure_) co_return fail(*notify_failure_);
        co_return protocol::FailureResult<void>();
    }

private:
    std::shared_ptr<Log> log_;
    Answer answer_;
    std::optional<protocol::Failure> notify_failure_;
    bool deaf_to_quit_;
};

// Logs each time it is named, and its release, marked when that happens on
// a runtime worker (where a host mount's tear-down must never run).
class TrackedMount final : public fs::mount::Mount {
public:
    TrackedMount(std::shared_ptr<Log> log, std::string mountpoint)
        : log_(std::move(log)), mountpoint_(std::move(mountpoint)) {}
    ~TrackedMount() override {
        log_->add("release " + mountpoint_ + (on_runtime_worker() ? " on a runtime worker" : ""));
    }
    std::string mountpoint() const override {
        log_->add("named " + mountpoint_);
        return mountpoint_;
    }

private:
    std::shared_ptr<Log> log_;
    std::string mountpoint_;
};

inline std::unique_ptr<fs::mount::Mount> tracked(const std::shared_ptr<Log>& log, std::string mountpoint) {
    return std::make_unique<TrackedMount>(log, std::move(mountpoint));
}

// A builder whose factory hands out a scripted client and logs that.
inline console::ConsoleClientBuilder scripted_builder(const std::shared_ptr<Log>& log,
                                                      ScriptedClient::Answer answer = {}, bool deaf_to_quit = false) {
    auto client = std::make_unique<ScriptedClient>(log, std::move(answer), std::nullopt, deaf_to_quit);
    return console::ConsoleClientBuilder(
        [log, client = std::move(client)](platform::Env) mutable -> console::ClientResult {
            log->add("factory");
            return std::unique_ptr<protocol::Client>(std::move(client));
        });
}

}  // namespace halvo::test

#pragma once
// A server program we start and own behind its client, for a console or an
// image client: how it is started from a command line, and how its client
// ends, closed or let go.
#include <asio/awaitable.hpp>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "platform/process.hpp"
#include "protocol/base.hpp"
#include "protocol/mod.hpp"
#include "rt/runtime.hpp"

namespace halvo::protocol {

// What the texts of a start call the server.
struct ServerRole {
    std::string_view needs_program;  // the whole text when argv is empty
    std::string_view starting;       // the context of a failure to start
};

// argv[0], looked up on env's PATH when it names no folder, with the rest as
// its arguments, under the request client; it inherits env and our working
// folder. Each failure is a chain in the role's words; one the system
// reported names argv[0] below them, and when no file is there, `if_missing`
// (how to get the program), if it is given, follows that name.
ChainResult<std::unique_ptr<Client>> start_server(std::vector<std::string> argv, platform::Env env,
                                                  const ServerRole& role, std::string_view if_missing = {});

namespace detail {

// Lets go of a value; a list goes item by item, in order, since a vector's
// own destructor promises no order.
template <class T>
void release(T& value) {
    [[maybe_unused]] T gone = std::move(value);
}
template <class T>
void release(std::vector<T>& items) {
    for (auto& item : items) release(item);
    items.clear();
}

// Nothing kept: no pool job for it.
template <class T>
inline constexpr bool kNothing = std::is_same_v<T, std::monostate>;

}  // namespace detail

// Lets go of each value, in argument order, on the blocking pool, and waits
// for that: letting go of the last holder of a host mount waits for its
// tear-down, which must not hold a runtime worker. A cancelled wait leaves
// the job running.
template <class... T>
asio::awaitable<void> release_on_pool(T... values) {
    auto job = [... v = std::move(values)]() mutable { (detail::release(v), ...); };
    co_await rt::run_blocking(std::move(job));
}

// A value that must be let go of off the runtime's workers, held across a
// wait that may be cancelled: whatever it still holds when it ends goes to
// the blocking pool, nothing waiting for it.
template <class T>
class PoolHeld {
public:
    explicit PoolHeld(T value) : value_(std::move(value)) {}
    PoolHeld(const PoolHeld&) = delete;
    PoolHeld& operator=(const PoolHeld&) = delete;
    ~PoolHeld() {
        if constexpr (!detail::kNothing<T>)
            if (value_) rt::blocking([v = std::make_shared<T>(take())] { detail::release(*v); });
    }

    T& operator*() { return *value_; }
    T* operator->() { return &*value_; }
    T take() {
        T v = std::move(*value_);
        value_.reset();
        return v;
    }

private:
    std::optional<T> value_;
};

// Asks the server to quit and drops the outcome, lets go of the client, then
// of `keep` on the blocking pool, awaited. Cancelled while it waits, it
// still lets go of the client first, then of `keep` on the pool.
template <class Keep = std::monostate>
asio::awaitable<void> quit_then_release(std::unique_ptr<Client> quitting, Keep keep = {}) {
    PoolHeld<Keep> held(std::move(keep));
    // A local declared after `held`, so that a cancel lets go of it first:
    // parameters outlive locals.
    std::unique_ptr<Client> client = std::move(quitting);
    if (client) (void)co_await client->quit();
    client.reset();
    if constexpr (!detail::kNothing<Keep>) co_await release_on_pool(held.take());
}

// Ends a client let go without close, leaving Spent in its slot. With the
// runtime up, a detached task runs quit_then_release; nothing waits for it.
// Without a runtime both go at once, on this thread: no quit is sent, the
// child's pipes close and it is not killed.
template <class Keep = std::monostate>
void hang_up(std::unique_ptr<Client>& slot, Keep keep = {}) {
    if (!slot || dynamic_cast<Spent*>(slot.get())) return;
    std::unique_ptr<Client> client = std::exchange(slot, std::make_unique<Spent>());
    if (!rt::started()) {
        client.reset();
        detail::release(keep);
        return;
    }
    rt::spawn_detached(quit_then_release(std::move(client), std::move(keep)));
}

}  // namespace halvo::protocol

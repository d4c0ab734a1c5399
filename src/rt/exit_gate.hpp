#pragma once
// Work running outside the runtime's handlers that must end before the
// process does (a download, an unpack): as the process exits each member is
// told to stop, and the exit waits a bounded time for all of them to leave.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

namespace halvo::rt {

class ExitGate {
public:
    // Membership; leaving is destroying it.
    class Pass {
    public:
        Pass(Pass&& o) noexcept : gate_(std::exchange(o.gate_, nullptr)), id_(o.id_) {}
        Pass& operator=(Pass&&) = delete;
        ~Pass();

    private:
        friend class ExitGate;
        Pass(ExitGate* gate, std::uint64_t id) : gate_(gate), id_(id) {}
        ExitGate* gate_;
        std::uint64_t id_;
    };

    // `stop` must return promptly and must not enter or close this gate.
    // None when the process is exiting already.
    std::optional<Pass> enter(std::function<void()> stop);

    // Stops every member and waits up to `wait` for them to leave; then no
    // one enters again. A gate for the whole process is kept per process
    // (rt::PerProcess): a forked child has none of its parent's members.
    void close(std::chrono::milliseconds wait);

private:
    void leave(std::uint64_t id);

    std::mutex mu_;
    std::condition_variable empty_;
    std::map<std::uint64_t, std::function<void()>> members_;
    std::uint64_t next_ = 0;
    bool closed_ = false;
};

}  // namespace halvo::rt

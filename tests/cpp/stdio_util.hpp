#pragma once
// Running coroutines to their end from a test thread, and the stand-in server.
#include <asio/awaitable.hpp>

#include <chrono>
#include <exception>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "rt/runtime.hpp"

namespace halvo::test {

// A task spawned with its own cancel signal; get() waits for its end and
// rethrows what it ended with.
template <class T>
class Task {
public:
    explicit Task(asio::awaitable<T> task) : sig_(std::make_shared<rt::CancelSignal>()) {
        auto done = std::make_shared<std::promise<T>>();
        fut_ = done->get_future();
        rt::spawn(std::move(task), sig_, [done](std::exception_ptr e, auto&&... v) {
            if (e) return done->set_exception(e);
            if constexpr (sizeof...(v) > 0) {
                (done->set_value(std::move(*v)), ...);
            } else {
                done->set_value();
            }
        });
    }
    void cancel() { sig_->cancel(); }
    bool ready_within(std::chrono::milliseconds d) { return fut_.wait_for(d) == std::future_status::ready; }
    T get() { return fut_.get(); }

private:
    std::shared_ptr<rt::CancelSignal> sig_;
    std::future<T> fut_;
};

template <class T>
T await(asio::awaitable<T> task) {
    return Task<T>(std::move(task)).get();
}

inline bool aborted(std::exception_ptr e) {
    try {
        if (e) std::rethrow_exception(e);
    } catch (const asio::system_error& s) {
        return s.code() == asio::error::operation_aborted;
    } catch (...) {
    }
    return false;
}

// The stand-in server with an inline JSON scenario.
inline std::vector<std::string> stand_in(const std::string& scenario = "{}") {
    return {HALVO_PYTHON, std::string(HALVO_SOURCE_DIR) + "/tests/uvm/halvo-uvm", scenario};
}

}  // namespace halvo::test

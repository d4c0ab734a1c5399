#pragma once
// Running coroutines to their end from a test thread, and the stand-in server.
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "rt/runtime.hpp"
#include "test_util.hpp"

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

// The stand-in server with an inline JSON scenario.
inline std::vector<std::string> stand_in(const std::string& scenario = "{}") {
    return {HALVO_PYTHON, std::string(HALVO_SOURCE_DIR) + "/tests/uvm/halvo-uvm", scenario};
}

// Polls until the file holds `text` (up to 10 s).
inline bool eventually_holds(const std::string& path, const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
        if (read_file(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace halvo::test

// Console round trips per second through the core console client, one kind
// at a time, as bench/py_console_client.py measures them.
// usage: halvo_bench_console SECONDS MODE SERVER_ARGV...   (MODE: write, read or exec)
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "console.hpp"
#include "rt/runtime.hpp"

using namespace halvo;
using console::ConsoleClient;

namespace {

constexpr uint64_t kMiB = 1 << 20;

[[noreturn]] void give_up(const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::exit(1);
}

// One round trip of the mode, its answer checked as a caller would use it.
asio::awaitable<void> once(ConsoleClient& c, const std::string& mode, const console::Bytes& payload) {
    if (mode == "write") {
        std::string path = "/bench";
        auto size = co_await c.write(std::move(path), payload, std::nullopt);
        if (!size || *size != kMiB) give_up(size ? "a short write" : size.error().text());
    } else if (mode == "read") {
        std::string path = "/bench";
        auto got = co_await c.read(std::move(path), std::nullopt, kMiB);
        if (!got || got->data.size() != kMiB) give_up(got ? "a short read" : got.error().text());
    } else {
        std::vector<std::string> cmd{"true"};
        auto ran = co_await c.exec(std::move(cmd), std::nullopt);
        if (!ran || ran->code != 0) give_up(ran ? "a failed command" : ran.error().text());
    }
}

asio::awaitable<double> measure(double seconds, std::string mode, std::vector<std::string> argv) {
    auto booting = ConsoleClient::builder().cmd(std::move(argv)).build();
    auto made = co_await std::move(booting);
    if (!made) give_up(made.error().render());
    ConsoleClient console = std::move(made).value();
    const console::Bytes payload(kMiB);
    co_await once(console, mode, payload);  // warm up
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const auto limit = std::chrono::duration<double>(seconds);
    long calls = 0;
    while (clock::now() - start < limit) {
        co_await once(console, mode, payload);
        ++calls;
    }
    const double rate = calls / std::chrono::duration<double>(clock::now() - start).count();
    auto closing = std::move(console).close();
    co_await std::move(closing);
    co_return rate;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[2] : "";
    if (argc < 4 || (mode != "write" && mode != "read" && mode != "exec")) {
        std::fprintf(stderr, "usage: %s SECONDS write|read|exec SERVER_ARGV...\n", argv[0]);
        return 2;
    }
    std::promise<double> rate;
    auto got = rate.get_future();
    rt::spawn(measure(std::atof(argv[1]), mode, std::vector<std::string>(argv + 3, argv + argc)),
              std::make_shared<rt::CancelSignal>(), [&rate](std::exception_ptr e, std::optional<double> r) {
                  if (e) return rate.set_exception(e);
                  rate.set_value(*r);
              });
    std::printf("%.0f\n", got.get());
    return 0;
}

// Version round trips per second through the image client.
// usage: halvo_bench_version SECONDS SERVER_ARGV...
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "image/client.hpp"
#include "rt/runtime.hpp"

using namespace halvo;

namespace {

asio::awaitable<double> measure(double seconds, std::vector<std::string> argv) {
    auto made = co_await ImageClient::try_from_cmd(std::move(argv));
    if (!made) {
        std::fprintf(stderr, "%s\n", made.error().text().c_str());
        std::exit(1);
    }
    ImageClient client = std::move(made).value();
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const auto limit = std::chrono::duration<double>(seconds);
    long calls = 0;
    while (clock::now() - start < limit) {
        auto v = co_await client.version();
        if (!v) {
            std::fprintf(stderr, "%s\n", v.error().text().c_str());
            std::exit(1);
        }
        ++calls;
    }
    co_return calls / std::chrono::duration<double>(clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SECONDS SERVER_ARGV...\n", argv[0]);
        return 2;
    }
    std::promise<double> rate;
    auto got = rate.get_future();
    rt::spawn(measure(std::atof(argv[1]), std::vector<std::string>(argv + 2, argv + argc)),
              std::make_shared<rt::CancelSignal>(), [&rate](std::exception_ptr e, std::optional<double> r) {
                  if (e) return rate.set_exception(e);
                  rate.set_value(*r);
              });
    std::printf("%.0f\n", got.get());
    return 0;
}

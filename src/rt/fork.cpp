#include "rt/fork.hpp"

#include <pthread.h>

namespace halvo::rt {

namespace {
std::atomic<std::uint64_t> g_generation{0};
}  // namespace

std::uint64_t generation() {
    // Registered before anything reads the count, so every fork after it is counted.
    [[maybe_unused]] static const bool counted =
        ::pthread_atfork(nullptr, nullptr, [] { g_generation.fetch_add(1, std::memory_order_relaxed); }) == 0;
    return g_generation.load(std::memory_order_relaxed);
}

}  // namespace halvo::rt

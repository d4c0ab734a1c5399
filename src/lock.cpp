#include "lock.hpp"

namespace halvo::lock {

std::unique_lock<std::mutex> lock(std::mutex& m) { return std::unique_lock<std::mutex>(m); }

}  // namespace halvo::lock

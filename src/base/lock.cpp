#include "base/lock.hpp"

namespace halvo::inline base::lock {

std::unique_lock<std::mutex> lock(std::mutex& m) { return std::unique_lock<std::mutex>(m); }

}  // namespace halvo::base::lock

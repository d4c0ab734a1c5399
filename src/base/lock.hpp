#pragma once
// The one way the file-system trees take a mutex. C++ mutexes have no
// poisoning: a holder that unwinds releases the lock, and the guarded value
// is used as it stands.
#include <mutex>

namespace halvo::inline base::lock {

[[nodiscard]] std::unique_lock<std::mutex> lock(std::mutex& m);

}  // namespace halvo::base::lock

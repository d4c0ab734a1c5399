#include "fs/filesystem/filesystem.hpp"

#include <ctime>

namespace halvo::fs::filesystem {

WallTime WallTime::now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return {static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}

IoResult<void> FileSystem::flush(std::string_view) { return {}; }
IoResult<void> FileSystem::forget(std::string_view) { return {}; }
std::string FileSystem::tree_root(std::string_view) { return ""; }

}  // namespace halvo::fs::filesystem

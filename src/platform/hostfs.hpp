#pragma once
// Host file metadata and durable sync: the pieces of the host-folder
// pass-through that differ between operating systems.
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>

#include "error.hpp"

namespace halvo::platform {

struct HostStat {
    mode_t mode = 0;
    std::uint64_t size = 0;
    // Each absent when the host does not report it.
    std::optional<timespec> modified;
    std::optional<timespec> accessed;
    std::optional<timespec> created;  // birth time
};

// `path` relative to `dirfd` (AT_FDCWD for the working directory); links
// are followed only when `follow` is set.
IoResult<HostStat> stat_at(int dirfd, const char* path, bool follow);
IoResult<HostStat> stat_fd(int fd);

// Forces the file's data to stable storage, retried while interrupted.
IoResult<void> full_sync(int fd);

}  // namespace halvo::platform

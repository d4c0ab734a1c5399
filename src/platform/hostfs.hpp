#pragma once
// Host file metadata and durable sync: the pieces of the host-folder
// pass-through that differ between operating systems.
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>

#include "base/error.hpp"

namespace halvo::platform {

struct HostStat {
    mode_t mode = 0;
    std::uint64_t size = 0;
    // Each absent when the host does not report it.
    std::optional<timespec> modified;
    std::optional<timespec> accessed;
    std::optional<timespec> changed;  // status change
    std::optional<timespec> created;  // birth time
};

// `path` relative to `dirfd` (AT_FDCWD for the working directory); links
// are followed only when `follow` is set.
IoResult<HostStat> stat_at(int dirfd, const char* path, bool follow);
IoResult<HostStat> stat_fd(int fd);

// Forces the file's data to stable storage, retried while interrupted.
IoResult<void> full_sync(int fd);

// Permission bits (the low twelve) of `path`, links followed.
IoResult<void> set_mode(const char* path, mode_t mode);
// Access and modification times of `path`, links followed; an absent one
// stays as it is.
IoResult<void> set_times(const char* path, const std::optional<timespec>& accessed,
                         const std::optional<timespec>& modified);
// Renames without ever replacing: an existing `to` fails with EEXIST.
IoResult<void> rename_noreplace(const char* from, const char* to);

}  // namespace halvo::platform

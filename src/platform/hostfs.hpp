#pragma once
// Host file metadata, durable sync and path resolution kept beneath a
// folder: the pieces of the host-folder pass-through that differ between
// operating systems.
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "platform/fd.hpp"

namespace halvo::platform {

struct HostStat {
    mode_t mode = 0;
    std::uint64_t size = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::uint32_t nlink = 1;
    std::uint64_t blocks = 0;  // 512-byte units
    std::uint32_t blksize = 0;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    // Each absent when the host does not report it.
    std::optional<timespec> modified;
    std::optional<timespec> accessed;
    std::optional<timespec> changed;  // status change
    std::optional<timespec> created;  // birth time
};

// `path` relative to `dirfd` (AT_FDCWD for the working directory; "" for
// `dirfd` itself); links are followed only when `follow` is set.
IoResult<HostStat> stat_at(int dirfd, const char* path, bool follow);
IoResult<HostStat> stat_fd(int fd);

// One positioned read or write, retried while interrupted; a short count
// is the caller's to repeat.
IoResult<std::size_t> read_at(int fd, std::span<std::uint8_t> buf, std::uint64_t offset);
IoResult<std::size_t> write_at(int fd, std::span<const std::uint8_t> data, std::uint64_t offset);

// Forces the file's data to stable storage, retried while interrupted.
IoResult<void> full_sync(int fd);

// Each acts on `name` in `dirfd` itself, a link included, never on what it
// leads to ("" with AT_EMPTY_PATH semantics is not taken: name a child).
// Permission bits (the low twelve); a link has none to change.
IoResult<void> set_mode(int dirfd, const char* name, mode_t mode);
// Access and modification times; an absent one stays as it is.
IoResult<void> set_times(int dirfd, const char* name, const std::optional<timespec>& accessed,
                         const std::optional<timespec>& modified);
// Owner and group; an absent one stays as it is. The host decides who may.
IoResult<void> set_owner(int dirfd, const char* name, std::optional<std::uint32_t> uid,
                         std::optional<std::uint32_t> gid);
// Renames without ever replacing: an existing `to` fails with EEXIST.
IoResult<void> rename_noreplace(int from_dir, const char* from, int to_dir, const char* to);

// The target of the link `name` in `dirfd` ("" for `dirfd` itself, an
// O_PATH descriptor of the link); one too long to read whole is ENAMETOOLONG.
IoResult<std::string> read_link(int dirfd, const char* name);

// Opens `rel` (relative, no "..") beneath the folder `root` (a descriptor,
// O_PATH will do): no link, absolute path or ".." leads out of it, and
// links inside it are followed. Escaping fails with EXDEV, a chain of more
// than 40 links with ELOOP. `flags` as openat's; O_CLOEXEC is always added.
// In one step through openat2 where the kernel has it and the sandbox
// allows it (EPERM counts as not having it), else by a walk; the walk also
// takes a resolution the kernel keeps answering EAGAIN to.
IoResult<Fd> open_beneath(int root, std::string_view rel, int flags, mode_t mode = 0);
// The walk alone, as kernels before openat2 take it.
IoResult<Fd> open_beneath_by_walk(int root, std::string_view rel, int flags, mode_t mode = 0);

// A second open file description of what `fd` is open on, with `flags`
// (O_RDONLY, O_WRONLY or O_RDWR): its own locks, its own offset.
IoResult<Fd> reopen(int fd, int flags);

// A byte-range lock as fcntl knows it: F_RDLCK, F_WRLCK or F_UNLCK over
// `len` bytes from `start` (0: to the end of the file); `pid`, on a test,
// the holder's (0 when it has none).
struct RangeLock {
    int type = 0;
    std::int64_t start = 0;
    std::int64_t len = 0;
    std::int32_t pid = 0;
};

// Locks owned by the open file description of `fd`, never by this process:
// two descriptions conflict as two processes would. Never waits: a lock
// held elsewhere is EAGAIN.
IoResult<void> set_range_lock(int fd, const RangeLock& lock);
// What would stand in the way of `lock`: its type becomes F_UNLCK when nothing.
IoResult<void> test_range_lock(int fd, RangeLock& lock);
// flock(2) without waiting: LOCK_SH, LOCK_EX or LOCK_UN; held elsewhere is EAGAIN.
IoResult<void> whole_file_lock(int fd, int op);
// An anonymous file with nothing in it, for locks of files that have no host file.
IoResult<Fd> lock_anchor();

}  // namespace halvo::platform

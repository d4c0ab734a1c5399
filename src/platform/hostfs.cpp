#include "platform/hostfs.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "base/pathx.hpp"

namespace halvo::platform {

namespace {

std::optional<timespec> time_of(const struct statx& sx, unsigned mask, const statx_timestamp& t) {
    if (!(sx.stx_mask & mask)) return std::nullopt;
    return timespec{static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)};
}

IoResult<HostStat> statx_of(int dirfd, const char* path, int flags) {
    struct statx sx {};
    if (::statx(dirfd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        return fail(IoError::last_os());
    HostStat st;
    st.mode = sx.stx_mode;
    st.size = sx.stx_size;
    st.uid = sx.stx_uid;
    st.gid = sx.stx_gid;
    st.nlink = sx.stx_nlink;
    st.blocks = sx.stx_blocks;
    st.blksize = sx.stx_blksize;
    st.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    st.ino = sx.stx_ino;
    st.modified = time_of(sx, STATX_MTIME, sx.stx_mtime);
    st.accessed = time_of(sx, STATX_ATIME, sx.stx_atime);
    st.changed = time_of(sx, STATX_CTIME, sx.stx_ctime);
    st.created = time_of(sx, STATX_BTIME, sx.stx_btime);
    return st;
}

}  // namespace

IoResult<HostStat> stat_at(int dirfd, const char* path, bool follow) {
    return statx_of(dirfd, path, follow ? 0 : AT_SYMLINK_NOFOLLOW);
}

IoResult<HostStat> stat_fd(int fd) { return statx_of(fd, "", AT_EMPTY_PATH); }

IoResult<std::size_t> read_at(int fd, std::span<std::uint8_t> buf, std::uint64_t offset) {
    ssize_t n;
    do n = ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(offset));
    while (n < 0 && errno == EINTR);
    if (n < 0) return fail(IoError::last_os());
    return static_cast<std::size_t>(n);
}

IoResult<std::size_t> write_at(int fd, std::span<const std::uint8_t> data, std::uint64_t offset) {
    ssize_t n;
    do n = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
    while (n < 0 && errno == EINTR);
    if (n < 0) return fail(IoError::last_os());
    return static_cast<std::size_t>(n);
}

IoResult<void> full_sync(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return fail(IoError::last_os());
    }
    return {};
}

IoResult<void> set_mode(int dirfd, const char* name, mode_t mode) {
    // Without following: the C library does it through the node's own
    // descriptor, and a link answers EOPNOTSUPP.
    if (::fchmodat(dirfd, name, mode & 07777, AT_SYMLINK_NOFOLLOW) != 0) return fail(IoError::last_os());
    return {};
}

IoResult<void> set_times(int dirfd, const char* name, const std::optional<timespec>& accessed,
                         const std::optional<timespec>& modified) {
    const timespec omit{0, UTIME_OMIT};
    const timespec times[2] = {accessed.value_or(omit), modified.value_or(omit)};
    if (::utimensat(dirfd, name, times, AT_SYMLINK_NOFOLLOW) != 0) return fail(IoError::last_os());
    return {};
}

IoResult<void> set_owner(int dirfd, const char* name, std::optional<std::uint32_t> uid,
                         std::optional<std::uint32_t> gid) {
    if (::fchownat(dirfd, name, uid ? static_cast<uid_t>(*uid) : static_cast<uid_t>(-1),
                   gid ? static_cast<gid_t>(*gid) : static_cast<gid_t>(-1), AT_SYMLINK_NOFOLLOW) != 0)
        return fail(IoError::last_os());
    return {};
}

IoResult<void> rename_noreplace(int from_dir, const char* from, int to_dir, const char* to) {
    if (::renameat2(from_dir, from, to_dir, to, RENAME_NOREPLACE) == 0) return {};
    if (errno != EINVAL && errno != ENOSYS) return fail(IoError::last_os());
    // A file system without the flag: check, then rename. Only our own
    // hidden names go this way, and nobody else picks those.
    struct stat st;
    if (::fstatat(to_dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) return fail(IoError::os(EEXIST));
    if (::renameat(from_dir, from, to_dir, to) != 0) return fail(IoError::last_os());
    return {};
}

IoResult<std::string> read_link(int dirfd, const char* name) {
    // No host hands out a target of PATH_MAX bytes or more: a full buffer
    // is a cut one.
    std::string buf(PATH_MAX, '\0');
    ssize_t n = ::readlinkat(dirfd, name, buf.data(), buf.size());
    if (n < 0) return fail(IoError::last_os());
    if (static_cast<std::size_t>(n) >= buf.size()) return fail(IoError::os(ENAMETOOLONG));
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

namespace {

// The kernel's own limit on links followed in one resolution.
constexpr int kMaxLinks = 40;
// openat2 calls a resolution gets while the kernel answers EAGAIN.
constexpr int kOpenat2Tries = 8;

std::atomic<bool> g_no_openat2{false};

bool is_link(int dirfd, const char* name) {
    struct stat st;
    return ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

IoResult<Fd> open_beneath_by_walk(int root, std::string_view rel, int flags, mode_t mode) {
    std::deque<std::string> pending;
    for (auto c : pathx::components(rel)) pending.emplace_back(c);
    std::vector<Fd> dirs;  // the folders entered below root
    int links = 0;
    auto here = [&] { return dirs.empty() ? root : dirs.back().get(); };
    // Puts a link's target in front of what is left; false when it leads out.
    auto expand = [&](const std::string& target) -> IoResult<void> {
        if (++links > kMaxLinks) return fail(IoError::os(ELOOP));
        if (pathx::is_absolute(target)) return fail(IoError::os(EXDEV));
        auto comps = pathx::components(target);
        pending.insert(pending.begin(), comps.begin(), comps.end());
        return {};
    };
    if (pending.empty()) pending.emplace_back(".");
    while (!pending.empty()) {
        std::string c = std::move(pending.front());
        pending.pop_front();
        if (c == "..") {
            if (dirs.empty()) return fail(IoError::os(EXDEV));
            dirs.pop_back();
            if (pending.empty()) pending.emplace_back(".");
            continue;
        }
        if (!pending.empty()) {
            int fd = ::openat(here(), c.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) return fail(IoError::last_os());
            Fd step(fd);
            struct stat st;
            if (::fstat(fd, &st) != 0) return fail(IoError::last_os());
            if (S_ISLNK(st.st_mode)) {
                HALVO_TRY(auto target, read_link(fd, ""));
                HALVO_CHECK(expand(target));
                continue;
            }
            if (!S_ISDIR(st.st_mode)) return fail(IoError::os(ENOTDIR));
            if (c != ".") dirs.push_back(std::move(step));
            continue;
        }
        bool follow = !(flags & O_NOFOLLOW);
        int fd = ::openat(here(), c.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            Fd out(fd);
            struct stat st;
            // O_PATH opens a link itself.
            if (follow && (flags & O_PATH) && ::fstat(fd, &st) == 0 && S_ISLNK(st.st_mode)) {
                HALVO_TRY(auto target, read_link(fd, ""));
                HALVO_CHECK(expand(target));
                continue;
            }
            return out;
        }
        int err = errno;
        if (follow && (err == ELOOP || err == ENOTDIR) && is_link(here(), c.c_str())) {
            HALVO_TRY(auto target, read_link(here(), c.c_str()));
            HALVO_CHECK(expand(target));
            continue;
        }
        return fail(IoError::os(err));
    }
    return fail(IoError::os(ENOENT));
}

IoResult<Fd> open_beneath(int root, std::string_view rel, int flags, mode_t mode) {
    if (!g_no_openat2.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
        // The mode travels only where a file may be made, as openat2 wants.
        how.mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        std::string path = rel.empty() ? std::string(".") : std::string(rel);
        // EAGAIN: a rename or mount somewhere raced the lookup, which the
        // kernel will not vouch for; past a few tries the walk takes it.
        for (int tries = 0; tries < kOpenat2Tries; ++tries) {
            long fd;
            do fd = ::syscall(SYS_openat2, root, path.c_str(), &how, sizeof how);
            while (fd < 0 && errno == EINTR);
            if (fd >= 0) return Fd(static_cast<int>(fd));
            if (errno == EAGAIN) continue;
            // A kernel without it, or a sandbox (seccomp, containers) that
            // refuses the call: it will not answer otherwise later.
            if (errno != ENOSYS && errno != EPERM) return fail(IoError::last_os());
            g_no_openat2.store(true, std::memory_order_relaxed);
            break;
        }
    }
    return open_beneath_by_walk(root, rel, flags, mode);
}

IoResult<Fd> reopen(int fd, int flags) {
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    int out = ::open(self.c_str(), flags | O_CLOEXEC);
    if (out < 0) return fail(IoError::last_os());
    return Fd(out);
}

namespace {

struct flock as_flock(const RangeLock& lock) {
    struct flock fl {};
    fl.l_type = static_cast<short>(lock.type);
    fl.l_whence = SEEK_SET;
    fl.l_start = lock.start;
    fl.l_len = lock.len;
    fl.l_pid = 0;  // as open-file-description locks want
    return fl;
}

Unexpected<IoError> lock_failure() {
    // A lock held elsewhere is EAGAIN whichever of the two the host says.
    return fail(IoError::os(errno == EACCES ? EAGAIN : errno));
}

}  // namespace

IoResult<void> set_range_lock(int fd, const RangeLock& lock) {
    struct flock fl = as_flock(lock);
    while (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        if (errno != EINTR) return lock_failure();
    }
    return {};
}

IoResult<void> test_range_lock(int fd, RangeLock& lock) {
    struct flock fl = as_flock(lock);
    if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return fail(IoError::last_os());
    lock.type = fl.l_type;
    lock.start = fl.l_start;
    lock.len = fl.l_len;
    lock.pid = fl.l_pid > 0 ? fl.l_pid : 0;  // -1: a description's lock, held by no process
    return {};
}

IoResult<void> whole_file_lock(int fd, int op) {
    while (::flock(fd, op | LOCK_NB) != 0) {
        if (errno != EINTR) return lock_failure();
    }
    return {};
}

IoResult<Fd> lock_anchor() {
    int fd = ::memfd_create("halvo-lock", MFD_CLOEXEC);
    if (fd < 0) return fail(IoError::last_os());
    return Fd(fd);
}

}  // namespace halvo::platform

#include "platform/hostfs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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

IoResult<void> full_sync(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return fail(IoError::last_os());
    }
    return {};
}

IoResult<void> set_mode(const char* path, mode_t mode) {
    if (::fchmodat(AT_FDCWD, path, mode & 07777, 0) != 0) return fail(IoError::last_os());
    return {};
}

IoResult<void> set_times(const char* path, const std::optional<timespec>& accessed,
                         const std::optional<timespec>& modified) {
    const timespec omit{0, UTIME_OMIT};
    const timespec times[2] = {accessed.value_or(omit), modified.value_or(omit)};
    if (::utimensat(AT_FDCWD, path, times, 0) != 0) return fail(IoError::last_os());
    return {};
}

IoResult<void> rename_noreplace(const char* from, const char* to) {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return {};
    if (errno != EINVAL && errno != ENOSYS) return fail(IoError::last_os());
    // A file system without the flag: check, then rename. Only our own
    // hidden names go this way, and nobody else picks those.
    struct stat st;
    if (::fstatat(AT_FDCWD, to, &st, AT_SYMLINK_NOFOLLOW) == 0) return fail(IoError::os(EEXIST));
    if (::renameat(AT_FDCWD, from, AT_FDCWD, to) != 0) return fail(IoError::last_os());
    return {};
}

}  // namespace halvo::platform

// The struct layouts come from the installed libfuse 2.9 headers; the library
// itself is only loaded at run time.
#define FUSE_USE_VERSION 26
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif
#include "platform/fuse_shim.hpp"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fuse/fuse_lowlevel.h>
#include <linux/fuse.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <thread>
#include <atomic>
#include <algorithm>

#include "platform/epoll.hpp"
#include "platform/process.hpp"

namespace halvo::platform {

// ---- loading ----

namespace {

constexpr const char* kCandidates[] = {"libfuse.so.2", "/usr/lib/x86_64-linux-gnu/libfuse.so.2"};
constexpr const char* kMinRelease = "2.9.0";  // the loop needs the FUSE_2.9 buffer calls
constexpr const char* kCheckedRelease = "2.9.9";
constexpr int kMajor = 2;
constexpr std::string_view kSoPrefix = "libfuse.so.";

struct Lib {
    decltype(&::fuse_add_direntry) add_direntry;
    decltype(&::fuse_chan_bufsize) chan_bufsize;
    decltype(&::fuse_chan_destroy) chan_destroy;
    decltype(&::fuse_chan_fd) chan_fd;
    fuse_chan* (*kern_chan_new)(int fd);
    decltype(&::fuse_lowlevel_new) lowlevel_new;
    decltype(&::fuse_mount) mount;
    decltype(&::fuse_opt_add_arg) opt_add_arg;
    decltype(&::fuse_opt_free_args) opt_free_args;
    decltype(&::fuse_reply_attr) reply_attr;
    decltype(&::fuse_reply_buf) reply_buf;
    decltype(&::fuse_reply_create) reply_create;
    decltype(&::fuse_reply_entry) reply_entry;
    decltype(&::fuse_reply_err) reply_err;
    decltype(&::fuse_reply_none) reply_none;
    decltype(&::fuse_reply_lock) reply_lock;
    decltype(&::fuse_reply_open) reply_open;
    decltype(&::fuse_reply_iov) reply_iov;
    decltype(&::fuse_reply_readlink) reply_readlink;
    decltype(&::fuse_reply_statfs) reply_statfs;
    decltype(&::fuse_reply_write) reply_write;
    decltype(&::fuse_req_interrupted) req_interrupted;
    decltype(&::fuse_req_userdata) req_userdata;
    decltype(&::fuse_session_add_chan) session_add_chan;
    decltype(&::fuse_session_destroy) session_destroy;
    decltype(&::fuse_session_exit) session_exit;
    decltype(&::fuse_session_exited) session_exited;
    decltype(&::fuse_session_process_buf) session_process_buf;
    decltype(&::fuse_session_receive_buf) session_receive_buf;
    decltype(&::fuse_unmount) unmount;
    // Optional: without it, nothing is cached for long.
    decltype(&::fuse_lowlevel_notify_inval_inode) notify_inval_inode;
};

struct LoadState {
    int status = 0;
    int api = 0;
    char release[32] = {};
    Lib lib{};
};

LoadState g_state;
pthread_once_t g_once = PTHREAD_ONCE_INIT;

// The release R of a real file named "libfuse.so.R".
void read_release(void* sym, char (&out)[32]) {
    Dl_info info{};
    if (::dladdr(sym, &info) == 0 || !info.dli_fname) return;
    char real[PATH_MAX];
    if (!::realpath(info.dli_fname, real)) return;
    std::string_view base(real);
    if (auto slash = base.rfind('/'); slash != std::string_view::npos) base.remove_prefix(slash + 1);
    if (base.size() <= kSoPrefix.size() || base.substr(0, kSoPrefix.size()) != kSoPrefix) return;
    base.remove_prefix(kSoPrefix.size());
    if (base.size() > 31) return;
    std::memcpy(out, base.data(), base.size());
    out[base.size()] = '\0';
}

template <class F>
bool resolve(void* h, const char* name, F& slot) {
    void* p = ::dlsym(h, name);
    if (!p) return false;
    slot = reinterpret_cast<F>(p);
    return true;
}

void load() {
    void* h = nullptr;
    for (const char* c : kCandidates)
        if ((h = ::dlopen(c, RTLD_NOW | RTLD_LOCAL))) break;
    if (!h) return;
    int (*version)() = nullptr;
    if (!resolve(h, "fuse_version", version)) return;
    g_state.api = version();
    read_release(reinterpret_cast<void*>(version), g_state.release);
    if (g_state.api < 26 || g_state.api > 29) {
        g_state.status = 2;
        return;
    }
    if (g_state.release[0] >= '0' && g_state.release[0] <= '9') {
        if (std::atoi(g_state.release) != kMajor) {
            g_state.status = 3;
            return;
        }
        if (compare_release(g_state.release, kMinRelease) < 0) {
            g_state.status = 4;
            return;
        }
    }
    Lib& l = g_state.lib;
    bool all = resolve(h, "fuse_add_direntry", l.add_direntry) && resolve(h, "fuse_chan_bufsize", l.chan_bufsize) &&
               resolve(h, "fuse_chan_destroy", l.chan_destroy) &&
               resolve(h, "fuse_chan_fd", l.chan_fd) && resolve(h, "fuse_kern_chan_new", l.kern_chan_new) &&
               resolve(h, "fuse_lowlevel_new", l.lowlevel_new) &&
               resolve(h, "fuse_mount", l.mount) && resolve(h, "fuse_opt_add_arg", l.opt_add_arg) &&
               resolve(h, "fuse_opt_free_args", l.opt_free_args) && resolve(h, "fuse_reply_attr", l.reply_attr) &&
               resolve(h, "fuse_reply_buf", l.reply_buf) && resolve(h, "fuse_reply_create", l.reply_create) &&
               resolve(h, "fuse_reply_entry", l.reply_entry) && resolve(h, "fuse_reply_err", l.reply_err) &&
               resolve(h, "fuse_reply_none", l.reply_none) && resolve(h, "fuse_reply_open", l.reply_open) &&
               resolve(h, "fuse_reply_lock", l.reply_lock) && resolve(h, "fuse_reply_readlink", l.reply_readlink) &&
               resolve(h, "fuse_reply_iov", l.reply_iov) &&
               resolve(h, "fuse_req_interrupted", l.req_interrupted) &&
               resolve(h, "fuse_reply_statfs", l.reply_statfs) && resolve(h, "fuse_reply_write", l.reply_write) &&
               resolve(h, "fuse_req_userdata", l.req_userdata) &&
               resolve(h, "fuse_session_add_chan", l.session_add_chan) &&
               resolve(h, "fuse_session_destroy", l.session_destroy) &&
               resolve(h, "fuse_session_exit", l.session_exit) &&
               resolve(h, "fuse_session_exited", l.session_exited) &&
               resolve(h, "fuse_session_process_buf", l.session_process_buf) &&
               resolve(h, "fuse_session_receive_buf", l.session_receive_buf) &&
               resolve(h, "fuse_unmount", l.unmount);
    g_state.status = all ? 1 : 0;
    if (all) (void)resolve(h, "fuse_lowlevel_notify_inval_inode", l.notify_inval_inode);
}

const LoadState& loaded() {
    ::pthread_once(&g_once, load);
    return g_state;
}

const Lib& lib() { return g_state.lib; }

}  // namespace

int halvo_fuse_t_status() { return loaded().status; }
int halvo_fuse_t_api() { return loaded().api; }
const char* halvo_fuse_t_release() { return loaded().release; }
const char* halvo_fuse_t_min() { return kMinRelease; }
const char* halvo_fuse_t_checked() { return kCheckedRelease; }

int compare_release(const char* a, const char* b) {
    auto next = [](const char*& p) -> long {
        if (!*p) return 0;
        char* end = nullptr;
        long v = std::strtol(p, &end, 10);
        if (end == p) v = 0;
        p = end;
        while (*p && *p != '.') ++p;
        if (*p == '.') ++p;
        return v;
    };
    while (*a || *b) {
        long x = next(a), y = next(b);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

// ---- the session ----

struct FuseTHandle {
    fuse_chan* channel = nullptr;
    fuse_session* session = nullptr;
    std::string mountpoint;
    void* user_data = nullptr;
    int stopped = 0;
    std::optional<EventFd> wake;  // stop signals it: every serving thread wakes and ends
    std::atomic<bool> ending{false};  // lock waiters give up
    std::atomic<int> waiters{0};
    FuseTCallbacks cb{};
};

struct ReadSink {
    fuse_req_t request;
    bool sent;
};

struct DirentSink {
    fuse_req_t request;
    char* buffer;
    std::size_t size;
    std::size_t used;
};

namespace {

FuseTHandle& handle_of(fuse_req_t req) { return *static_cast<FuseTHandle*>(lib().req_userdata(req)); }

// ENOSYS would tell the kernel the operation does not exist: it then reports
// success for open and flush and never asks again.
void reply_error(fuse_req_t req, long rc) {
    int e = static_cast<int>(-rc);
    if (e == ENOSYS) e = EOPNOTSUPP;
    lib().reply_err(req, e);
}

struct stat to_stat(const FuseTAttr& a) {
    struct stat st {};
    st.st_ino = a.inode;
    st.st_mode = a.mode;
    st.st_nlink = a.nlink;
    st.st_uid = a.uid;
    st.st_gid = a.gid;
    st.st_atim = {a.atime.sec, a.atime.nsec};
    st.st_mtim = {a.mtime.sec, a.mtime.nsec};
    st.st_ctim = {a.ctime.sec, a.ctime.nsec};
    st.st_size = static_cast<off_t>(a.size);
    st.st_blocks = static_cast<blkcnt_t>(a.blocks);
    st.st_blksize = a.blksize;
    return st;
}

void reply_entry(fuse_req_t req, std::uint64_t inode, const FuseTAttr& a, fuse_file_info* fi = nullptr) {
    fuse_entry_param e{};
    e.ino = inode;
    e.generation = 0;
    e.attr = to_stat(a);
    e.attr_timeout = a.timeout;
    e.entry_timeout = a.timeout;
    if (fi)
        lib().reply_create(req, &e, fi);
    else
        lib().reply_entry(req, &e);
}

void answer_entry(fuse_req_t req, int rc, std::uint64_t inode, const FuseTAttr& a) {
    if (rc != 0)
        reply_error(req, rc);
    else
        reply_entry(req, inode, a);
}

void reply_attr(fuse_req_t req, const FuseTAttr& a) {
    struct stat st = to_stat(a);
    lib().reply_attr(req, &st, a.timeout);
}

void reply_status(fuse_req_t req, int rc) {
    if (rc != 0)
        reply_error(req, rc);
    else
        lib().reply_err(req, 0);
}

void ll_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    auto& h = handle_of(req);
    std::uint64_t ino = 0;
    FuseTAttr a;
    int rc = h.cb.lookup(h.user_data, parent, name, &ino, &a);
    if (rc == -ENOENT && a.timeout > 0) {
        // Inode 0: the kernel remembers the name as missing.
        fuse_entry_param e{};
        e.entry_timeout = a.timeout;
        lib().reply_entry(req, &e);
        return;
    }
    answer_entry(req, rc, ino, a);
}

void ll_forget(fuse_req_t req, fuse_ino_t ino, unsigned long nlookup) {
    auto& h = handle_of(req);
    h.cb.forget(h.user_data, ino, nlookup);
    lib().reply_none(req);
}

void ll_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    auto& h = handle_of(req);
    FuseTAttr a;
    int rc = h.cb.getattr(h.user_data, ino, &a);
    if (rc != 0) return reply_error(req, rc);
    reply_attr(req, a);
}

FuseTTime time_of(const timespec& t) { return {t.tv_sec, t.tv_nsec}; }

FuseTTime now() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return time_of(t);
}

void ll_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, fuse_file_info*) {
    auto& h = handle_of(req);
    FuseTSetAttr set;
    set.has_uid = (to_set & FUSE_SET_ATTR_UID) != 0;
    set.uid = static_cast<std::uint32_t>(attr->st_uid);
    set.has_gid = (to_set & FUSE_SET_ATTR_GID) != 0;
    set.gid = static_cast<std::uint32_t>(attr->st_gid);
    set.has_size = (to_set & FUSE_SET_ATTR_SIZE) != 0;
    set.size = set.has_size ? static_cast<std::uint64_t>(attr->st_size) : 0;
    set.has_mode = (to_set & FUSE_SET_ATTR_MODE) != 0;
    set.mode = static_cast<std::uint32_t>(attr->st_mode & 07777);
    set.has_atime = (to_set & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_ATIME_NOW)) != 0;
    set.atime = (to_set & FUSE_SET_ATTR_ATIME_NOW) ? now() : time_of(attr->st_atim);
    set.has_mtime = (to_set & (FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW)) != 0;
    set.mtime = (to_set & FUSE_SET_ATTR_MTIME_NOW) ? now() : time_of(attr->st_mtim);
    FuseTAttr a;
    int rc = h.cb.setattr(h.user_data, ino, &set, &a);
    if (rc != 0) return reply_error(req, rc);
    reply_attr(req, a);
}

void ll_mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
    auto& h = handle_of(req);
    std::uint64_t ino = 0;
    FuseTAttr a;
    int rc = h.cb.mkdir(h.user_data, parent, name, mode & 07777, &ino, &a);
    answer_entry(req, rc, ino, a);
}

void ll_unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    auto& h = handle_of(req);
    reply_status(req, h.cb.unlink(h.user_data, parent, name));
}

void ll_rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
    auto& h = handle_of(req);
    reply_status(req, h.cb.rmdir(h.user_data, parent, name));
}

void ll_rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newparent, const char* newname) {
    auto& h = handle_of(req);
    reply_status(req, h.cb.rename(h.user_data, parent, name, newparent, newname));
}

void ll_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    auto& h = handle_of(req);
    std::uint64_t fh = 0;
    int keep = 0;
    int rc = h.cb.open(h.user_data, ino, fi->flags, &fh, &keep);
    if (rc != 0) return reply_error(req, rc);
    fi->fh = fh;
    fi->keep_cache = keep ? 1 : 0;
    lib().reply_open(req, fi);
}

void ll_read(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi) {
    auto& h = handle_of(req);
    ReadSink sink{req, false};
    int rc = h.cb.read(h.user_data, fi->fh, static_cast<std::uint64_t>(off), static_cast<std::uint32_t>(size), &sink,
                       send_read);
    if (sink.sent) return;
    if (rc < 0)
        reply_error(req, rc);
    else
        lib().reply_buf(req, nullptr, 0);
}

void ll_write(fuse_req_t req, fuse_ino_t, const char* data, size_t size, off_t off, fuse_file_info* fi) {
    auto& h = handle_of(req);
    std::int64_t n = h.cb.write(h.user_data, fi->fh, static_cast<std::uint64_t>(off), size,
                                reinterpret_cast<const std::uint8_t*>(data));
    if (n < 0) return reply_error(req, n);
    lib().reply_write(req, static_cast<size_t>(n));
}

void ll_flush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    auto& h = handle_of(req);
    // Every close(2) flushes: the closing owner's POSIX locks on the file go.
    h.cb.release_locks(h.user_data, fi->fh, fi->lock_owner);
    reply_status(req, h.cb.flush(h.user_data, fi->fh));
}

void ll_symlink(fuse_req_t req, const char* target, fuse_ino_t parent, const char* name) {
    auto& h = handle_of(req);
    std::uint64_t ino = 0;
    FuseTAttr a;
    int rc = h.cb.symlink(h.user_data, parent, name, target, &ino, &a);
    answer_entry(req, rc, ino, a);
}

void ll_readlink(fuse_req_t req, fuse_ino_t ino) {
    auto& h = handle_of(req);
    char buf[PATH_MAX];
    int rc = h.cb.readlink(h.user_data, ino, buf, sizeof buf);
    if (rc < 0) return reply_error(req, rc);
    lib().reply_readlink(req, buf);
}

void ll_link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newparent, const char* newname) {
    auto& h = handle_of(req);
    std::uint64_t out = 0;
    FuseTAttr a;
    int rc = h.cb.link(h.user_data, ino, newparent, newname, &out, &a);
    answer_entry(req, rc, out, a);
}

void ll_mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t) {
    auto& h = handle_of(req);
    std::uint64_t ino = 0;
    FuseTAttr a;
    int rc = h.cb.mknod(h.user_data, parent, name, static_cast<std::uint32_t>(mode), &ino, &a);
    answer_entry(req, rc, ino, a);
}

RangeLock range_of(const struct flock& fl) {
    return RangeLock{fl.l_type, fl.l_start, fl.l_len, fl.l_pid};
}

void ll_getlk(fuse_req_t req, fuse_ino_t, fuse_file_info* fi, struct flock* lock) {
    auto& h = handle_of(req);
    RangeLock l = range_of(*lock);
    int rc = h.cb.getlk(h.user_data, fi->fh, fi->lock_owner, &l);
    if (rc != 0) return reply_error(req, rc);
    struct flock out {};
    out.l_type = static_cast<short>(l.type);
    out.l_whence = SEEK_SET;
    out.l_start = l.start;
    out.l_len = l.len;
    out.l_pid = l.pid;
    lib().reply_lock(req, &out);
}

// A lock held elsewhere is waited for on a thread of its own, never on a
// serving thread: `attempt` is tried again, at first every millisecond and
// then at most every 20, until it no longer answers EAGAIN, the caller is
// interrupted (a signal; EINTR) or the mount comes down. Trying again
// rather than waiting in the host's own blocking call keeps each waiter
// interruptible without signals of ours, at the cost of up to 20 ms
// before a freed lock is noticed.
template <class Attempt>
void answer_lock(fuse_req_t req, FuseTHandle& h, bool wait, Attempt attempt) {
    int rc = attempt();
    if (rc != -EAGAIN || !wait) return reply_status(req, rc);
    h.waiters.fetch_add(1);
    try {
        std::thread([req, &h, attempt] {
            int rc = -EAGAIN;
            for (int pause_us = 1000; rc == -EAGAIN; pause_us = std::min(pause_us * 2, 20000)) {
                if (h.ending.load() || lib().req_interrupted(req)) {
                    rc = -EINTR;
                    break;
                }
                ::usleep(static_cast<useconds_t>(pause_us));
                rc = attempt();
            }
            reply_status(req, rc);
            h.waiters.fetch_sub(1);
        }).detach();
    } catch (...) {
        h.waiters.fetch_sub(1);
        reply_error(req, -ENOLCK);
    }
}

void ll_setlk(fuse_req_t req, fuse_ino_t, fuse_file_info* fi, struct flock* lock, int sleep) {
    auto& h = handle_of(req);
    RangeLock l = range_of(*lock);
    std::uint64_t fh = fi->fh, owner = fi->lock_owner;
    answer_lock(req, h, sleep != 0, [&h, fh, owner, l] { return h.cb.setlk(h.user_data, fh, owner, &l); });
}

void ll_flock(fuse_req_t req, fuse_ino_t, fuse_file_info* fi, int op) {
    auto& h = handle_of(req);
    std::uint64_t fh = fi->fh;
    int bare = op & ~LOCK_NB;
    answer_lock(req, h, (op & LOCK_NB) == 0, [&h, fh, bare] { return h.cb.flock(h.user_data, fh, bare); });
}

// Locks are ours to answer, so they reach the host file.
void ll_init(void*, fuse_conn_info* conn) {
    conn->want |= conn->capable & (FUSE_CAP_POSIX_LOCKS | FUSE_CAP_FLOCK_LOCKS);
}

void ll_release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    auto& h = handle_of(req);
    reply_status(req, h.cb.release(h.user_data, fi->fh));
}

void ll_fsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info* fi) {
    auto& h = handle_of(req);
    reply_status(req, h.cb.flush(h.user_data, fi->fh));
}

void ll_access(fuse_req_t req, fuse_ino_t ino, int mask) {
    auto& h = handle_of(req);
    reply_status(req, h.cb.access(h.user_data, ino, mask));
}

void ll_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    auto& h = handle_of(req);
    std::uint64_t dh = 0;
    int keep = 0;
    int rc = h.cb.opendir(h.user_data, ino, &dh, &keep);
    if (rc != 0) return reply_error(req, rc);
    // libfuse 2.9's open reply cannot ask the kernel to cache a listing
    // (kernels from 4.20; older ones ignore the flag), so the reply is
    // built here. Without the keep flag the kernel drops what it cached.
    fuse_open_out out{};
    out.fh = dh;
    out.open_flags = FOPEN_CACHE_DIR | (keep ? FOPEN_KEEP_CACHE : 0);
    iovec iov{&out, sizeof out};
    lib().reply_iov(req, &iov, 1);
}

void ll_readdir(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi) {
    auto& h = handle_of(req);
    auto* buf = static_cast<char*>(std::calloc(size ? size : 1, 1));
    if (!buf) {
        lib().reply_err(req, ENOMEM);
        return;
    }
    DirentSink sink{req, buf, size, 0};
    int rc = h.cb.readdir(h.user_data, fi->fh, static_cast<std::uint64_t>(off), &sink, emit_dirent);
    if (rc != 0)
        reply_error(req, rc);
    else
        lib().reply_buf(req, buf, sink.used);
    std::free(buf);
}

void ll_releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    auto& h = handle_of(req);
    h.cb.releasedir(h.user_data, fi->fh);
    lib().reply_err(req, 0);
}

void ll_statfs(fuse_req_t req, fuse_ino_t) {
    auto& h = handle_of(req);
    struct statvfs st {};
    st.f_bsize = st.f_frsize = h.cb.block_size;
    st.f_blocks = st.f_bfree = st.f_bavail = h.cb.blocks;
    st.f_files = st.f_ffree = st.f_favail = h.cb.files;
    st.f_namemax = h.cb.name_max;
    lib().reply_statfs(req, &st);
}

void ll_create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) {
    auto& h = handle_of(req);
    std::uint64_t ino = 0, fh = 0;
    int keep = 0;
    FuseTAttr a;
    int rc = h.cb.create(h.user_data, parent, name, fi->flags, mode & 07777, &ino, &fh, &keep, &a);
    if (rc != 0) return reply_error(req, rc);
    fi->fh = fh;
    fi->keep_cache = keep ? 1 : 0;
    reply_entry(req, ino, a, fi);
}

const fuse_lowlevel_ops kOps = [] {
    fuse_lowlevel_ops o{};
    o.lookup = ll_lookup;
    o.forget = ll_forget;
    o.getattr = ll_getattr;
    o.setattr = ll_setattr;
    o.mkdir = ll_mkdir;
    o.unlink = ll_unlink;
    o.rmdir = ll_rmdir;
    o.rename = ll_rename;
    o.open = ll_open;
    o.read = ll_read;
    o.write = ll_write;
    o.flush = ll_flush;
    o.release = ll_release;
    o.fsync = ll_fsync;
    o.opendir = ll_opendir;
    o.readdir = ll_readdir;
    o.releasedir = ll_releasedir;
    o.statfs = ll_statfs;
    o.access = ll_access;
    o.create = ll_create;
    o.symlink = ll_symlink;
    o.readlink = ll_readlink;
    o.link = ll_link;
    o.mknod = ll_mknod;
    o.getlk = ll_getlk;
    o.setlk = ll_setlk;
    o.flock = ll_flock;
    o.init = ll_init;
    return o;
}();

struct Args {
    fuse_args a = FUSE_ARGS_INIT(0, nullptr);
    ~Args() { lib().opt_free_args(&a); }
};

}  // namespace

void send_read(ReadSink* sink, const std::uint8_t* data, std::size_t size) {
    if (sink->sent) return;
    sink->sent = true;
    lib().reply_buf(sink->request, reinterpret_cast<const char*>(data), size);
}

int emit_dirent(DirentSink* sink, std::uint64_t inode, const char* name, std::uint32_t mode,
                std::int64_t next_offset) {
    std::size_t needed = lib().add_direntry(sink->request, nullptr, 0, name, nullptr, 0);
    if (sink->used + needed > sink->size) return 1;
    struct stat st {};
    st.st_ino = inode;
    st.st_mode = mode;
    lib().add_direntry(sink->request, sink->buffer + sink->used, sink->size - sink->used, name, &st, next_offset);
    sink->used += needed;
    return 0;
}

namespace {

constexpr std::uint32_t kChannelEvent = 0;
constexpr std::uint32_t kWakeEvent = 1;

bool watch(int ep, int fd, std::uint32_t events, std::uint32_t tag) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u32 = tag;
    return ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) == 0;
}

// What libfuse would refuse with a line on standard error of its own.
bool usable_mount_point(const char* mountpoint, struct stat& st) {
    if (::stat(mountpoint, &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) return S_ISREG(st.st_mode);
    DIR* d = ::opendir(mountpoint);
    if (!d) return false;
    bool empty = true;
    while (const dirent* e = ::readdir(d)) {
        std::string_view n = e->d_name;
        if (n != "." && n != "..") {
            empty = false;
            break;
        }
    }
    ::closedir(d);
    return empty;
}

// As root: /dev/fuse opened close-on-exec from the start, so no child
// started meanwhile by another thread inherits the connection, and the
// mount made here. -1 on failure, with nothing left mounted.
int mount_directly(const char* mountpoint, const char* fsname, const struct stat& st) {
    int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    char opts[128];
    std::snprintf(opts, sizeof opts, "fd=%d,rootmode=%o,user_id=%u,group_id=%u", fd,
                  static_cast<unsigned>(st.st_mode & S_IFMT), static_cast<unsigned>(::getuid()),
                  static_cast<unsigned>(::getgid()));
    if (::mount(fsname, mountpoint, "fuse", MS_NOSUID | MS_NODEV, opts) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

FuseTHandle* halvo_fuse_t_mount(const char* mountpoint, const char* fsname, void* user_data,
                                const FuseTCallbacks* callbacks) {
    if (halvo_fuse_t_status() != 1) return nullptr;
    struct stat st;
    if (!usable_mount_point(mountpoint, st)) return nullptr;
    auto* h = new (std::nothrow) FuseTHandle;
    if (!h) return nullptr;
    h->cb = *callbacks;
    h->user_data = user_data;
    try {
        h->mountpoint = mountpoint;
    } catch (...) {
        delete h;
        return nullptr;
    }
    // As root the mount is made here; where that is refused (a user
    // namespace, say), libfuse's own way is tried.
    int direct_fd = ::geteuid() == 0 ? mount_directly(h->mountpoint.c_str(), fsname, st) : -1;
    auto give_up = [h, direct = direct_fd >= 0] {
        if (h->channel && direct) {
            ::umount2(h->mountpoint.c_str(), MNT_DETACH);
            lib().chan_destroy(h->channel);
        } else if (h->channel) {
            lib().unmount(h->mountpoint.c_str(), h->channel);
        }
        delete h;
        return nullptr;
    };
    if (direct_fd >= 0) {
        h->channel = lib().kern_chan_new(direct_fd);
        if (!h->channel) {
            ::umount2(h->mountpoint.c_str(), MNT_DETACH);
            ::close(direct_fd);
            return give_up();
        }
    }
    auto wake = EventFd::create();
    if (!wake) return give_up();
    h->wake.emplace(std::move(wake).value());

    // big_writes: 128 KiB per write request in place of 4 KiB.
    char opts[256];
    int n = direct_fd >= 0 ? std::snprintf(opts, sizeof opts, "big_writes")
                           : std::snprintf(opts, sizeof opts, "fsname=%s,big_writes", fsname);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof opts) return give_up();
    Args args;
    if (lib().opt_add_arg(&args.a, "halvo") != 0 || lib().opt_add_arg(&args.a, "-o") != 0 ||
        lib().opt_add_arg(&args.a, opts) != 0)
        return give_up();
    if (!h->channel) {
        h->channel = lib().mount(h->mountpoint.c_str(), &args.a);
        if (!h->channel) return give_up();
    }
    int fd = lib().chan_fd(h->channel);
    // The helper's descriptor lacks close-on-exec; a child's copy would keep
    // the connection, and so the mount, alive after we die. Non-blocking, so
    // a thread woken when no request is left goes back to waiting.
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    h->session = lib().lowlevel_new(&args.a, &kOps, sizeof kOps, h);
    if (!h->session) return give_up();
    lib().session_add_chan(h->session, h->channel);
    return h;
}

int halvo_fuse_t_loop(FuseTHandle* h) {
    const Lib& l = lib();
    std::size_t bufsize = l.chan_bufsize(h->channel);
    std::unique_ptr<char[]> mem(new (std::nothrow) char[bufsize]);
    if (!mem) return -1;
    int fd = l.chan_fd(h->channel);
    // An epoll of this thread's own, exclusive on the channel: a request wakes
    // one idle thread, the first to have started before the others, so a lone
    // caller keeps meeting the same thread; a stop wakes them all.
    Fd ep(::epoll_create1(EPOLL_CLOEXEC));
    int res = 0;
    if (!ep || !watch(ep.get(), fd, EPOLLIN | EPOLLEXCLUSIVE, kChannelEvent) ||
        !watch(ep.get(), h->wake->fd(), EPOLLIN, kWakeEvent))
        res = -1;
    while (res == 0 && !l.session_exited(h->session)) {
        epoll_event ev[2]{};
        int n = ::epoll_wait(ep.get(), ev, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            res = -errno;
            break;
        }
        bool stop = false;
        for (int i = 0; i < n; ++i) stop = stop || ev[i].data.u32 == kWakeEvent;
        if (stop) break;
        fuse_buf buf{};
        buf.mem = mem.get();
        buf.size = bufsize;
        fuse_chan* ch = h->channel;
        // EAGAIN: another thread took the request this one was told of.
        int got = l.session_receive_buf(h->session, &buf, &ch);
        if (got == -EINTR || got == -EAGAIN) continue;
        // 0: the connection ended (unmounted or aborted).
        if (got <= 0) {
            res = got;
            break;
        }
        l.session_process_buf(h->session, &buf, ch);
    }
    return res < 0 ? -1 : 0;
}

void halvo_fuse_t_stop(FuseTHandle* h) {
    if (!h || h->stopped) return;
    h->stopped = 1;
    h->ending.store(true);
    if (h->session) lib().session_exit(h->session);
    if (h->wake) h->wake->signal();
}

void halvo_fuse_t_destroy(FuseTHandle* h) {
    if (!h) return;
    halvo_fuse_t_stop(h);
    // Lock waiters answer and end within one pause once told to.
    while (h->waiters.load() != 0) ::usleep(1000);
    // Closes /dev/fuse: a mount still present answers ENOTCONN from now on.
    if (h->session) lib().session_destroy(h->session);
    delete h;
}

bool halvo_fuse_t_can_notify() { return halvo_fuse_t_status() == 1 && lib().notify_inval_inode; }

int halvo_fuse_t_inval_inode(FuseTHandle* h, std::uint64_t inode) {
    if (!halvo_fuse_t_can_notify() || !h || !h->channel) return -ENOSYS;
    // A negative offset: attributes only, so no page lock is taken.
    return lib().notify_inval_inode(h->channel, inode, -1, 0);
}

void name_this_thread(const char* name) {
    char cut[16] = {};
    std::strncpy(cut, name, sizeof cut - 1);
    ::pthread_setname_np(::pthread_self(), cut);
}

// ---- the support check ----

namespace {

std::string install_hint() {
    return std::string("install libfuse ") + kCheckedRelease + " with apt-get install fuse libfuse2";
}

}  // namespace

std::optional<std::string> fuse_support_problem() {
    int status = halvo_fuse_t_status();
    std::string release = halvo_fuse_t_release();
    switch (status) {
        case 1: {
            struct stat st;
            if (::stat("/dev/fuse", &st) != 0 || !S_ISCHR(st.st_mode))
                return "FUSE is installed without its device (/dev/fuse): load the fuse module (modprobe fuse)";
            // Without root, libfuse 2 mounts through its setuid helper.
            if (::geteuid() != 0 && !find_program("fusermount", environ_snapshot()))
                return "FUSE is installed without its mount helper (fusermount): apt-get install fuse";
            return std::nullopt;
        }
        case 2:
            return "the installed libfuse speaks libfuse API " + std::to_string(halvo_fuse_t_api()) +
                   ", and halvo is built for libfuse 2 (26 to 29): " + install_hint();
        case 3:
            return "libfuse " + release + " is installed, and halvo is checked against libfuse 2.x (last " +
                   kCheckedRelease + "): " + install_hint();
        case 4:
            return "libfuse " + release + " is installed, and halvo needs libfuse " + kMinRelease +
                   " or later: apt-get install --only-upgrade libfuse2, or install it from the Debian packages";
        default:
            return std::string(
                "mounting on Linux needs FUSE 2 (libfuse.so.2), which is not installed: apt-get install fuse, or "
                "libfuse2 beside fuse3");
    }
}

// ---- mount table and unmount commands ----

namespace {

// mountinfo writes space, tab, newline and backslash as \ooo.
std::string unescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
            s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

}  // namespace

std::string device_text(dev_t dev) { return std::to_string(::major(dev)) + ":" + std::to_string(::minor(dev)); }

std::optional<dev_t> parse_device(std::string_view text) {
    auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    unsigned major = 0, minor = 0;
    const char* end = text.data() + text.size();
    auto [p1, e1] = std::from_chars(text.data(), text.data() + colon, major);
    auto [p2, e2] = std::from_chars(text.data() + colon + 1, end, minor);
    if (e1 != std::errc() || p1 != text.data() + colon || e2 != std::errc() || p2 != end) return std::nullopt;
    return ::makedev(major, minor);
}

std::vector<MountEntry> parse_mountinfo(std::string_view text) {
    std::vector<MountEntry> out;
    while (!text.empty()) {
        auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        std::vector<std::string_view> fields;
        while (!line.empty()) {
            auto sp = line.find(' ');
            if (sp != 0) fields.push_back(line.substr(0, sp));
            line.remove_prefix(sp == std::string_view::npos ? line.size() : sp + 1);
        }
        // id parent major:minor root mount-point options [optional...] - fstype source super-options
        if (fields.size() < 5) continue;
        std::size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-") ++dash;
        MountEntry e;
        std::from_chars(fields[0].data(), fields[0].data() + fields[0].size(), e.id);
        std::from_chars(fields[1].data(), fields[1].data() + fields[1].size(), e.parent);
        e.dev = parse_device(fields[2]).value_or(0);
        e.mount_point = unescape(fields[4]);
        if (dash + 2 < fields.size()) {
            e.fstype = unescape(fields[dash + 1]);
            e.source = unescape(fields[dash + 2]);
        }
        out.push_back(std::move(e));
    }
    return out;
}

std::vector<MountEntry> mount_table() {
    std::ifstream in("/proc/self/mountinfo", std::ios::binary);
    if (!in) return {};
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parse_mountinfo(text);
}

bool is_fuse_mount_named(const MountEntry& entry, std::string_view fsname) {
    return entry.fstype == "fuse" && entry.source == fsname;
}

std::vector<std::vector<std::string>> unmount_ladder(const std::string& m) {
    // -c: the point is taken as it is, not looked up first.
    std::vector<std::vector<std::string>> rungs = {{"umount", "-c", m}, {"umount", "-l", "-c", m}};
    if (::geteuid() != 0) rungs.push_back({"fusermount", "-u", "-z", m});
    return rungs;
}

bool abort_connection(dev_t dev, const std::string& mount_point) {
    std::string control = "/sys/fs/fuse/connections/" + std::to_string(::minor(dev)) + "/abort";
    int fd = ::open(control.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        bool done = ::write(fd, "1", 1) == 1;
        ::close(fd);
        if (done) return true;
    }
    // A forced unmount aborts a FUSE connection before anything else, busy
    // or not.
    return ::umount2(mount_point.c_str(), MNT_FORCE) == 0 || errno == EBUSY;
}

// Kept byte for byte: it begins and ends with a newline.
const std::string_view kWatchdogScript = R"sh(
trap '' INT TERM HUP QUIT PIPE
owner=$HALVO_MOUNT_OWNER
nl='
'
# Whether every thread of the owner has ended or is ending: one stuck in its
# own exit, or killed while it waits on an answer of its own mount, still
# holds our input open.
ending() {
    for task in /proc/"$owner"/task/*; do
        read -r line 2>/dev/null <"$task/stat" || continue
        set -- ${line##*) }
        case $1 in Z|X) continue ;; esac
        [ $(($7 & 4)) -ne 0 ] || killed "$task/status" || return 1
    done
    return 0
}
# Whether a thread has SIGKILL (bit 9 of its pending masks) waiting.
killed() {
    while read -r key mask; do
        case $key in SigPnd:|ShdPnd:) ;; *) continue ;; esac
        low=${mask#"${mask%???}"}
        [ $((0x$low & 256)) -ne 0 ] && return 0
    done 2>/dev/null <"$1"
    return 1
}
# "on-top present device" of our mount at $mountpoint (of device $dev if known).
where() {
    MP=$mountpoint DEV=$dev awk '
        BEGIN {
            want = ENVIRON["MP"]; dev = ENVIRON["DEV"]
            gsub(/\\/, "\\134", want); gsub(/ /, "\\040", want)
            gsub(/\t/, "\\011", want); gsub(/\n/, "\\012", want)
        }
        $5 == want {
            for (i = 7; i < NF && $i != "-"; i++) ;
            ours = $(i + 1) == "fuse" && $(i + 2) == "halvo" && (dev == "" || $3 == dev)
            if (ours) { present = 1; found[$1] = $3 }
            at[$1] = ours; under[$2] = 1
        }
        END {
            for (m in at) if (!(m in under) && at[m]) { top = 1; d = found[m] }
            print top + 0, present + 0, d
        }' /proc/self/mountinfo
}
while :; do
    timeout -s KILL 1 cat >/dev/null
    case $? in
        0) break ;;
        124|137) ending && break ;;
        *) cat >/dev/null; break ;;
    esac
done
for record in "$HALVO_MOUNT_REGISTRY/$owner"-*; do
    [ -f "$record" ] || continue
    content=$(cat "$record") || continue
    mountpoint=$content dev=
    case $content in
        *"$nl"*)
            dev=${content##*"$nl"}
            case $dev in
                *[!0-9:]*|'') dev= ;;
                *) mountpoint=${content%"$nl"*} ;;
            esac ;;
    esac
    if [ -z "$mountpoint" ]; then rm -f "$record"; continue; fi
    set -- $(where)
    if [ "$2" = 0 ]; then rm -f "$record"; continue; fi
    # Something else lies on top: unmounting would take that down instead.
    [ "$1" = 1 ] || continue
    echo 1 2>/dev/null >/sys/fs/fuse/connections/"${3#*:}"/abort || umount -f -c "$mountpoint" 2>/dev/null
    umount -c "$mountpoint" 2>/dev/null || umount -l -c "$mountpoint" 2>/dev/null ||
        fusermount -u -z "$mountpoint" 2>/dev/null
    set -- $(where)
    [ "$2" = 0 ] && rm -f "$record"
done
)sh";

std::string user_tmp_dir() {
    for (const char* name : {"TMPDIR", "XDG_RUNTIME_DIR"})
        if (const char* v = std::getenv(name); v && *v) return v;
    return "/tmp";
}

}  // namespace halvo::platform

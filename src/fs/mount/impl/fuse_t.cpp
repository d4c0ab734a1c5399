#include "fs/mount/impl/fuse_t.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <span>
#include <system_error>

#include "fs/mount/impl/mod.hpp"
#include "fs/mount/support.hpp"
#include "base/lock.hpp"
#include "base/pathx.hpp"
#include "base/quote.hpp"
#include "base/utf8.hpp"
#include "rt/fork.hpp"

namespace halvo::fs::mount::impl {

using filesystem::OpenFlags;
using filesystem::Posix;
using platform::FuseTAttr;

namespace fuse_t {

std::optional<OpenFlags> decode_flags(int flags) {
    OpenFlags f;
    switch (flags & O_ACCMODE) {
        case O_RDONLY: f.read = true; break;
        case O_WRONLY: f.write = true; break;
        case O_RDWR: f.read = f.write = true; break;
        default: return std::nullopt;
    }
    f.truncate = (flags & O_TRUNC) != 0;
    f.create = (flags & O_CREAT) != 0;
    f.create_new = (flags & O_EXCL) != 0;
    return f;
}

FuseTAttr to_halvo_stat(std::uint64_t inode, const filesystem::Stat& st) {
    auto time = [](const filesystem::WallTime& t) -> platform::FuseTTime {
        if (t.sec < 0) return {};
        return {t.sec, static_cast<std::int64_t>(t.nsec)};
    };
    FuseTAttr a;
    a.inode = inode;
    a.size = st.size;
    a.blocks = st.blocks.value_or((st.size + 511) / 512);
    a.mode = filesystem::type_bits(st.type) | (st.mode & 07777);
    a.nlink = st.nlink;
    a.blksize = st.blksize.value_or(512);
    a.uid = st.uid.value_or(::getuid());
    a.gid = st.gid.value_or(::getgid());
    filesystem::WallTime mtime = st.modified.value_or(filesystem::WallTime{});
    a.mtime = time(mtime);
    a.atime = time(st.accessed.value_or(mtime));
    a.ctime = time(st.changed.value_or(mtime));
    return a;
}

int code(const IoError& error) { return -filesystem::posix::host_errno(error); }

namespace {

Posix& adapter(void* ud) { return *static_cast<Posix*>(ud); }

template <class T>
int status(const IoResult<T>& r) {
    return r ? 0 : code(r.error());
}

int entry(IoResult<Posix::Entry> r, std::uint64_t* inode, FuseTAttr* attr) {
    if (!r) return code(r.error());
    *inode = r->inode;
    *attr = to_halvo_stat(r->inode, r->stat);
    attr->timeout = r->timeout;
    return 0;
}

int lookup(void* ud, std::uint64_t parent, const char* name, std::uint64_t* inode, FuseTAttr* attr) {
    return guarded([&] {
        int rc = entry(adapter(ud).lookup_child(parent, name), inode, attr);
        if (rc == -ENOENT) attr->timeout = adapter(ud).missing_timeout(parent, name);
        return rc;
    });
}

// Attributes after a stat or a change, with how long they hold.
int attributes(Posix& a, std::uint64_t inode, const IoResult<filesystem::Stat>& r, FuseTAttr* attr) {
    if (!r) return code(r.error());
    *attr = to_halvo_stat(inode, *r);
    attr->timeout = a.timeout_of(inode);
    return 0;
}

int getattr(void* ud, std::uint64_t inode, FuseTAttr* attr) {
    return guarded([&] { return attributes(adapter(ud), inode, adapter(ud).stat_inode(inode), attr); });
}

filesystem::WallTime wall(const platform::FuseTTime& t) {
    return {t.sec, static_cast<std::uint32_t>(t.nsec)};
}

int setattr(void* ud, std::uint64_t inode, const platform::FuseTSetAttr* set, FuseTAttr* attr) {
    return guarded([&] {
        filesystem::SetAttr change;
        if (set->has_uid) change.uid = set->uid;
        if (set->has_gid) change.gid = set->gid;
        if (set->has_mode) change.mode = set->mode;
        if (set->has_atime) change.accessed = wall(set->atime);
        if (set->has_mtime) change.modified = wall(set->mtime);
        auto r = adapter(ud).setattr_inode(inode, set->has_size ? std::optional(set->size) : std::nullopt, change);
        return attributes(adapter(ud), inode, r, attr);
    });
}

int open(void* ud, std::uint64_t inode, int flags, std::uint64_t* handle, int* keep_cache) {
    return guarded([&] {
        auto f = decode_flags(flags);
        if (!f) return -EINVAL;
        auto r = adapter(ud).open_inode(inode, *f);
        if (!r) return code(r.error());
        *handle = *r;
        *keep_cache = adapter(ud).keeps_cache(*r) ? 1 : 0;
        return 0;
    });
}

int create(void* ud, std::uint64_t parent, const char* name, int flags, std::uint32_t mode, std::uint64_t* inode,
           std::uint64_t* handle, int* keep_cache, FuseTAttr* attr) {
    return guarded([&] {
        auto f = decode_flags(flags);
        if (!f) return -EINVAL;
        f->create = true;
        auto r = adapter(ud).create_child(parent, name, *f, mode);
        if (!r) return code(r.error());
        *inode = r->inode;
        *handle = r->handle;
        *keep_cache = adapter(ud).keeps_cache(r->handle) ? 1 : 0;
        *attr = to_halvo_stat(r->inode, r->stat);
        attr->timeout = r->timeout;
        return 0;
    });
}

int read(void* ud, std::uint64_t handle, std::uint64_t offset, std::uint32_t size, platform::ReadSink* sink,
         platform::SendRead send) {
    return guarded([&] {
        return status(adapter(ud).read_handle_with(
            handle, offset, size, [&](std::span<const std::uint8_t> bytes) { send(sink, bytes.data(), bytes.size()); }));
    });
}

std::int64_t write(void* ud, std::uint64_t handle, std::uint64_t offset, std::uint64_t size,
                   const std::uint8_t* data) {
    return guarded([&]() -> std::int64_t {
        auto r = adapter(ud).write_handle(handle, offset, std::span(data, size));
        if (!r) return code(r.error());
        return static_cast<std::int64_t>(*r);
    });
}

int flush(void* ud, std::uint64_t handle) {
    return guarded([&] { return status(adapter(ud).flush_handle(handle)); });
}

int release(void* ud, std::uint64_t handle) {
    return guarded([&] { return status(adapter(ud).release_handle(handle)); });
}

int mkdir(void* ud, std::uint64_t parent, const char* name, std::uint32_t mode, std::uint64_t* inode,
          FuseTAttr* attr) {
    return guarded([&] { return entry(adapter(ud).mkdir_child(parent, name, mode), inode, attr); });
}

int unlink(void* ud, std::uint64_t parent, const char* name) {
    return guarded([&] { return status(adapter(ud).unlink_child(parent, name)); });
}

int rmdir(void* ud, std::uint64_t parent, const char* name) {
    return guarded([&] { return status(adapter(ud).rmdir_child(parent, name)); });
}

int rename(void* ud, std::uint64_t parent, const char* name, std::uint64_t new_parent, const char* new_name) {
    return guarded([&] { return status(adapter(ud).rename_child(parent, name, new_parent, new_name)); });
}

int access(void* ud, std::uint64_t inode, int mask) {
    return guarded([&] { return status(adapter(ud).access_inode(inode, mask)); });
}

int opendir(void* ud, std::uint64_t inode, std::uint64_t* dir_handle, int* keep_listing) {
    return guarded([&] {
        auto r = adapter(ud).open_dir(inode);
        if (!r) return code(r.error());
        *dir_handle = *r;
        *keep_listing = adapter(ud).keeps_listing(inode) ? 1 : 0;
        return 0;
    });
}

int readdir(void* ud, std::uint64_t dir_handle, std::uint64_t offset, platform::DirentSink* sink,
            platform::EmitDirent emit) {
    return guarded([&] {
        return status(adapter(ud).for_each_dirent(
            dir_handle, offset, [&](std::uint64_t ino, const char* name, std::uint32_t mode, std::int64_t next) {
                return emit(sink, ino, name, mode, next) != 0;
            }));
    });
}

void releasedir(void* ud, std::uint64_t dir_handle) {
    guarded([&] { adapter(ud).release_dir(dir_handle); });
}

void forget(void* ud, std::uint64_t inode, std::uint64_t count) {
    guarded([&] { adapter(ud).forget_inode(inode, count); });
}

int symlink(void* ud, std::uint64_t parent, const char* name, const char* target, std::uint64_t* inode,
            FuseTAttr* attr) {
    return guarded([&] { return entry(adapter(ud).symlink_child(parent, name, target), inode, attr); });
}

int readlink(void* ud, std::uint64_t inode, char* buf, std::size_t size) {
    return guarded([&] {
        auto r = adapter(ud).readlink_inode(inode);
        if (!r) return code(r.error());
        if (r->size() >= size) return -ENAMETOOLONG;
        std::memcpy(buf, r->data(), r->size());
        buf[r->size()] = '\0';
        return static_cast<int>(r->size());
    });
}

int link(void* ud, std::uint64_t inode, std::uint64_t new_parent, const char* new_name, std::uint64_t* out_inode,
         FuseTAttr* attr) {
    return guarded([&] { return entry(adapter(ud).link_child(inode, new_parent, new_name), out_inode, attr); });
}

int mknod(void* ud, std::uint64_t parent, const char* name, std::uint32_t mode, std::uint64_t* inode,
          FuseTAttr* attr) {
    return guarded([&] {
        filesystem::FileType type;
        switch (mode & S_IFMT) {
            case S_IFIFO: type = filesystem::FileType::Fifo; break;
            case S_IFSOCK: type = filesystem::FileType::Socket; break;
            case S_IFREG:
            case 0: {
                // A plain file made by mknod(2): created, and closed at once.
                auto r = adapter(ud).create_child(parent, name, OpenFlags{.write = true, .create = true, .create_new = true},
                                                  mode & 07777);
                if (!r) return code(r.error());
                (void)adapter(ud).release_handle(r->handle);
                *inode = r->inode;
                *attr = to_halvo_stat(r->inode, r->stat);
                return 0;
            }
            default: return -EPERM;  // devices: the mount is nodev
        }
        return entry(adapter(ud).mknod_child(parent, name, type, mode & 07777), inode, attr);
    });
}

int getlk(void* ud, std::uint64_t handle, std::uint64_t owner, platform::RangeLock* lock) {
    return guarded([&] { return status(adapter(ud).test_lock(handle, owner, *lock)); });
}

int setlk(void* ud, std::uint64_t handle, std::uint64_t owner, const platform::RangeLock* lock) {
    return guarded([&] { return status(adapter(ud).set_lock(handle, owner, *lock)); });
}

int flock(void* ud, std::uint64_t handle, int op) {
    return guarded([&] { return status(adapter(ud).flock_handle(handle, op)); });
}

void release_locks(void* ud, std::uint64_t handle, std::uint64_t owner) {
    guarded([&] { adapter(ud).release_owner_locks(handle, owner); });
}

}  // namespace

const platform::FuseTCallbacks& callbacks() {
    static const platform::FuseTCallbacks cb{
        lookup, getattr, setattr, open,   create,  read,    write,      flush,
        release, mkdir, unlink,  rmdir, rename, access, opendir, readdir, releasedir, forget,
        symlink, readlink, link,  mknod, getlk,  setlk,  flock,   release_locks,
        std::uint64_t{1} << 31,  // blocks
        std::uint64_t{1} << 32,  // files
        512,                     // block size
        255,                     // name max
    };
    return cb;
}

}  // namespace fuse_t

// ---- mounting ----

namespace {

constexpr const char* kThreadName = "halvo-fuse-t";
constexpr std::chrono::milliseconds kPoll{20};

std::string shown(std::string_view path) { return utf8::lossy(path); }

std::string parent_of(const std::string& abs) {
    auto slash = abs.rfind('/');
    return slash == 0 ? "/" : abs.substr(0, slash);
}

// The serving thread calls into the host folder; if that folder is the
// mount itself, or holds it, the thread would wait on itself for good.
IoResult<void> check_host_folders(Directory& tree, const std::string& resolved) {
    for (auto& [key, fs] : tree.host_folders()) {
        std::string host = table::absolute(fs->root());
        char real[PATH_MAX];
        if (::realpath(host.c_str(), real)) host = real;
        if (pathx::at_or_under(pathx::key(host), pathx::key(resolved)))
            return fail(IoError(ErrorKind::InvalidInput, "the host folder " + quoted(fs->root()) +
                                                             " lies at or under the mount point " +
                                                             quoted(resolved)));
        if (pathx::at_or_under(pathx::key(resolved), pathx::key(host)))
            return fail(IoError(ErrorKind::InvalidInput,
                                "the host folder " + quoted(fs->root()) + " holds the mount point " + quoted(resolved)));
    }
    return {};
}

template <class Pred>
bool poll_until(std::chrono::milliseconds limit, Pred done) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPoll);
    }
}

// This process's live mounts, for taking them all down at its end. The lock
// is held throughout that, so a mount released meanwhile waits for it. Never
// destroyed: used at exit. A forked child's list starts empty: its parent's
// mounts are its parent's to take down.
struct Live {
    std::mutex m;
    std::vector<FuseTMount*> mounts;
};
Live& live() {
    constinit static rt::PerProcess<Live> per_process;
    return per_process.get();
}

}  // namespace

IoResult<std::unique_ptr<FuseTMount>> FuseTMount::mount(std::unique_ptr<Directory> tree, std::string mountpoint,
                                                        MountTimings timings) {
    HALVO_CHECK(support::mount_support());
    (void)claim::reclaim_abandoned();
    if (mountpoint.find('\0') != std::string::npos) return fail(IoError(ErrorKind::InvalidFilename));
    // A relative mount point is mounted, recorded and taken down by its
    // absolute form; "/" or a point without a parent is never mounted, as
    // tearing it down would reach every mount below it.
    std::string abs = table::absolute(mountpoint);
    auto names = pathx::components(abs);
    if (names.empty() || names.back() == "..")
        return fail(IoError(ErrorKind::InvalidInput, "cannot mount on " + quoted(mountpoint) +
                                                         ": it has no parent folder"));
    // A link as mount point is mounted at its target: that is what every
    // later step must act on.
    std::string resolved = table::canonical(abs);
    if (pathx::key(resolved) == "/")
        return fail(IoError(ErrorKind::InvalidInput, "cannot mount on " + quoted(mountpoint) +
                                                         ": it has no parent folder"));
    HALVO_CHECK(check_host_folders(*tree, resolved));

    // Recorded before it exists, so a kill at any moment leaves either
    // nothing or something the watchdog and reclaim find.
    claim::Claim claim = claim::claim(resolved);
    auto adapter = std::make_unique<Posix>(std::move(tree));
    platform::FuseTHandle* handle = platform::halvo_fuse_t_mount(
        resolved.c_str(), std::string(table::kFsName).c_str(), adapter.get(), &fuse_t::callbacks());
    if (!handle) {
        claim.discard();
        return fail(IoError(ErrorKind::Other, std::string(platform::kFuseName) + " could not mount " +
                                                  shown(mountpoint) +
                                                  ": is fuse installed, and does the mount point exist and is it empty?"));
    }
    // The handle outlives every serving thread, the only callers.
    if (platform::halvo_fuse_t_can_notify())
        adapter->set_notify([handle](std::uint64_t inode) { (void)platform::halvo_fuse_t_inval_inode(handle, inode); });

    std::unique_ptr<FuseTMount> m(new FuseTMount);
    m->handle_ = handle;
    m->finished_ = std::make_shared<std::atomic<int>>(0);
    m->mountpoint_ = std::move(mountpoint);
    m->resolved_ = std::move(resolved);
    m->adapter_ = std::move(adapter);
    m->claim_ = std::move(claim);
    m->timings_ = timings;
    try {
        for (int i = 0; i < kServingThreads; ++i)
            m->threads_.emplace_back([handle, finished = m->finished_] {
                platform::name_this_thread(kThreadName);
                platform::halvo_fuse_t_loop(handle);
                finished->fetch_add(1);
            });
    } catch (const std::system_error& e) {
        m.reset();  // the tear-down stops and joins the threads started so far
        return fail(IoError::os(e.code().value()));
    }
    {
        Live& l = live();
        std::lock_guard g(l.m);
        l.mounts.push_back(m.get());
    }
    if (!m->wait_until_mounted(timings.mount_wait)) {
        std::string text = std::string(platform::kFuseName) + " did not finish mounting " + shown(m->mountpoint_) +
                           " within " + quoted_duration(timings.mount_wait);
        m.reset();
        return fail(IoError(ErrorKind::TimedOut, std::move(text)));
    }
    m->claim_.set_device(m->dev_);
    return m;
}

bool FuseTMount::wait_until_mounted(std::chrono::milliseconds limit) {
    auto names = pathx::components(resolved_);
    if (names.empty()) return false;
    std::string parent = parent_of(resolved_);
    return poll_until(limit, [&] {
        struct stat mp, up;
        if (::stat(resolved_.c_str(), &mp) != 0 || ::stat(parent.c_str(), &up) != 0 || mp.st_dev == up.st_dev)
            return false;
        dev_ = mp.st_dev;
        return true;
    });
}

FuseTMount::~FuseTMount() {
    if (!origin_.here()) {
        // A forked child's copy: the parent's threads serve it from the tree
        // and handle kept here, and the parent takes it down.
        rt::abandon(std::move(threads_));
        rt::abandon(std::move(adapter_));
        rt::abandon(std::move(claim_));
        return;
    }
    {
        // Waits while take_down_all runs, which may be tearing this one down.
        Live& l = live();
        std::lock_guard g(l.m);
        std::erase(l.mounts, this);
    }
    tear_down(false);
}

void FuseTMount::tear_down(bool abort_first) {
    if (!origin_.here()) return;
    std::lock_guard once(tear_down_m_);
    if (!handle_) return;
    platform::FuseTHandle* handle = std::exchange(handle_, nullptr);
    // Unmount while the loop still serves: only the loop can answer what the
    // unmount asks of the mount.
    table::Place first = table::take_down(resolved_, dev_, abort_first, timings_.command_limit);
    platform::halvo_fuse_t_stop(handle);

    const int started = static_cast<int>(threads_.size());
    auto finished = finished_;
    bool done = poll_until(timings_.thread_wait, [&] { return finished->load() == started; });
    for (auto& t : threads_) {
        if (done)
            t.join();
        else
            t.detach();
    }
    threads_.clear();

    if (first == table::Place::Covered) {
        std::fprintf(stderr,
                     "halvo: %s has another mount on top of it; leaving ours under it for a later clean-up\n",
                     shown(resolved_).c_str());
    } else if (first == table::Place::OnTop) {
        table::Place left = table::take_down(resolved_, dev_, abort_first, timings_.command_limit);
        poll_until(timings_.settle_wait, [&] {
            left = table::place_of(resolved_, dev_);
            return left == table::Place::Gone;
        });
        if (left != table::Place::Gone)
            std::fprintf(stderr, "halvo: %s would not unmount \u2014 take it down by hand\n", shown(resolved_).c_str());
    }

    if (done) {
        platform::halvo_fuse_t_destroy(handle);
        // No release can come any more: what is still hidden goes now.
        if (adapter_) adapter_->drop_hidden();
    } else {
        std::fprintf(stderr,
                     "halvo: the thread serving %s did not stop within %s; leaving its session and filesystem "
                     "allocated\n",
                     shown(mountpoint_).c_str(), quoted_duration(timings_.thread_wait).c_str());
        // The thread still uses both.
        (void)adapter_.release();
    }
    adapter_.reset();
    claim_ = claim::Claim();
}

void take_down_all() {
    Live& l = live();
    std::lock_guard g(l.m);
    for (FuseTMount* m : l.mounts) m->tear_down(true);
}

// ---- sharing ----

Shared::Shared(std::unique_ptr<FuseTMount> mount) : mount_(std::move(mount)), mountpoint_(mount_->mountpoint()) {}

std::unique_ptr<FuseTMount> Shared::take() {
    auto g = lock::lock(m_);
    return std::move(mount_);
}

}  // namespace halvo::fs::mount::impl

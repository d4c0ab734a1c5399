#include "fs/filesystem/impl/passthrough.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "base/lock.hpp"

namespace halvo::fs::filesystem::impl {

namespace {

using platform::Fd;

Unexpected<IoError> kind(ErrorKind k) { return fail(IoError(k)); }
Unexpected<IoError> last_os() { return fail(IoError::last_os()); }

struct CloseDir {
    void operator()(DIR* d) const { ::closedir(d); }
};

// A path that leaves the folder, or a chain of links too long to follow,
// is not found: nothing out there belongs to the tree.
IoError resolution(IoError e) {
    if (e.os_errno == EXDEV || e.os_errno == ELOOP) return IoError(ErrorKind::NotFound);
    return e;
}

FileType type_of(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFDIR: return FileType::Dir;
        case S_IFLNK: return FileType::Symlink;
        case S_IFIFO: return FileType::Fifo;
        case S_IFSOCK: return FileType::Socket;
        default: return FileType::File;
    }
}

}  // namespace

PassthroughFs::PassthroughFs(std::string root) : root_(std::move(root)) {}

IoResult<std::shared_ptr<const Fd>> PassthroughFs::root_fd() const {
    auto g = lock::lock(root_m_);
    if (!root_fd_) {
        int fd = ::open(root_.empty() ? "." : root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return last_os();
        root_fd_ = std::make_shared<const Fd>(fd);
    }
    return root_fd_;
}

IoResult<PassthroughFs::Entry> PassthroughFs::entry(std::string_view rel) const {
    HALVO_TRY(std::string p, normalize(rel));
    HALVO_TRY(auto root, root_fd());
    if (p.empty()) return Entry{std::move(root), {}, ".", true};
    auto slash = p.rfind('/');
    if (slash == std::string::npos) return Entry{std::move(root), {}, p, false};
    auto dir = platform::open_beneath(root->get(), std::string_view(p).substr(0, slash), O_PATH | O_DIRECTORY);
    if (!dir) return fail(resolution(std::move(dir).error()));
    return Entry{std::move(root), std::move(*dir), p.substr(slash + 1), false};
}

IoResult<Fd> PassthroughFs::node(std::string_view rel, int flags, mode_t mode) const {
    HALVO_TRY(std::string p, normalize(rel));
    HALVO_TRY(auto root, root_fd());
    auto fd = platform::open_beneath(root->get(), p, flags, mode);
    if (!fd) return fail(resolution(std::move(fd).error()));
    return std::move(*fd);
}

Stat PassthroughFs::stat_of(const platform::HostStat& st) {
    auto wall = [](const std::optional<timespec>& t) -> std::optional<WallTime> {
        if (!t) return std::nullopt;
        return WallTime{static_cast<std::int64_t>(t->tv_sec), static_cast<std::uint32_t>(t->tv_nsec)};
    };
    Stat s;
    s.modified = wall(st.modified);
    s.accessed = wall(st.accessed);
    s.changed = wall(st.changed);
    s.created = wall(st.created);
    s.size = st.size;
    s.type = type_of(st.mode);
    s.mode = st.mode & 07777;
    s.uid = st.uid;
    s.gid = st.gid;
    s.nlink = st.nlink;
    s.blocks = st.blocks;
    s.blksize = st.blksize;
    s.id = NodeId{st.dev, st.ino};
    return s;
}

IoResult<Stat> PassthroughFs::stat_entry(const Entry& e) const {
    HALVO_TRY(auto st, platform::stat_at(e.dir(), e.name.c_str(), false));
    return stat_of(st);
}

IoResult<Stat> PassthroughFs::stat(std::string_view path) {
    HALVO_TRY(auto e, entry(path));
    return stat_entry(e);
}

IoResult<std::vector<Dirent>> PassthroughFs::list(std::string_view path) {
    HALVO_TRY(Fd fd, node(path, O_RDONLY | O_DIRECTORY));
    std::unique_ptr<DIR, CloseDir> dir(::fdopendir(fd.get()));
    if (!dir) return last_os();
    fd.release();

    std::vector<Dirent> out;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(dir.get());
        if (!e) {
            if (errno != 0) return last_os();
            break;
        }
        std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        mode_t type = DTTOIF(e->d_type);
        if (e->d_type == DT_UNKNOWN) {
            HALVO_TRY(auto lst, platform::stat_at(::dirfd(dir.get()), e->d_name, false));
            type = lst.mode;
        }
        // The host's own bytes: a listed name must open as listed.
        out.push_back(Dirent{std::string(name), type_of(type), std::nullopt});
    }
    std::stable_sort(out.begin(), out.end(), [](const Dirent& a, const Dirent& b) { return a.name < b.name; });
    return out;
}

IoResult<std::size_t> PassthroughFs::read_at(std::string_view path, std::span<std::uint8_t> buf,
                                             std::uint64_t offset) {
    HALVO_TRY(Fd fd, node(path, O_RDONLY | O_NONBLOCK));
    return platform::read_at(fd.get(), buf, offset);
}

// One positioned write; a short count is the caller's to repeat.
IoResult<std::size_t> PassthroughFs::write_at(std::string_view path, std::span<const std::uint8_t> data,
                                              std::uint64_t offset) {
    HALVO_TRY(Fd fd, node(path, O_WRONLY | O_NONBLOCK));
    return platform::write_at(fd.get(), data, offset);
}

IoResult<void> PassthroughFs::truncate(std::string_view path, std::uint64_t size) {
    HALVO_TRY(Fd fd, node(path, O_WRONLY | O_NONBLOCK));
    if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return last_os();
    return {};
}

IoResult<void> PassthroughFs::flush(std::string_view path) {
    HALVO_TRY(Fd fd, node(path, O_WRONLY | O_NONBLOCK));
    return platform::full_sync(fd.get());
}

IoResult<std::optional<Fd>> PassthroughFs::open_fd(std::string_view path, int flags) {
    // The node is pinned and looked at before anything opens it for real:
    // opening a FIFO or a device has effects of its own, and their reads
    // could hold up a serving thread. The kernel opens such nodes itself;
    // only one swapped in behind its cache gets here.
    HALVO_TRY(Fd pinned, node(path, O_PATH));
    HALVO_TRY(auto st, platform::stat_fd(pinned.get()));
    if (S_ISDIR(st.mode)) return kind(ErrorKind::IsADirectory);
    if (!S_ISREG(st.mode)) return fail(IoError::os(ENXIO));
    HALVO_TRY(Fd fd, platform::reopen(pinned.get(), (flags & O_ACCMODE) | O_NONBLOCK));
    return std::optional<Fd>(std::move(fd));
}

IoResult<Stat> PassthroughFs::create(std::string_view path) {
    HALVO_TRY(auto e, entry(path));
    int fd = ::openat(e.dir(), e.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return last_os();
    Fd made(fd);
    HALVO_TRY(auto st, platform::stat_fd(made.get()));
    return stat_of(st);
}

IoResult<Stat> PassthroughFs::mkdir(std::string_view path) {
    HALVO_TRY(auto e, entry(path));
    if (::mkdirat(e.dir(), e.name.c_str(), 0777) != 0) return last_os();
    return stat_entry(e);
}

IoResult<Stat> PassthroughFs::symlink(std::string_view path, std::string_view target) {
    HALVO_TRY(auto e, entry(path));
    if (::symlinkat(std::string(target).c_str(), e.dir(), e.name.c_str()) != 0) return last_os();
    return stat_entry(e);
}

IoResult<std::string> PassthroughFs::readlink(std::string_view path) {
    HALVO_TRY(auto e, entry(path));
    return platform::read_link(e.dir(), e.name.c_str());
}

IoResult<Stat> PassthroughFs::link(std::string_view existing, std::string_view path) {
    HALVO_TRY(auto from, entry(existing));
    HALVO_TRY(auto to, entry(path));
    if (::linkat(from.dir(), from.name.c_str(), to.dir(), to.name.c_str(), 0) != 0) return last_os();
    return stat_entry(to);
}

IoResult<Stat> PassthroughFs::mknod(std::string_view path, FileType type, std::uint32_t mode) {
    mode_t kind_bits = type == FileType::Fifo ? S_IFIFO : type == FileType::Socket ? S_IFSOCK : 0;
    if (!kind_bits) return fail(IoError::os(EPERM));
    HALVO_TRY(auto e, entry(path));
    if (::mknodat(e.dir(), e.name.c_str(), kind_bits | (mode & 07777), 0) != 0) return last_os();
    return stat_entry(e);
}

IoResult<void> PassthroughFs::unlink(std::string_view path) {
    HALVO_TRY(auto e, entry(path));
    HALVO_TRY(auto st, platform::stat_at(e.dir(), e.name.c_str(), false));
    if (S_ISDIR(st.mode)) return kind(ErrorKind::IsADirectory);
    if (::unlinkat(e.dir(), e.name.c_str(), 0) != 0) return last_os();
    return {};
}

IoResult<void> PassthroughFs::rmdir(std::string_view path) {
    HALVO_TRY(auto e, entry(path));
    HALVO_TRY(auto st, platform::stat_at(e.dir(), e.name.c_str(), false));
    if (!S_ISDIR(st.mode)) return kind(ErrorKind::NotADirectory);
    // The folder itself has no name in itself: the host removes it by its own.
    int rc = e.is_root ? ::unlinkat(AT_FDCWD, root_.empty() ? "." : root_.c_str(), AT_REMOVEDIR)
                       : ::unlinkat(e.dir(), e.name.c_str(), AT_REMOVEDIR);
    if (rc != 0) return last_os();
    if (e.is_root) {
        // What a later call finds by the name, if anything, is another folder.
        auto g = lock::lock(root_m_);
        if (root_fd_ == e.root) root_fd_.reset();
    }
    return {};
}

IoResult<void> PassthroughFs::rename(std::string_view from, std::string_view to) {
    HALVO_TRY(auto src, entry(from));
    HALVO_TRY(auto dst, entry(to));
    if (::renameat(src.dir(), src.name.c_str(), dst.dir(), dst.name.c_str()) != 0) return last_os();
    return {};
}

IoResult<void> PassthroughFs::rename_noreplace(std::string_view from, std::string_view to) {
    HALVO_TRY(auto src, entry(from));
    HALVO_TRY(auto dst, entry(to));
    return platform::rename_noreplace(src.dir(), src.name.c_str(), dst.dir(), dst.name.c_str());
}

IoResult<void> PassthroughFs::set_attr(std::string_view path, const SetAttr& attr) {
    HALVO_TRY(auto e, entry(path));
    // The owner first: the host clears set-id bits on a change of owner, and
    // a mode given with it must win.
    if (attr.uid || attr.gid) {
        HALVO_CHECK(platform::set_owner(e.dir(), e.name.c_str(), attr.uid, attr.gid));
    }
    if (attr.mode) {
        HALVO_CHECK(platform::set_mode(e.dir(), e.name.c_str(), *attr.mode));
    }
    auto as_timespec = [](const std::optional<WallTime>& t) -> std::optional<timespec> {
        if (!t) return std::nullopt;
        return timespec{static_cast<time_t>(t->sec), static_cast<long>(t->nsec)};
    };
    if (attr.accessed || attr.modified) {
        HALVO_CHECK(platform::set_times(e.dir(), e.name.c_str(), as_timespec(attr.accessed),
                                        as_timespec(attr.modified)));
    }
    return {};
}

}  // namespace halvo::fs::filesystem::impl

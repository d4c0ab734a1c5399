#include "fs/filesystem/impl/passthrough.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <memory>

#include "base/lock.hpp"
#include "platform/fd.hpp"
#include "base/pathx.hpp"

namespace halvo::fs::filesystem::impl {

namespace {

using platform::Fd;

Unexpected<IoError> kind(ErrorKind k) { return fail(IoError(k)); }
Unexpected<IoError> last_os() { return fail(IoError::last_os()); }

struct CloseDir {
    void operator()(DIR* d) const { ::closedir(d); }
};

// The host's name for a folded path: the empty root is the working directory.
const char* host(const std::string& path) { return path.empty() ? "." : path.c_str(); }

// Non-blocking, so a FIFO or device in the folder cannot stall the mount's
// only thread; regular files do not care.
IoResult<Fd> open_at(const std::string& path, int flags, mode_t mode = 0) {
    int fd = ::openat(AT_FDCWD, host(path), flags | O_CLOEXEC, mode);
    if (fd < 0) return last_os();
    return Fd(fd);
}

// One call on the file opened for it, retried while interrupted.
template <class Io>
IoResult<std::size_t> transfer(const std::string& path, int flags, Io io) {
    HALVO_TRY(Fd fd, open_at(path, flags | O_NONBLOCK));
    ssize_t n;
    do n = io(fd.get());
    while (n < 0 && errno == EINTR);
    if (n < 0) return last_os();
    return static_cast<std::size_t>(n);
}

// The link's target, or nothing when the path is no link (or unreadable).
std::optional<std::string> read_link(const std::string& path) {
    std::string buf(PATH_MAX, '\0');
    for (;;) {
        ssize_t n = ::readlinkat(AT_FDCWD, host(path), buf.data(), buf.size());
        if (n < 0) return std::nullopt;
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            return buf;
        }
        buf.resize(buf.size() * 2);
    }
}

std::string absolute(std::span<const std::string> comps) {
    std::string out;
    for (const auto& c : comps) out += "/" + c;
    return out.empty() ? "/" : out;
}

bool has_prefix(std::span<const std::string> path, std::span<const std::string> prefix) {
    return path.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

}  // namespace

PassthroughFs::PassthroughFs(std::string root) : root_(std::move(root)) {}

void PassthroughFs::exclude(std::string_view rel) {
    std::vector<std::string> comps;
    for (auto c : pathx::components(rel)) comps.emplace_back(c);
    excluded_ = std::move(comps);
}

bool PassthroughFs::excluded(std::span<const std::string> rel) const {
    return excluded_ && has_prefix(rel, *excluded_);
}

IoResult<std::string> PassthroughFs::canonical_root() {
    auto g = lock::lock(canonical_m_);
    if (canonical_) return *canonical_;
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(host(root_), nullptr), &std::free);
    if (!real) return last_os();
    canonical_ = real.get();
    return *canonical_;
}

IoResult<PassthroughFs::Folded> PassthroughFs::fold(std::string_view rel) const {
    Folded f;
    f.path = root_;
    std::vector<size_t> lengths;  // f.path's length before each name
    for (auto c : pathx::components(rel)) {
        if (c == "..") {
            if (f.rel.empty()) return kind(ErrorKind::InvalidFilename);
            f.path.resize(lengths.back());
            lengths.pop_back();
            f.rel.pop_back();
            continue;
        }
        lengths.push_back(f.path.size());
        f.path = f.path.empty() ? std::string(c) : pathx::join(f.path, c);
        f.rel.emplace_back(c);
        if (excluded(f.rel)) return kind(ErrorKind::NotFound);
        if (!f.link_seen && read_link(f.path)) f.link_seen = true;
    }
    return f;
}

IoResult<std::string> PassthroughFs::resolve_within_root(std::span<const std::string> rel) {
    HALVO_TRY(std::string canonical, canonical_root());
    std::vector<std::string> base;
    for (auto c : pathx::components(canonical)) base.emplace_back(c);
    std::vector<std::string> fence = base;
    if (excluded_) fence.insert(fence.end(), excluded_->begin(), excluded_->end());

    // An empty name stands for the root a link target may start from.
    std::deque<std::string> pending(rel.begin(), rel.end());
    std::vector<std::string> current = base;
    int expansions = 0;
    while (!pending.empty()) {
        std::string c = std::move(pending.front());
        pending.pop_front();
        if (c.empty()) {
            current.clear();
            continue;
        }
        if (c == "..") {
            if (!current.empty()) current.pop_back();
            continue;
        }
        current.push_back(std::move(c));
        if (excluded_ && has_prefix(current, fence)) return kind(ErrorKind::NotFound);
        auto target = read_link(absolute(current));
        if (!target) continue;
        if (expansions == kMaxLinkExpansions) return kind(ErrorKind::NotFound);
        ++expansions;
        current.pop_back();
        auto comps = pathx::components(*target);
        pending.insert(pending.begin(), comps.begin(), comps.end());
        if (pathx::is_absolute(*target)) pending.emplace_front();
    }
    if (!has_prefix(current, base)) return kind(ErrorKind::NotFound);
    return absolute(current);
}

IoResult<PassthroughFs::Folded> PassthroughFs::real_path(std::string_view rel) {
    HALVO_TRY(auto f, fold(rel));
    if (f.link_seen && !f.rel.empty()) {
        HALVO_TRY(auto resolved, resolve_within_root(f.rel));
        (void)resolved;
    }
    return f;
}

IoResult<PassthroughFs::Folded> PassthroughFs::entry_path(std::string_view rel) {
    HALVO_TRY(auto f, fold(rel));
    if (f.link_seen && f.rel.size() > 1) {
        HALVO_TRY(auto resolved, resolve_within_root(std::span(f.rel).first(f.rel.size() - 1)));
        (void)resolved;
    }
    return f;
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
    s.is_dir = S_ISDIR(st.mode);
    s.mode = st.mode & 07777;
    return s;
}

IoResult<Stat> PassthroughFs::stat(std::string_view path) {
    HALVO_TRY(auto f, real_path(path));
    HALVO_TRY(auto st, platform::stat_at(AT_FDCWD, host(f.path), true));
    return stat_of(st);
}

IoResult<std::vector<Dirent>> PassthroughFs::list(std::string_view path) {
    HALVO_TRY(auto f, real_path(path));
    HALVO_TRY(auto st, platform::stat_at(AT_FDCWD, host(f.path), true));
    if (!S_ISDIR(st.mode)) return kind(ErrorKind::NotADirectory);
    HALVO_TRY(Fd fd, open_at(f.path, O_RDONLY | O_DIRECTORY));
    std::unique_ptr<DIR, CloseDir> dir(::fdopendir(fd.get()));
    if (!dir) return last_os();
    fd.release();

    std::vector<Dirent> out;
    std::vector<std::string> child = f.rel;
    child.emplace_back();
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(dir.get());
        if (!e) {
            if (errno != 0) return last_os();
            break;
        }
        std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        child.back() = name;
        if (excluded(child)) continue;
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN) {
            HALVO_TRY(auto lst, platform::stat_at(::dirfd(dir.get()), e->d_name, false));
            type = IFTODT(lst.mode);
        }
        bool is_dir = type == DT_DIR;
        if (type == DT_LNK) {
            auto resolved = resolve_within_root(child);
            if (resolved) {
                auto target = platform::stat_at(AT_FDCWD, resolved->c_str(), true);
                is_dir = target && S_ISDIR(target->mode);
            }
        }
        // The host's own bytes: a listed name must open as listed.
        out.push_back(Dirent{std::string(name), is_dir, std::nullopt});
    }
    std::stable_sort(out.begin(), out.end(), [](const Dirent& a, const Dirent& b) { return a.name < b.name; });
    return out;
}

IoResult<std::size_t> PassthroughFs::read_at(std::string_view path, std::span<std::uint8_t> buf,
                                             std::uint64_t offset) {
    HALVO_TRY(auto f, real_path(path));
    return transfer(f.path, O_RDONLY,
                    [&](int fd) { return ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(offset)); });
}

// One positioned write; a short count is the caller's to repeat.
IoResult<std::size_t> PassthroughFs::write_at(std::string_view path, std::span<const std::uint8_t> data,
                                              std::uint64_t offset) {
    HALVO_TRY(auto f, real_path(path));
    return transfer(f.path, O_WRONLY,
                    [&](int fd) { return ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)); });
}

IoResult<void> PassthroughFs::truncate(std::string_view path, std::uint64_t size) {
    HALVO_TRY(auto f, real_path(path));
    HALVO_TRY(Fd fd, open_at(f.path, O_WRONLY | O_NONBLOCK));
    if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return last_os();
    return {};
}

IoResult<void> PassthroughFs::flush(std::string_view path) {
    HALVO_TRY(auto f, real_path(path));
    HALVO_TRY(Fd fd, open_at(f.path, O_WRONLY | O_NONBLOCK));
    return platform::full_sync(fd.get());
}

IoResult<Stat> PassthroughFs::create(std::string_view path) {
    HALVO_TRY(auto f, entry_path(path));
    HALVO_TRY(Fd fd, open_at(f.path, O_WRONLY | O_CREAT | O_EXCL, 0666));
    HALVO_TRY(auto st, platform::stat_fd(fd.get()));
    return stat_of(st);
}

IoResult<Stat> PassthroughFs::mkdir(std::string_view path) {
    HALVO_TRY(auto f, entry_path(path));
    if (::mkdirat(AT_FDCWD, host(f.path), 0777) != 0) return last_os();
    HALVO_TRY(auto st, platform::stat_at(AT_FDCWD, host(f.path), false));
    return stat_of(st);
}

IoResult<void> PassthroughFs::unlink(std::string_view path) {
    HALVO_TRY(auto f, entry_path(path));
    HALVO_TRY(auto st, platform::stat_at(AT_FDCWD, host(f.path), false));
    if (S_ISDIR(st.mode)) return kind(ErrorKind::IsADirectory);
    if (::unlinkat(AT_FDCWD, host(f.path), 0) != 0) return last_os();
    return {};
}

IoResult<void> PassthroughFs::rmdir(std::string_view path) {
    HALVO_TRY(auto f, entry_path(path));
    HALVO_TRY(auto st, platform::stat_at(AT_FDCWD, host(f.path), false));
    if (!S_ISDIR(st.mode)) return kind(ErrorKind::NotADirectory);
    if (::unlinkat(AT_FDCWD, host(f.path), AT_REMOVEDIR) != 0) return last_os();
    return {};
}

IoResult<void> PassthroughFs::rename(std::string_view from, std::string_view to) {
    HALVO_TRY(auto src, entry_path(from));
    HALVO_TRY(auto dst, entry_path(to));
    if (::renameat(AT_FDCWD, host(src.path), AT_FDCWD, host(dst.path)) != 0) return last_os();
    return {};
}

IoResult<void> PassthroughFs::rename_noreplace(std::string_view from, std::string_view to) {
    HALVO_TRY(auto src, entry_path(from));
    HALVO_TRY(auto dst, entry_path(to));
    return platform::rename_noreplace(host(src.path), host(dst.path));
}

// On the checked path, whose links stay inside the folder.
IoResult<void> PassthroughFs::set_attr(std::string_view path, const SetAttr& attr) {
    HALVO_TRY(auto f, real_path(path));
    if (attr.mode) {
        HALVO_CHECK(platform::set_mode(host(f.path), *attr.mode));
    }
    auto as_timespec = [](const std::optional<WallTime>& t) -> std::optional<timespec> {
        if (!t) return std::nullopt;
        return timespec{static_cast<time_t>(t->sec), static_cast<long>(t->nsec)};
    };
    if (attr.accessed || attr.modified) {
        HALVO_CHECK(platform::set_times(host(f.path), as_timespec(attr.accessed), as_timespec(attr.modified)));
    }
    return {};
}

}  // namespace halvo::fs::filesystem::impl

#include "platform/tarball.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "base/pathx.hpp"
#include "platform/fd.hpp"
#include "base/quote.hpp"

namespace halvo::platform {

namespace {

constexpr size_t kBuffer = 32 * 1024;
constexpr const char* kStopped = "the unpack was stopped";

// Inflates the first gzip member, read from its pieces in order, in pieces
// of up to kBuffer bytes.
class Gunzip {
public:
    explicit Gunzip(std::span<const std::string> in) : in_(in), out_(kBuffer) {
        // 16 + MAX_WBITS: gzip only, with its trailer's CRC and length checked.
        if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) error_ = "cannot start inflating";
        else ready_ = true;
    }
    ~Gunzip() {
        if (ready_) inflateEnd(&z_);
    }
    Gunzip(const Gunzip&) = delete;
    Gunzip& operator=(const Gunzip&) = delete;

    // The next inflated bytes; empty at the member's end or on an error.
    std::string_view next() {
        if (ended_ || error_) return {};
        z_.next_out = reinterpret_cast<Bytef*>(out_.data());
        z_.avail_out = static_cast<uInt>(out_.size());
        while (z_.avail_out == out_.size()) {
            if (z_.avail_in == 0) {
                while (piece_ < in_.size() && pos_ == in_[piece_].size()) {
                    ++piece_;
                    pos_ = 0;
                }
                if (piece_ == in_.size()) {
                    error_ = "the gzip data ends early";
                    return {};
                }
                const std::string& piece = in_[piece_];
                size_t n = std::min<size_t>(piece.size() - pos_, UINT_MAX);
                z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data() + pos_));
                z_.avail_in = static_cast<uInt>(n);
                pos_ += n;
            }
            int rc = inflate(&z_, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                ended_ = true;
                break;
            }
            if (rc == Z_BUF_ERROR && z_.avail_in == 0) continue;
            if (rc != Z_OK) {
                error_ = std::string("invalid gzip data: ") + (z_.msg ? z_.msg : zError(rc));
                return {};
            }
        }
        return {out_.data(), out_.size() - z_.avail_out};
    }

    // Inflates the rest of the member, so its trailer is checked too.
    void drain() {
        while (!next().empty()) {
        }
    }

    const std::optional<std::string>& error() const { return error_; }

private:
    z_stream z_{};
    bool ready_ = false;
    std::span<const std::string> in_;
    size_t piece_ = 0;  // the piece being read, and how far
    size_t pos_ = 0;
    std::vector<char> out_;
    bool ended_ = false;
    std::optional<std::string> error_;
};

la_ssize_t read_inflated(struct archive* a, void* user, const void** buf) {
    auto* gz = static_cast<Gunzip*>(user);
    std::string_view chunk = gz->next();
    *buf = chunk.data();
    if (gz->error()) {
        archive_set_error(a, EINVAL, "%s", gz->error()->c_str());
        return -1;
    }
    return static_cast<la_ssize_t>(chunk.size());
}

struct ArchiveFree {
    void operator()(struct archive* a) const { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<struct archive, ArchiveFree>;

// Owned, as a folder's components outlive its entry.
std::vector<std::string> components(std::string_view path) {
    auto views = pathx::components(path);
    return {views.begin(), views.end()};
}

bool has_dotdot(const std::vector<std::string>& comps) {
    return std::find(comps.begin(), comps.end(), "..") != comps.end();
}

Chain outside(const std::string& path) {
    return Chain("entry " + quoted(path) + " would be written outside the staging folder");
}

Chain os_error(const std::string& what, const std::string& path, int err = errno) {
    return Chain(IoError::os(err)).context(what + " " + quoted(path));
}

// Opens the folder reached by comps from root without passing a link,
// creating the missing ones when asked; `path` names the entry in errors.
Result<Fd, Chain> walk(int root, const std::vector<std::string>& comps, size_t count, bool create,
                       const std::string& path) {
    Fd cur(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (!cur) return fail(os_error("opening the folder of", path));
    for (size_t i = 0; i < count; ++i) {
        const char* name = comps[i].c_str();
        int fd = ::openat(cur.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT && create) {
            if (::mkdirat(cur.get(), name, 0777) != 0 && errno != EEXIST) return fail(os_error("creating the folder of", path));
            fd = ::openat(cur.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (fd < 0) {
            int err = errno;
            struct stat st {};
            if ((err == ELOOP || err == ENOTDIR) && ::fstatat(cur.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode))
                return fail(outside(path));
            return fail(os_error("opening the folder of", path, err));
        }
        cur.reset(fd);
    }
    return cur;
}

// Makes room for a new entry: whatever stands at the name goes, a folder
// only when it is empty.
Result<void, Chain> clear(int parent, const char* name, const std::string& path) {
    if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT) return {};
    if (errno == EISDIR && ::unlinkat(parent, name, AT_REMOVEDIR) == 0) return {};
    return fail(os_error("replacing", path));
}

struct timespec mtime_of(struct archive_entry* e) {
    if (!archive_entry_mtime_is_set(e)) return {0, UTIME_OMIT};
    return {static_cast<time_t>(archive_entry_mtime(e)), archive_entry_mtime_nsec(e)};
}

std::string tar_error(struct archive* a) {
    const char* s = archive_error_string(a);
    return s ? s : "invalid tar data";
}

// Only the path is kept: a deep archive holds many folders, and their
// components are found again when their turn comes.
struct PendingDir {
    std::string path;
    size_t depth;
    mode_t mode;
    struct timespec mtime;
};

class Extractor {
public:
    Extractor(struct archive* a, int root, const std::stop_token& stop) : a_(a), root_(root), stop_(stop) {}

    Result<void, Chain> entry(struct archive_entry* e) {
        const char* raw = archive_entry_pathname(e);
        if (!raw) return fail(Chain("an entry has no path"));
        const std::string path = raw;
        if (pathx::is_absolute(path)) return fail(outside(path));
        auto comps = components(path);
        if (comps.empty() || has_dotdot(comps)) return {};
        const char* hardlink = archive_entry_hardlink(e);
        const mode_t type = archive_entry_filetype(e);
        if (!hardlink && type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) return {};

        auto parent = walk(root_, comps, comps.size() - 1, true, path);
        if (!parent) return fail(std::move(parent).error());
        const int dir = parent->get();
        const char* name = comps.back().c_str();
        struct timespec times[2] = {{0, UTIME_OMIT}, mtime_of(e)};

        if (hardlink) return link(dir, name, path, hardlink);
        if (type == AE_IFDIR) {
            if (::mkdirat(dir, name, 0777) != 0) {
                struct stat st {};
                if (errno != EEXIST || ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    return fail(os_error("creating", path));
                if (!S_ISDIR(st.st_mode)) {
                    if (::unlinkat(dir, name, 0) != 0 || ::mkdirat(dir, name, 0777) != 0)
                        return fail(os_error("creating", path));
                }
            }
            dirs_.push_back({path, comps.size(), static_cast<mode_t>(archive_entry_perm(e) & 0777), times[1]});
            return {};
        }
        HALVO_CHECK(clear(dir, name, path));
        if (type == AE_IFLNK) {
            const char* target = archive_entry_symlink(e);
            if (!target) return fail(Chain("entry " + quoted(path) + " is a link without a target"));
            if (::symlinkat(target, dir, name) != 0) return fail(os_error("creating", path));
            if (::utimensat(dir, name, times, AT_SYMLINK_NOFOLLOW) != 0) return fail(os_error("setting the time of", path));
            return {};
        }
        Fd file(::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file) return fail(os_error("creating", path));
        HALVO_CHECK(write_data(file.get(), path));
        if (archive_entry_size_is_set(e) && ::ftruncate(file.get(), archive_entry_size(e)) != 0)
            return fail(os_error("writing", path));
        if (::fchmod(file.get(), archive_entry_perm(e) & 0777) != 0) return fail(os_error("setting the mode of", path));
        if (::futimens(file.get(), times) != 0) return fail(os_error("setting the time of", path));
        return {};
    }

    // Folder modes and times, deepest first, so that neither a read-only
    // mode nor a later write inside spoils them. A folder replaced since by
    // something else is left alone.
    Result<void, Chain> finish() {
        std::stable_sort(dirs_.begin(), dirs_.end(),
                         [](const PendingDir& a, const PendingDir& b) { return a.depth > b.depth; });
        for (const auto& d : dirs_) {
            const auto comps = components(d.path);
            auto fd = walk(root_, comps, comps.size(), false, d.path);
            if (!fd) continue;
            struct timespec times[2] = {{0, UTIME_OMIT}, d.mtime};
            if (::fchmod(fd->get(), d.mode) != 0) return fail(os_error("setting the mode of", d.path));
            if (::futimens(fd->get(), times) != 0) return fail(os_error("setting the time of", d.path));
        }
        return {};
    }

private:
    Result<void, Chain> link(int dir, const char* name, const std::string& path, const std::string& target) {
        auto comps = components(target);
        if (pathx::is_absolute(target) || comps.empty() || has_dotdot(comps))
            return fail(Chain("entry " + quoted(path) + " links to " + quoted(target) + " outside the staging folder"));
        auto from = walk(root_, comps, comps.size() - 1, false, target);
        if (!from) return fail(std::move(from).error());
        HALVO_CHECK(clear(dir, name, path));
        if (::linkat(from->get(), comps.back().c_str(), dir, name, 0) != 0) return fail(os_error("linking", path));
        return {};
    }

    Result<void, Chain> write_data(int fd, const std::string& path) {
        for (;;) {
            const void* buf = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            int r = archive_read_data_block(a_, &buf, &size, &offset);
            if (r == ARCHIVE_EOF) return {};
            if (r < ARCHIVE_WARN) return fail(Chain(tar_error(a_)));
            if (stop_.stop_requested()) return fail(Chain(kStopped));
            const char* p = static_cast<const char*>(buf);
            while (size > 0) {
                ssize_t n = ::pwrite(fd, p, size, offset);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) return fail(os_error("writing", path));
                p += n;
                size -= static_cast<size_t>(n);
                offset += n;
            }
        }
    }

    struct archive* a_;
    int root_;
    const std::stop_token& stop_;
    std::vector<PendingDir> dirs_;
};

Result<void, Chain> extract(struct archive* a, int root, const std::stop_token& stop) {
    Extractor x(a, root, stop);
    for (;;) {
        if (stop.stop_requested()) return fail(Chain(kStopped));
        struct archive_entry* e = nullptr;
        int r = archive_read_next_header(a, &e);
        if (r == ARCHIVE_EOF) break;
        if (r < ARCHIVE_WARN) return fail(Chain(tar_error(a)));
        HALVO_CHECK(x.entry(e));
    }
    return x.finish();
}

// A folder being emptied: its identity, to know it again on the way back up
// through "..", and the names of its subfolders still to empty.
struct Level {
    dev_t dev;
    ino_t ino;
    std::vector<std::string> subdirs;
};

// Opens a folder to empty it, never through a link, giving ourselves the
// rights a folder of our own may deny: one we may not even read is opened up
// by name first, which fails rather than follow a link put in its place.
IoResult<Fd> open_to_empty(int parent, const char* name, struct stat& st) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    Fd fd(::openat(parent, name, kFlags));
    if (!fd && errno == EACCES) {
        if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
            ::fchmodat(parent, name, (st.st_mode & 07777) | 0700, AT_SYMLINK_NOFOLLOW) == 0)
            fd.reset(::openat(parent, name, kFlags));
        else
            errno = EACCES;
    }
    if (!fd || ::fstat(fd.get(), &st) != 0) return fail(IoError::last_os());
    if ((st.st_mode & 0700) != 0700) ::fchmod(fd.get(), st.st_mode | 0700);
    return fd;
}

// Removes every entry but the folders, whose names it returns.
IoResult<std::vector<std::string>> remove_files(int dir) {
    Fd listing(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    if (!listing) return fail(IoError::last_os());
    DIR* d = ::fdopendir(listing.get());
    if (!d) return fail(IoError::last_os());
    listing.release();
    std::unique_ptr<DIR, int (*)(DIR*)> owned(d, &::closedir);
    std::vector<std::string> subdirs;
    for (;;) {
        errno = 0;
        struct dirent* ent = ::readdir(d);
        if (!ent) {
            if (errno != 0) return fail(IoError::last_os());
            return subdirs;
        }
        std::string_view name = ent->d_name;
        if (name == "." || name == "..") continue;
        if (::unlinkat(dir, ent->d_name, 0) == 0) continue;
        if (errno != EISDIR) return fail(IoError::last_os());
        subdirs.emplace_back(name);
    }
}

// Empties the folder `top` depth first holding two descriptors at most,
// however deep it goes: each level is left for its subfolder and found
// again through "..", checked against the device and inode it had.
IoResult<void> remove_contents(Fd top, const struct stat& top_st) {
    Fd cur = std::move(top);
    auto files = remove_files(cur.get());
    if (!files) return fail(files.error());
    std::vector<Level> path;
    path.push_back({top_st.st_dev, top_st.st_ino, std::move(*files)});
    for (;;) {
        Level& level = path.back();
        if (!level.subdirs.empty()) {
            struct stat st {};
            auto sub = open_to_empty(cur.get(), level.subdirs.back().c_str(), st);
            if (!sub) return fail(sub.error());
            cur = std::move(*sub);
            auto inner = remove_files(cur.get());
            if (!inner) return fail(inner.error());
            path.push_back({st.st_dev, st.st_ino, std::move(*inner)});
            continue;
        }
        path.pop_back();
        if (path.empty()) return {};
        Fd up(::openat(cur.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st {};
        if (!up || ::fstat(up.get(), &st) != 0) return fail(IoError::last_os());
        // Moved away meanwhile: what is up there now is not ours to touch.
        if (st.st_dev != path.back().dev || st.st_ino != path.back().ino) return fail(IoError::os(ESTALE));
        cur = std::move(up);
        if (::unlinkat(cur.get(), path.back().subdirs.back().c_str(), AT_REMOVEDIR) != 0)
            return fail(IoError::last_os());
        path.back().subdirs.pop_back();
    }
}

}  // namespace

Result<void, Chain> unpack_tar_gz(std::span<const std::string> archive, const std::string& dir,
                                  const std::stop_token& stop) {
    Fd root(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root) return fail(Chain(IoError::last_os()));
    Gunzip gz(archive);
    ArchivePtr a(archive_read_new());
    if (!a) return fail(Chain(IoError(ErrorKind::OutOfMemory)));
    archive_read_support_format_tar(a.get());
    auto result = [&]() -> Result<void, Chain> {
        if (archive_read_open(a.get(), &gz, nullptr, &read_inflated, nullptr) != ARCHIVE_OK)
            return fail(Chain(tar_error(a.get())));
        return extract(a.get(), root.get(), stop);
    }();
    // The gzip reader's own text says more than the tar reader's echo of it.
    if (gz.error()) return fail(Chain(*gz.error()));
    if (!result) return result;
    gz.drain();
    if (gz.error()) return fail(Chain(*gz.error()));
    return {};
}

IoResult<void> remove_tree(const std::string& path) {
    if (::unlink(path.c_str()) == 0) return {};
    if (errno != EISDIR) return fail(IoError::last_os());
    struct stat st {};
    auto dir = open_to_empty(AT_FDCWD, path.c_str(), st);
    if (!dir) return fail(dir.error());
    HALVO_CHECK(remove_contents(std::move(*dir), st));
    if (::rmdir(path.c_str()) != 0) return fail(IoError::last_os());
    return {};
}

}  // namespace halvo::platform

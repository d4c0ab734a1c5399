#include "fs/filesystem/posix.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

#include "base/lock.hpp"
#include "base/pathx.hpp"
#include "platform/process.hpp"

namespace halvo::fs::filesystem {

namespace {

// `path`, at or under `from`, moved to the same place under `to`.
std::string rebase(std::string_view path, std::string_view from, std::string_view to) {
    std::string out(to);
    out += path.substr(from.size());
    return out;
}

bool is(const IoError& e, ErrorKind k, int os_errno) { return e.kind == k || e.os_errno == os_errno; }

// A tree that cannot rename a file out of sight: unlinking it at once is next best.
bool refuses_hiding(const IoError& e) {
    return is(e, ErrorKind::Unsupported, EOPNOTSUPP) || is(e, ErrorKind::Unsupported, ENOSYS) ||
           is(e, ErrorKind::ReadOnlyFilesystem, EROFS);
}

// Opening for writing refused by the file itself: its mode, a read-only
// host, a program running from it.
bool refuses_writing(const IoError& e) {
    return e.os_errno == EACCES || e.os_errno == EPERM || e.os_errno == EROFS || e.os_errno == ETXTBSY;
}

}  // namespace

// ---- InodeTable

InodeTable::InodeTable() {
    records_.emplace(kRootInode, InodeData{"/", 1, std::nullopt, {}, std::nullopt});
    paths_.emplace("/", kRootInode);
}

std::uint64_t InodeTable::intern(std::string_view path, std::optional<NodeId> id) {
    std::string key = pathx::key(path);
    if (auto it = paths_.find(key); it != paths_.end()) {
        if (auto rec = records_.find(it->second); rec != records_.end()) {
            take(it->second, rec->second, id);
            return it->second;
        }
        paths_.erase(it);  // stale: its record was reclaimed
    }
    if (id) {
        if (auto l = linked_.find(*id); l != linked_.end()) {
            add_name(l->second, key, *id);
            return l->second;
        }
    }
    std::uint64_t n = next_++;
    records_.insert_or_assign(n, InodeData{key, 1, id, {}, std::nullopt});
    paths_.insert_or_assign(std::move(key), n);
    if (id) linked_.insert_or_assign(*id, n);
    return n;
}

void InodeTable::add_name(std::uint64_t number, std::string_view path, NodeId id) {
    auto rec = records_.find(number);
    if (rec == records_.end()) return;
    std::string key = pathx::key(path);
    auto& r = rec->second;
    take(number, r, id);
    if (r.path.empty()) {
        r.path = key;
    } else if (r.path != key && std::find(r.aliases.begin(), r.aliases.end(), key) == r.aliases.end()) {
        r.aliases.push_back(key);
    }
    paths_.insert_or_assign(std::move(key), number);
}

void InodeTable::take(std::uint64_t number, InodeData& record, std::optional<NodeId> id) {
    ++record.lookups;
    if (id && !record.id && linked_.try_emplace(*id, number).second) record.id = id;
}

void InodeTable::drop_name(std::uint64_t number, const std::string& key) {
    auto rec = records_.find(number);
    if (rec == records_.end()) return;
    auto& r = rec->second;
    std::erase(r.aliases, key);
    if (r.path == key && !r.aliases.empty()) {
        r.path = std::move(r.aliases.back());
        r.aliases.pop_back();
    }
}

std::uint64_t InodeTable::number_for(std::string_view path) {
    std::string key = pathx::key(path);
    if (auto it = paths_.find(key); it != paths_.end()) return it->second;
    std::uint64_t n = next_++;
    records_.insert_or_assign(n, InodeData{key, 0, std::nullopt, {}, std::nullopt});
    paths_.insert_or_assign(std::move(key), n);
    fifo_.push_back(n);
    if (fifo_.size() > kListedInodes) {
        std::uint64_t oldest = fifo_.front();
        fifo_.pop_front();
        reclaim_if_unreferenced(oldest);
    }
    return n;
}

std::optional<std::uint64_t> InodeTable::number_of(std::string_view path) const {
    auto it = paths_.find(pathx::key(path));
    if (it == paths_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::string> InodeTable::path_of(std::uint64_t number) const {
    auto it = records_.find(number);
    if (it == records_.end() || it->second.path.empty()) return std::nullopt;
    return it->second.path;
}

std::optional<std::uint64_t> InodeTable::lookups_of(std::uint64_t number) const {
    auto it = records_.find(number);
    if (it == records_.end()) return std::nullopt;
    return it->second.lookups;
}

std::optional<InodeTable::Sole> InodeTable::sole_of(std::uint64_t number) const {
    auto it = records_.find(number);
    if (it == records_.end()) return std::nullopt;
    if (!it->second.sole) return Sole::Undecided;
    return *it->second.sole ? Sole::Yes : Sole::No;
}

void InodeTable::set_sole(std::uint64_t number, bool sole) {
    if (auto it = records_.find(number); it != records_.end()) it->second.sole = sole;
}

void InodeTable::forget(std::uint64_t number, std::uint64_t count) {
    if (number == kRootInode) return;
    auto it = records_.find(number);
    if (it == records_.end()) return;
    it->second.lookups -= std::min(it->second.lookups, count);
    reclaim_if_unreferenced(number);
}

void InodeTable::reclaim_if_unreferenced(std::uint64_t number) {
    auto it = records_.find(number);
    if (it == records_.end() || it->second.lookups > 0 || number == kRootInode) return;
    drop_entry_of(number, it->second);
    records_.erase(it);
}

void InodeTable::drop_entry_of(std::uint64_t number, const InodeData& record) {
    // The path may name another number by now (a rename over it).
    auto drop = [&](const std::string& path) {
        auto p = paths_.find(path);
        if (p != paths_.end() && p->second == number) paths_.erase(p);
    };
    drop(record.path);
    for (const auto& a : record.aliases) drop(a);
    if (record.id) {
        if (auto l = linked_.find(*record.id); l != linked_.end() && l->second == number) linked_.erase(l);
    }
}

void InodeTable::evict_path(std::string_view path) {
    auto it = paths_.find(pathx::key(path));
    if (it == paths_.end()) return;
    std::uint64_t n = it->second;
    std::string key = it->first;
    paths_.erase(it);
    drop_name(n, key);
}

std::pair<InodeTable::Paths::iterator, InodeTable::Paths::iterator> InodeTable::subtree(const std::string& key) {
    auto first = paths_.lower_bound(key);
    auto last = first;
    while (last != paths_.end() && pathx::at_or_under(last->first, key)) ++last;
    return {first, last};
}

void InodeTable::evict_subtree(std::string_view path) {
    auto [first, last] = subtree(pathx::key(path));
    paths_.erase(first, last);
}

void InodeTable::rekey_subtree(std::string_view from_path, std::string_view to_path) {
    std::string from = pathx::key(from_path);
    std::string to = pathx::key(to_path);
    if (pathx::at_or_under(from, to) || pathx::at_or_under(to, from)) return;
    // What the rename replaced; its records keep their paths, but a file of
    // several names answers by another of them.
    auto [tf, tl] = subtree(to);
    std::vector<std::pair<std::uint64_t, std::string>> replaced;
    for (auto it = tf; it != tl; ++it) replaced.emplace_back(it->second, it->first);
    paths_.erase(tf, tl);
    for (const auto& [n, key] : replaced) {
        if (auto rec = records_.find(n); rec != records_.end() && !rec->second.aliases.empty()) drop_name(n, key);
    }
    // Records without an entry here were removed or replaced before: they
    // keep the path they had.
    std::vector<std::pair<std::string, std::uint64_t>> moved;
    auto [ff, fl] = subtree(from);
    for (auto it = ff; it != fl; ++it) {
        std::string moved_path = rebase(it->first, from, to);
        if (auto rec = records_.find(it->second); rec != records_.end()) {
            if (rec->second.path == it->first) rec->second.path = moved_path;
            std::replace(rec->second.aliases.begin(), rec->second.aliases.end(), it->first, moved_path);
        }
        moved.emplace_back(std::move(moved_path), it->second);
    }
    paths_.erase(ff, fl);
    for (auto& [p, n] : moved) paths_.insert_or_assign(std::move(p), n);
}

void InodeTable::detach(std::uint64_t number) {
    if (number == kRootInode) return;
    auto it = records_.find(number);
    if (it == records_.end()) return;
    auto& r = it->second;
    if (!r.aliases.empty()) {
        // Only this name went to another file: the others still lead here.
        auto p = paths_.find(r.path);
        if (p != paths_.end() && p->second == number) paths_.erase(p);
        drop_name(number, std::string(r.path));
        return;
    }
    drop_entry_of(number, r);
    r.path.clear();
}

// ---- OpenTable

int OpenFlags::access() const { return read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY; }

std::uint64_t OpenTable::insert(Open open) {
    std::uint64_t h = next_++;
    handles_.emplace(h, open);
    ++per_inode_[open.inode];
    return h;
}

std::optional<Open> OpenTable::get(std::uint64_t handle) const {
    auto it = handles_.find(handle);
    if (it == handles_.end()) return std::nullopt;
    return it->second;
}

std::optional<Open> OpenTable::remove(std::uint64_t handle) {
    auto it = handles_.find(handle);
    if (it == handles_.end()) return std::nullopt;
    Open o = it->second;
    handles_.erase(it);
    if (auto c = per_inode_.find(o.inode); c != per_inode_.end() && --c->second == 0) per_inode_.erase(c);
    return o;
}

bool OpenTable::any_on(std::uint64_t inode) const { return per_inode_.contains(inode); }

// ---- errno mapping

namespace posix {

int host_errno(const IoError& error) {
    if (error.os_errno != 0) return error.os_errno;
    switch (error.kind) {
        case ErrorKind::NotFound: return ENOENT;
        case ErrorKind::PermissionDenied: return EACCES;
        case ErrorKind::AlreadyExists: return EEXIST;
        case ErrorKind::NotADirectory: return ENOTDIR;
        case ErrorKind::IsADirectory: return EISDIR;
        case ErrorKind::DirectoryNotEmpty: return ENOTEMPTY;
        case ErrorKind::ReadOnlyFilesystem: return EROFS;
        case ErrorKind::InvalidInput:
        case ErrorKind::InvalidFilename: return EINVAL;
        case ErrorKind::StorageFull: return ENOSPC;
        case ErrorKind::FileTooLarge: return EFBIG;
        case ErrorKind::CrossesDevices: return EXDEV;
        case ErrorKind::Unsupported: return EOPNOTSUPP;
        default: return EIO;
    }
}

IoError bad_handle() { return IoError::os(EBADF); }

}  // namespace posix

// ---- Posix

namespace {

bool not_empty(const IoError& e) { return is(e, ErrorKind::DirectoryNotEmpty, ENOTEMPTY); }

std::string parent_dir(std::string_view path) { return std::string(path.substr(0, path.rfind('/') + 1)); }

std::string random_token() {
    std::random_device rd;
    std::uint64_t v = (std::uint64_t{rd()} << 32) ^ rd();
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

// Who left a hidden name behind: its pid and mount token, when it has them.
struct HiddenOwner {
    long pid = 0;
    std::string_view token;
};

// access(2)'s question for one node's attributes, answered as the kernel
// answers it: the owner's bits for the owner, else the group's for a
// member, else the others'. FUSE lets in no caller of another uid or gid
// than the mount's, which are this process's.
bool permitted(const Stat& st, int mask) {
    if (::geteuid() == 0) return !(mask & X_OK) || st.is_dir() || (st.mode & 0111) != 0;
    // A tree that keeps no owners holds only nodes of ours.
    int shift = st.uid.value_or(::geteuid()) == ::geteuid() ? 6 : in_group(st.gid.value_or(::getegid())) ? 3 : 0;
    int granted = static_cast<int>(st.mode >> shift) & (R_OK | W_OK | X_OK);
    return (mask & (R_OK | W_OK | X_OK) & ~granted) == 0;
}

std::optional<HiddenOwner> hidden_owner(std::string_view name) {
    name.remove_prefix(kHiddenPrefix.size());
    auto inode_end = name.find('-');
    if (inode_end == std::string_view::npos) return std::nullopt;
    name.remove_prefix(inode_end + 1);
    auto pid_end = name.find('-');
    if (pid_end == std::string_view::npos) return std::nullopt;
    HiddenOwner o;
    auto [p, ec] = std::from_chars(name.data(), name.data() + pid_end, o.pid);
    if (ec != std::errc() || p != name.data() + pid_end || o.pid <= 0) return std::nullopt;
    name.remove_prefix(pid_end + 1);
    o.token = name.substr(0, name.find('-'));
    return o;
}

}  // namespace

Posix::Posix(std::unique_ptr<FileSystem> fs) : fs_(std::move(fs)), token_(random_token()) {}

IoResult<std::string> Posix::path_of(std::uint64_t inode) {
    auto g = lock::lock(inodes_m_);
    auto p = inodes_.path_of(inode);
    if (!p) return fail(IoError(ErrorKind::NotFound));
    return std::move(*p);
}

IoResult<std::string> Posix::child_path(std::uint64_t parent, std::string_view name) {
    if (name.size() > kNameMax) return fail(IoError::os(ENAMETOOLONG));
    HALVO_TRY(auto dir, path_of(parent));
    return pathx::join(dir, name);
}

IoResult<std::pair<std::string, Open>> Posix::record_of(std::uint64_t handle) {
    std::optional<Open> open;
    {
        auto g = lock::lock(handles_m_);
        open = handles_.get(handle);
    }
    if (!open) return fail(posix::bad_handle());
    // A handle with a descriptor of its own needs no path: it keeps its
    // file also once another took its name.
    auto path = path_of(open->inode);
    if (!path && !open->fd) return fail(std::move(path).error());
    return std::pair{path ? std::move(*path) : std::string(), std::move(*open)};
}


bool Posix::any_open(std::uint64_t inode) {
    auto g = lock::lock(handles_m_);
    return handles_.any_on(inode);
}

std::optional<std::uint64_t> Posix::open_inode_at(const std::string& path) {
    std::optional<std::uint64_t> inode;
    {
        auto g = lock::lock(inodes_m_);
        inode = inodes_.number_of(path);
    }
    if (!inode || !any_open(*inode)) return std::nullopt;
    return inode;
}

std::optional<bool> Posix::sole_writer(std::uint64_t inode, const std::string* path) {
    std::optional<std::string> found;
    {
        auto g = lock::lock(inodes_m_);
        auto sole = inodes_.sole_of(inode);
        if (!sole) return std::nullopt;
        if (*sole != InodeTable::Sole::Undecided) return *sole == InodeTable::Sole::Yes;
        if (!path) {
            found = inodes_.path_of(inode);
            if (!found) return std::nullopt;
            path = &*found;
        }
    }
    // Routing the path is the cost this saves on every later request.
    bool sole = fs_->sole_writer(*path);
    auto g = lock::lock(inodes_m_);
    inodes_.set_sole(inode, sole);
    return sole;
}

double Posix::timeout_for(std::uint64_t inode, const std::string& path) {
    return notify_ && sole_writer(inode, &path).value_or(false) ? kLastingTimeout : kChangingTimeout;
}

double Posix::timeout_of(std::uint64_t inode) {
    auto sole = sole_writer(inode);
    if (!sole) return 0;
    return notify_ && *sole ? kLastingTimeout : kChangingTimeout;
}

double Posix::missing_timeout(std::uint64_t parent, std::string_view name) {
    // A name missing from a host folder is in that folder; only in the
    // in-memory tree may a name be the root of a host folder gone missing.
    auto sole = sole_writer(parent);
    if (!sole) return 0;
    if (!notify_ || !*sole) return kChangingTimeout;
    auto path = child_path(parent, name);
    return path && fs_->sole_writer(*path) ? kLastingTimeout : kChangingTimeout;
}

bool Posix::keeps_listing(std::uint64_t inode) {
    auto sole = sole_writer(inode);
    if (!sole) return false;
    if (*sole) return true;
    std::optional<FolderTimes> listed;
    {
        auto g = lock::lock(dirs_m_);
        if (auto it = listed_.find(inode); it != listed_.end()) listed = it->second;
    }
    if (!listed || !listed->settled) return false;
    auto path = path_of(inode);
    if (!path) return false;
    auto now = folder_times(*path);
    return now && now->modified == listed->modified && now->changed == listed->changed;
}

std::optional<Posix::FolderTimes> Posix::folder_times(const std::string& dir) {
    auto st = fs_->stat(dir);
    if (!st || !st->modified || !st->changed) return std::nullopt;
    // Past any tick of a coarse clock (4 ms at 250 Hz): a change after the
    // listing is then stamped later than the times read before it.
    constexpr std::int64_t kTickNs = 50'000'000;
    auto ns = [](const WallTime& t) { return t.sec * 1'000'000'000 + static_cast<std::int64_t>(t.nsec); };
    std::int64_t now = ns(WallTime::now());
    bool settled = now - ns(*st->modified) > kTickNs && now - ns(*st->changed) > kTickNs;
    return FolderTimes{*st->modified, *st->changed, settled};
}

void Posix::folder_changed(std::string_view dir) {
    if (!notify_) return;
    std::optional<std::uint64_t> inode;
    {
        auto g = lock::lock(inodes_m_);
        inode = inodes_.number_of(dir);
    }
    if (inode) notify_(*inode);
}

Posix::Entry Posix::interned(const std::string& path, const Stat& st, std::optional<NodeId> id) {
    std::uint64_t inode;
    {
        auto g = lock::lock(inodes_m_);
        inode = inodes_.intern(path, id);
    }
    return Entry{inode, st, timeout_for(inode, path)};
}

IoResult<Posix::Entry> Posix::lookup_child(std::uint64_t parent, std::string_view name) {
    HALVO_TRY(auto path, child_path(parent, name));
    HALVO_TRY(auto st, fs_->stat(path));
    // The names of one file share its number, and so the kernel's cache of it.
    std::optional<NodeId> id;
    if (!st.is_dir() && st.nlink > 1) id = st.id;
    return interned(path, st, id);
}

IoResult<Stat> Posix::stat_inode(std::uint64_t inode) {
    HALVO_TRY(auto path, path_of(inode));
    return fs_->stat(path);
}

IoResult<void> Posix::access_inode(std::uint64_t inode, int mask) {
    HALVO_TRY(auto st, stat_inode(inode));
    if (!permitted(st, mask)) return fail(IoError::os(EACCES));
    return {};
}

IoResult<void> Posix::check_open(const std::string& path, OpenFlags flags) {
    // Root may read and write anything; only others need a look.
    if (::geteuid() == 0) return {};
    HALVO_TRY(auto st, fs_->stat(path));
    int mask = (flags.read ? R_OK : 0) | (flags.write || flags.truncate ? W_OK : 0);
    if (!permitted(st, mask)) return fail(IoError::os(EACCES));
    return {};
}

IoResult<Stat> Posix::setattr_inode(std::uint64_t inode, std::optional<std::uint64_t> size, const SetAttr& attr) {
    HALVO_TRY(auto path, path_of(inode));
    if (size) {
        HALVO_CHECK(fs_->truncate(path, *size));
    }
    if (!attr.empty()) {
        HALVO_CHECK(fs_->set_attr(path, attr));
    }
    return fs_->stat(path);
}

IoResult<Stat> Posix::with_mode(const std::string& path, Stat st, std::optional<std::uint32_t> mode) {
    if (!mode || (*mode & 07777) == st.mode) return st;
    SetAttr change;
    change.mode = *mode & 07777;
    HALVO_CHECK(fs_->set_attr(path, change));
    st.mode = *change.mode;
    return st;
}

IoResult<std::optional<Stat>> Posix::realize_open(const std::string& path, OpenFlags flags) {
    std::optional<Stat> created;
    if (flags.create) {
        auto r = fs_->create(path);
        if (r) {
            created = std::move(*r);
        } else if (!is(r.error(), ErrorKind::AlreadyExists, EEXIST) || flags.create_new) {
            return fail(std::move(r).error());
        }
    }
    if (!created) {
        HALVO_CHECK(check_open(path, flags));
    }
    // A file this very open created is empty already.
    if (flags.truncate && !created) {
        HALVO_CHECK(fs_->truncate(path, 0));
    }
    return created;
}

IoResult<std::uint64_t> Posix::add_handle(std::uint64_t inode, const std::string& path, OpenFlags flags) {
    HALVO_TRY(auto fd, fs_->open_fd(path, flags.access()));
    Open open{inode, flags, nullptr};
    if (fd) open.fd = std::make_shared<const platform::Fd>(std::move(*fd));
    auto g = lock::lock(handles_m_);
    return handles_.insert(std::move(open));
}

IoResult<std::uint64_t> Posix::open_inode(std::uint64_t inode, OpenFlags flags) {
    HALVO_TRY(auto path, path_of(inode));
    HALVO_TRY(auto created, realize_open(path, flags));
    (void)created;
    return add_handle(inode, path, flags);
}

IoResult<Posix::Created> Posix::create_child(std::uint64_t parent, std::string_view name, OpenFlags flags,
                                             std::optional<std::uint32_t> mode) {
    HALVO_TRY(auto path, child_path(parent, name));
    HALVO_TRY(auto created, realize_open(path, flags));
    std::uint64_t inode;
    {
        auto g = lock::lock(inodes_m_);
        inode = inodes_.intern(path);
    }
    double timeout = timeout_for(inode, path);
    // The handle's descriptor comes before the mode: a read-only mode must
    // not refuse a caller without root the very open that made the file.
    auto handle = add_handle(inode, path, flags);
    if (!handle) {
        forget_inode(inode, 1);
        return fail(std::move(handle).error());
    }
    auto st = created ? with_mode(path, *created, mode) : fs_->stat(path);
    if (!st) {
        (void)release_handle(*handle);
        forget_inode(inode, 1);
        return fail(std::move(st).error());
    }
    return Created{inode, *st, *handle, timeout};
}

IoResult<std::size_t> Posix::read_handle(std::uint64_t handle, std::uint64_t offset, std::span<std::uint8_t> buf) {
    HALVO_TRY(auto open, record_of(handle));
    if (!open.second.flags.read) return fail(posix::bad_handle());
    if (open.second.fd) return platform::read_at(open.second.fd->get(), buf, offset);
    HALVO_TRY(std::size_t n, fs_->read_at(open.first, buf, offset));
    return std::min(n, buf.size());
}

IoResult<void> Posix::read_handle_with(std::uint64_t handle, std::uint64_t offset, std::size_t size,
                                       const ReadInto& give) {
    HALVO_TRY(auto open, record_of(handle));
    if (!open.second.flags.read) return fail(posix::bad_handle());
    if (!open.second.fd) return fs_->read_with(open.first, offset, size, give);
    thread_local std::vector<std::uint8_t> buf;
    if (buf.size() < size) buf.resize(size);
    HALVO_TRY(std::size_t n, platform::read_at(open.second.fd->get(), {buf.data(), size}, offset));
    give({buf.data(), n});
    return {};
}

IoResult<std::size_t> Posix::write_handle(std::uint64_t handle, std::uint64_t offset,
                                          std::span<const std::uint8_t> data) {
    HALVO_TRY(auto open, record_of(handle));
    if (!open.second.flags.write) return fail(posix::bad_handle());
    const platform::Fd* fd = open.second.fd.get();
    std::size_t total = 0;
    while (total < data.size()) {
        auto rest = data.subspan(total);
        HALVO_TRY(std::size_t n, fd ? platform::write_at(fd->get(), rest, offset + total)
                                    : fs_->write_at(open.first, rest, offset + total));
        if (n == 0) return fail(IoError(ErrorKind::WriteZero));
        total += n;
    }
    return total;
}

IoResult<void> Posix::flush_handle(std::uint64_t handle) {
    HALVO_TRY(auto open, record_of(handle));
    // Every close() flushes: a handle that never wrote has nothing to sync,
    // and syncing would need write access it may not have.
    if (!open.second.flags.write) return {};
    if (open.second.fd) return platform::full_sync(open.second.fd->get());
    return fs_->flush(open.first);
}

IoResult<platform::Fd> Posix::lock_description(std::uint64_t handle, const Open& open) {
    // One owner's description serves all its handles of the file, so it is
    // opened for both reading and writing where it can be: a write lock
    // through a later handle open for writing must not meet a read-only
    // one (EBADF). Where the file refuses that, the handle's own mode.
    auto reopen = [&](int fd) {
        auto both = platform::reopen(fd, O_RDWR);
        if (both || !refuses_writing(both.error())) return both;
        return platform::reopen(fd, open.flags.access());
    };
    if (open.fd) return reopen(open.fd->get());
    auto g = lock::lock(locks_m_);
    auto it = anchors_.find(open.inode);
    if (it == anchors_.end()) {
        // Not for a file whose last handle went: nothing would drop it.
        if (!still_open(handle)) return fail(posix::bad_handle());
        HALVO_TRY(auto anchor, platform::lock_anchor());
        it = anchors_.emplace(open.inode, std::move(anchor)).first;
    }
    return reopen(it->second.get());
}

bool Posix::still_open(std::uint64_t handle) {
    auto g = lock::lock(handles_m_);
    return handles_.get(handle).has_value();
}

template <class Map, class Key>
IoResult<std::shared_ptr<const platform::Fd>> Posix::kept_description(Map& map, const Key& key,
                                                                       std::uint64_t handle, const Open& open) {
    {
        auto g = lock::lock(locks_m_);
        if (auto it = map.find(key); it != map.end()) return it->second;
    }
    HALVO_TRY(auto fd, lock_description(handle, open));
    auto g = lock::lock(locks_m_);
    // Released meanwhile: its file's last release may have dropped the
    // descriptions already, and one kept now would hold its locks for good.
    if (!still_open(handle)) return fail(posix::bad_handle());
    // A racing request may have made one meanwhile: keep the first.
    return map.try_emplace(key, std::make_shared<const platform::Fd>(std::move(fd))).first->second;
}

IoResult<std::shared_ptr<const platform::Fd>> Posix::owner_locks(std::uint64_t handle, std::uint64_t owner) {
    HALVO_TRY(auto open, record_of(handle));
    return kept_description(owners_, std::pair{open.second.inode, owner}, handle, open.second);
}

IoResult<void> Posix::test_lock(std::uint64_t handle, std::uint64_t owner, platform::RangeLock& lock) {
    HALVO_TRY(auto fd, owner_locks(handle, owner));
    return platform::test_range_lock(fd->get(), lock);
}

IoResult<void> Posix::set_lock(std::uint64_t handle, std::uint64_t owner, const platform::RangeLock& lock) {
    HALVO_TRY(auto fd, owner_locks(handle, owner));
    return platform::set_range_lock(fd->get(), lock);
}

IoResult<void> Posix::flock_handle(std::uint64_t handle, int op) {
    HALVO_TRY(auto open, record_of(handle));
    std::shared_ptr<const platform::Fd> fd = open.second.fd;
    if (!fd) {
        HALVO_TRY(fd, kept_description(flocks_, handle, handle, open.second));
    }
    return platform::whole_file_lock(fd->get(), op);
}

void Posix::release_owner_locks(std::uint64_t handle, std::uint64_t owner) {
    std::optional<Open> open;
    {
        auto g = lock::lock(handles_m_);
        open = handles_.get(handle);
    }
    if (!open) return;
    std::shared_ptr<const platform::Fd> closing;  // closed outside the lock
    auto g = lock::lock(locks_m_);
    if (auto it = owners_.find({open->inode, owner}); it != owners_.end()) {
        closing = std::move(it->second);
        owners_.erase(it);
    }
}

bool Posix::keeps_cache(std::uint64_t handle) {
    auto open = record_of(handle);
    return open && !open->second.fd && sole_writer(open->second.inode, &open->first).value_or(false);
}

IoResult<void> Posix::release_handle(std::uint64_t handle) {
    std::uint64_t inode;
    {
        // Descriptions are kept only for a handle still open (checked under
        // both locks, in this order), so none is made for this one after.
        auto g = lock::lock(locks_m_);
        flocks_.erase(handle);
        {
            auto h = lock::lock(handles_m_);
            auto open = handles_.remove(handle);
            if (!open || handles_.any_on(open->inode)) return {};
            inode = open->inode;
        }
        // The file's last handle: no lock of any owner on it can outlive it.
        anchors_.erase(inode);
        for (auto it = owners_.lower_bound({inode, 0}); it != owners_.end() && it->first.first == inode;)
            it = owners_.erase(it);
    }
    return drop_hidden_of(inode);
}

IoResult<void> Posix::drop_hidden_of(std::uint64_t inode) {
    // A file of several names may have had more than one of them hidden.
    std::vector<std::string> hidden;
    {
        auto g = lock::lock(hidden_m_);
        // Taken out, so a racing release or unlink does not delete them twice.
        for (auto it = hidden_.begin(); it != hidden_.end();) {
            if (it->second != inode) {
                ++it;
                continue;
            }
            hidden.push_back(it->first);
            it = hidden_.erase(it);
        }
    }
    IoResult<void> r;
    for (auto& path : hidden) {
        auto gone = fs_->unlink(path);
        if (!gone) {
            // Kept, so the next release tries again.
            auto g = lock::lock(hidden_m_);
            hidden_.try_emplace(std::move(path), inode);
            r = std::move(gone);
            continue;
        }
        {
            // The file's other names, if it has any, answer for it now.
            auto g = lock::lock(inodes_m_);
            inodes_.evict_path(path);
        }
        folder_changed(parent_dir(path));
    }
    return r;
}

IoResult<void> Posix::drop_if_closed(std::uint64_t inode) {
    // A release may have come between the check for handles and the hiding.
    if (any_open(inode)) return {};
    return drop_hidden_of(inode);
}

void Posix::drop_hidden() {
    decltype(hidden_) hidden;
    {
        auto g = lock::lock(hidden_m_);
        hidden.swap(hidden_);
    }
    for (const auto& [path, inode] : hidden) (void)fs_->unlink(path);
}

IoResult<Posix::Entry> Posix::mkdir_child(std::uint64_t parent, std::string_view name,
                                          std::optional<std::uint32_t> mode) {
    HALVO_TRY(auto path, child_path(parent, name));
    HALVO_TRY(auto made, fs_->mkdir(path));
    HALVO_TRY(auto st, with_mode(path, made, mode));
    return interned(path, st);
}

IoResult<Posix::Entry> Posix::symlink_child(std::uint64_t parent, std::string_view name, std::string_view target) {
    HALVO_TRY(auto path, child_path(parent, name));
    HALVO_TRY(auto st, fs_->symlink(path, target));
    return interned(path, st);
}

IoResult<std::string> Posix::readlink_inode(std::uint64_t inode) {
    HALVO_TRY(auto path, path_of(inode));
    return fs_->readlink(path);
}

IoResult<Posix::Entry> Posix::link_child(std::uint64_t inode, std::uint64_t new_parent, std::string_view new_name) {
    HALVO_TRY(auto from, path_of(inode));
    HALVO_TRY(auto to, child_path(new_parent, new_name));
    HALVO_TRY(auto st, fs_->link(from, to));
    if (!st.id) return interned(to, st);
    {
        auto g = lock::lock(inodes_m_);
        inodes_.add_name(inode, to, *st.id);
    }
    return Entry{inode, st, timeout_for(inode, to)};
}

IoResult<Posix::Entry> Posix::mknod_child(std::uint64_t parent, std::string_view name, FileType type,
                                          std::uint32_t mode) {
    HALVO_TRY(auto path, child_path(parent, name));
    HALVO_TRY(auto st, fs_->mknod(path, type, mode));
    return interned(path, st);
}

IoResult<bool> Posix::evacuate_hidden(const std::string& dir) {
    HALVO_TRY(auto entries, fs_->list(dir));
    enum class Fate { Move, Delete };
    std::vector<std::pair<std::string, Fate>> plan;
    for (const auto& e : entries) {
        if (!e.name.starts_with(kHiddenPrefix)) return false;
        auto owner = hidden_owner(e.name);
        Fate fate = Fate::Delete;
        if (owner && owner->pid == ::getpid() && owner->token == token_)
            fate = Fate::Move;
        else if (owner && platform::process_exists(static_cast<pid_t>(owner->pid)))
            return false;  // another live mount's: its handles still read it
        plan.emplace_back(pathx::join(dir, e.name), fate);
    }
    std::string root = pathx::key(fs_->tree_root(dir));
    if (pathx::key(dir) == root) return false;
    for (const auto& [path, fate] : plan) {
        if (fate == Fate::Delete) {
            HALVO_CHECK(fs_->unlink(path));
            continue;
        }
        std::string name(path.substr(path.rfind('/') + 1));
        std::string target = pathx::join(root, name);
        for (int attempt = 1; !fs_->rename_noreplace(path, target); ++attempt) {
            if (attempt > 8) return false;
            target = pathx::join(root, name + "-" + std::to_string(attempt));
        }
        {
            auto g = lock::lock(inodes_m_);
            inodes_.rekey_subtree(path, target);
        }
        auto g = lock::lock(hidden_m_);
        if (auto it = hidden_.find(pathx::key(path)); it != hidden_.end()) {
            std::uint64_t inode = it->second;
            hidden_.erase(it);
            hidden_.insert_or_assign(pathx::key(target), inode);
        }
    }
    // The files went to the root of the tree, which the kernel cannot know.
    if (!plan.empty()) folder_changed(root);
    return true;
}

IoResult<void> Posix::rmdir_child(std::uint64_t parent, std::string_view name) {
    HALVO_TRY(auto path, child_path(parent, name));
    auto r = fs_->rmdir(path);
    // Hidden files are out of sight, so they must not keep the folder.
    if (!r && not_empty(r.error())) {
        auto cleared = evacuate_hidden(path);
        if (cleared && *cleared) r = fs_->rmdir(path);
    }
    HALVO_CHECK(std::move(r));
    auto g = lock::lock(inodes_m_);
    inodes_.evict_subtree(path);
    return {};
}

std::string Posix::hidden_name(std::uint64_t inode, int attempt) const {
    std::string name = std::string(kHiddenPrefix) + std::to_string(inode) + "-" + std::to_string(::getpid()) + "-" +
                       token_;
    if (attempt > 0) name += "-" + std::to_string(attempt);
    return name;
}

IoResult<std::string> Posix::hide(const std::string& path, std::uint64_t inode) {
    std::string dir = parent_dir(path);
    std::string hidden;
    // Never over anything: a name of ours can only be taken by a stray copy.
    for (int attempt = 0;; ++attempt) {
        hidden = pathx::key(pathx::join(dir, hidden_name(inode, attempt)));
        auto r = fs_->rename_noreplace(path, hidden);
        if (r) break;
        if (!is(r.error(), ErrorKind::AlreadyExists, EEXIST) || attempt == 8) return fail(std::move(r).error());
    }
    {
        auto g = lock::lock(inodes_m_);
        inodes_.rekey_subtree(path, hidden);
    }
    auto g = lock::lock(hidden_m_);
    hidden_.insert_or_assign(hidden, inode);
    return hidden;
}

IoResult<void> Posix::unlink_child(std::uint64_t parent, std::string_view name) {
    HALVO_TRY(auto path, child_path(parent, name));
    if (auto inode = open_inode_at(path)) {
        auto r = hide(path, *inode);
        if (r) return drop_if_closed(*inode);
        if (!refuses_hiding(r.error())) return fail(std::move(r).error());
    }
    HALVO_CHECK(fs_->unlink(path));
    auto g = lock::lock(inodes_m_);
    inodes_.evict_path(path);
    return {};
}

IoResult<void> Posix::rename_child(std::uint64_t parent, std::string_view name, std::uint64_t new_parent,
                                   std::string_view new_name) {
    HALVO_TRY(auto from, child_path(parent, name));
    HALVO_TRY(auto to, child_path(new_parent, new_name));

    // A file replaced while open is hidden like an unlinked one, so its
    // handles keep the old bytes instead of reaching the new file.
    // 0: none (no inode has that number).
    std::uint64_t replaced = 0;
    if (pathx::key(from) != pathx::key(to)) replaced = open_inode_at(to).value_or(0);
    if (replaced) {
        // Open handles are on files, and a directory cannot replace a file:
        // leave that refusal to the tree rather than free the name first.
        HALVO_TRY(auto source, fs_->stat(from));
        if (source.is_dir()) replaced = 0;
    }
    std::optional<std::string> hidden;
    if (replaced) {
        auto r = hide(to, replaced);
        if (r) {
            hidden = std::move(*r);
        } else if (!refuses_hiding(r.error())) {
            return fail(std::move(r).error());
        }
    }

    auto renamed = fs_->rename(from, to);
    // A folder that holds only hidden files is empty to its users.
    if (!renamed && not_empty(renamed.error())) {
        auto cleared = evacuate_hidden(to);
        if (cleared && *cleared) renamed = fs_->rename(from, to);
    }
    if (!renamed) {
        if (hidden && replaced) {
            // Put the target back; if even that fails, leave it hidden but never delete it.
            bool back = fs_->rename(*hidden, to).ok();
            if (back) {
                auto g = lock::lock(inodes_m_);
                inodes_.rekey_subtree(*hidden, to);
            }
            {
                auto g = lock::lock(hidden_m_);
                hidden_.erase(*hidden);
            }
            // The failed rename changed nothing the kernel knows of but the
            // folder's times.
            folder_changed(parent_dir(to));
        }
        return renamed;
    }

    std::string from_key = pathx::key(from);
    std::string to_key = pathx::key(to);
    {
        auto g = lock::lock(inodes_m_);
        inodes_.rekey_subtree(from, to);
        // Not hidden: its record would name the new file; point it nowhere.
        if (replaced && !hidden) inodes_.detach(replaced);
    }
    {
        // Hidden files inside a renamed directory moved with it.
        auto g = lock::lock(hidden_m_);
        auto first = hidden_.lower_bound(from_key);
        auto last = first;
        std::vector<std::pair<std::string, std::uint64_t>> moved;
        for (; last != hidden_.end() && pathx::at_or_under(last->first, from_key); ++last)
            moved.emplace_back(rebase(last->first, from_key, to_key), last->second);
        hidden_.erase(first, last);
        for (auto& [p, n] : moved) hidden_.insert_or_assign(std::move(p), n);
    }
    if (hidden && replaced) return drop_if_closed(replaced);
    return {};
}

IoResult<std::vector<Posix::Listed>> Posix::dir_entries(std::uint64_t inode) {
    HALVO_TRY(auto dir, path_of(inode));
    // Read before the listing, so a change while listing moves them on.
    std::optional<FolderTimes> times;
    if (!sole_writer(inode, &dir).value_or(true)) times = folder_times(dir);
    HALVO_TRY(auto entries, fs_->list(dir));
    {
        auto g = lock::lock(dirs_m_);
        if (times)
            listed_.insert_or_assign(inode, *times);
        else
            listed_.erase(inode);
    }
    std::vector<Listed> out;
    out.reserve(entries.size() + 2);
    out.push_back({inode, Dirent{".", FileType::Dir, std::nullopt}});
    out.push_back({inode, Dirent{"..", FileType::Dir, std::nullopt}});
    auto g = lock::lock(inodes_m_);
    std::string child = dir;
    if (child.back() != '/') child += '/';
    const std::size_t base = child.size();
    for (auto& e : entries) {
        if (e.name.starts_with(kHiddenPrefix)) continue;
        child.resize(base);
        child += e.name;
        std::uint64_t n = inodes_.number_for(child);
        out.push_back({n, std::move(e)});
    }
    return out;
}

IoResult<std::uint64_t> Posix::open_dir(std::uint64_t inode) {
    HALVO_TRY(auto dir, path_of(inode));
    (void)dir;
    auto g = lock::lock(dirs_m_);
    std::uint64_t h = next_dir_++;
    dirs_.emplace(h, DirHandle{inode, nullptr});
    return h;
}

void Posix::release_dir(std::uint64_t dir_handle) {
    auto g = lock::lock(dirs_m_);
    dirs_.erase(dir_handle);
}

IoResult<void> Posix::for_each_dirent(std::uint64_t dir_handle, std::uint64_t offset, const Emit& emit) {
    DirHandle d;
    {
        auto g = lock::lock(dirs_m_);
        auto it = dirs_.find(dir_handle);
        if (it == dirs_.end()) return fail(posix::bad_handle());
        d = it->second;
    }
    // From the start (also after a rewind) the directory is listed afresh.
    if (offset == 0 || !d.listing) {
        HALVO_TRY(auto listed, dir_entries(d.inode));
        d.listing = std::make_shared<const std::vector<Listed>>(std::move(listed));
        auto g = lock::lock(dirs_m_);
        if (auto it = dirs_.find(dir_handle); it != dirs_.end()) it->second.listing = d.listing;
    }
    const auto& listed = *d.listing;
    for (std::uint64_t i = offset; i < listed.size(); ++i) {
        const auto& [number, e] = listed[i];
        if (e.name.find('\0') != std::string::npos) return fail(IoError(ErrorKind::InvalidFilename));
        std::uint32_t perms = e.stat ? e.stat->mode : (e.is_dir() ? kDirMode : kFileMode);
        std::uint32_t mode = type_bits(e.type) | perms;
        if (emit(number, e.name.c_str(), mode, static_cast<std::int64_t>(i + 1))) break;
    }
    return {};
}

void Posix::forget_inode(std::uint64_t inode, std::uint64_t count) {
    bool gone;
    {
        auto g = lock::lock(inodes_m_);
        inodes_.forget(inode, count);
        gone = !inodes_.lookups_of(inode);
    }
    if (!gone) return;
    auto g = lock::lock(dirs_m_);
    listed_.erase(inode);
}

}  // namespace halvo::fs::filesystem

#include "fs/directory.hpp"

#include <new>

#include "base/lock.hpp"
#include "base/pathx.hpp"
#include "base/utf8.hpp"

namespace halvo::fs {

using filesystem::impl::kMaxFile;
using filesystem::impl::Node;

namespace {

Unexpected<IoError> kind(ErrorKind k) { return fail(IoError(k)); }

std::string_view parent_key(std::string_view key) {
    auto slash = key.rfind('/');
    return slash == std::string_view::npos ? std::string_view{} : key.substr(0, slash);
}

}  // namespace

namespace directory {

IoResult<std::string> mount_key(std::string_view path) {
    HALVO_TRY(auto p, normalize(path));
    for (auto c : pathx::components(p))
        if (!utf8::valid(c)) return kind(ErrorKind::InvalidFilename);
    return p;
}

}  // namespace directory

Directory::Directory() = default;

Directory::Mounts::iterator Directory::mount_for(const std::string& p) {
    // Keys never nest, so at most one ancestor of p is a key.
    std::string_view q = p;
    while (!q.empty()) {
        auto it = mounts_.find(q);
        if (it != mounts_.end()) return it;
        q = parent_key(q);
    }
    return mounts_.end();
}

bool Directory::spans_mounts(const std::string& p) const {
    auto it = mounts_.upper_bound(p);
    return it != mounts_.end() && pathx::at_or_under(it->first, p);
}

bool Directory::is_mount_table_owned(const std::string& p) const {
    return mounts_.contains(p) || spans_mounts(p);
}

IoResult<std::string> Directory::in_memory_key(std::string_view path) {
    HALVO_TRY(auto p, directory::normalize(path));
    if (mount_for(p) != mounts_.end()) return kind(ErrorKind::InvalidInput);
    return p;
}

Directory::Routed Directory::route(const std::string& p) {
    auto it = mount_for(p);
    if (it == mounts_.end()) return {&root_, p};
    return {it->second.get(), std::string(pathx::remainder(p, it->first))};
}

IoResult<Directory::Routed> Directory::route_file(std::string_view path) {
    HALVO_TRY(auto p, directory::normalize(path));
    if (spans_mounts(p)) return kind(ErrorKind::IsADirectory);
    return route(p);
}

IoResult<void> Directory::mount(std::string_view at, std::string host) {
    HALVO_TRY(auto key, directory::mount_key(at));
    if (key.empty()) return kind(ErrorKind::InvalidInput);
    if (mount_for(key) != mounts_.end() || spans_mounts(key)) return kind(ErrorKind::InvalidInput);
    HALVO_TRY(bool exists, root_.contains(key));
    if (exists) return kind(ErrorKind::AlreadyExists);
    HALVO_CHECK(root_.mkdir_all(parent_key(key)));
    mounts_.emplace(std::move(key), std::make_unique<PassthroughFs>(std::move(host)));
    return {};
}

IoResult<void> Directory::unmount(std::string_view at) {
    HALVO_TRY(auto key, directory::mount_key(at));
    if (mounts_.erase(key) == 0) return kind(ErrorKind::NotFound);
    return {};
}

IoResult<void> Directory::add_file(std::string_view path, std::string_view content) {
    HALVO_TRY(auto p, in_memory_key(path));
    HALVO_TRY(auto names, filesystem::impl::inmem::components(p));
    if (names.empty()) return kind(ErrorKind::InvalidFilename);
    if (content.size() > kMaxFile) return kind(ErrorKind::FileTooLarge);
    auto data = filesystem::impl::Bytes::of(content);
    if (!data) return kind(ErrorKind::OutOfMemory);
    std::string name(names.back());
    names.pop_back();
    HALVO_TRY(auto parent, root_.dir_all(names));
    auto g = lock::lock(parent->m);
    if (!parent->is_dir()) return kind(ErrorKind::NotADirectory);
    auto& entries = parent->dir().entries;
    if (auto it = entries.find(name); it != entries.end()) {
        auto gc = lock::lock(it->second->m);
        if (it->second->is_dir()) return kind(ErrorKind::IsADirectory);
    }
    entries.insert_or_assign(std::move(name), Node::new_file(std::move(*data)));
    parent->touch();
    return {};
}

IoResult<void> Directory::remove_file(std::string_view path) {
    HALVO_TRY(auto p, in_memory_key(path));
    return root_.remove_file(p);
}

std::vector<std::pair<std::string, Directory::PassthroughFs*>> Directory::host_folders() {
    std::vector<std::pair<std::string, PassthroughFs*>> out;
    for (auto& [key, tree] : mounts_) out.emplace_back(key, tree.get());
    return out;
}

IoResult<Directory::Stat> Directory::stat(std::string_view path) {
    HALVO_TRY(auto p, directory::normalize(path));
    auto r = route(p);
    return r.tree->stat(r.path);
}

IoResult<std::vector<Directory::Dirent>> Directory::list(std::string_view path) {
    HALVO_TRY(auto p, directory::normalize(path));
    // Names that keys below p bring, true when the key is the child itself.
    std::map<std::string, bool> from_keys;
    for (auto it = mounts_.upper_bound(p); it != mounts_.end() && pathx::at_or_under(it->first, p); ++it) {
        std::string_view rest = pathx::remainder(it->first, p);
        auto slash = rest.find('/');
        bool& direct = from_keys[std::string(rest.substr(0, slash))];
        direct = direct || slash == std::string_view::npos;
    }
    auto r = route(p);
    HALVO_TRY(auto routed, r.tree->list(r.path));

    std::map<std::string, Dirent> shadowed;
    std::vector<Dirent> out;
    out.reserve(routed.size() + from_keys.size());
    std::vector<Dirent> others;
    for (auto& e : routed) {
        if (from_keys.contains(e.name)) {
            shadowed.emplace(e.name, std::move(e));
        } else {
            others.push_back(std::move(e));
        }
    }
    for (const auto& [name, direct] : from_keys) {
        auto it = shadowed.find(name);
        if (direct || it == shadowed.end()) {
            out.push_back(Dirent{name, filesystem::FileType::Dir, std::nullopt});
        } else {
            out.push_back(std::move(it->second));
        }
    }
    for (auto& e : others) out.push_back(std::move(e));
    return out;
}

IoResult<std::size_t> Directory::read_at(std::string_view path, std::span<std::uint8_t> buf,
                                         std::uint64_t offset) {
    HALVO_TRY(auto r, route_file(path));
    return r.tree->read_at(r.path, buf, offset);
}

IoResult<void> Directory::read_with(std::string_view path, std::uint64_t offset, std::size_t size,
                                    const filesystem::ReadInto& give) {
    HALVO_TRY(auto r, route_file(path));
    return r.tree->read_with(r.path, offset, size, give);
}

IoResult<std::size_t> Directory::write_at(std::string_view path, std::span<const std::uint8_t> data,
                                          std::uint64_t offset) {
    HALVO_TRY(auto r, route_file(path));
    return r.tree->write_at(r.path, data, offset);
}

IoResult<void> Directory::truncate(std::string_view path, std::uint64_t size) {
    HALVO_TRY(auto r, route_file(path));
    return r.tree->truncate(r.path, size);
}

IoResult<void> Directory::flush(std::string_view path) {
    HALVO_TRY(auto r, route_file(path));
    return r.tree->flush(r.path);
}

IoResult<Directory::Routed> Directory::route_new(std::string_view path) {
    HALVO_TRY(auto p, directory::normalize(path));
    if (spans_mounts(p)) return kind(ErrorKind::AlreadyExists);
    return route(p);
}

IoResult<Directory::Stat> Directory::create(std::string_view path) {
    HALVO_TRY(auto r, route_new(path));
    return r.tree->create(r.path);
}

IoResult<Directory::Stat> Directory::mkdir(std::string_view path) {
    HALVO_TRY(auto r, route_new(path));
    return r.tree->mkdir(r.path);
}

IoResult<Directory::Stat> Directory::symlink(std::string_view path, std::string_view target) {
    HALVO_TRY(auto r, route_new(path));
    return r.tree->symlink(r.path, target);
}

IoResult<Directory::Stat> Directory::mknod(std::string_view path, filesystem::FileType type, std::uint32_t mode) {
    HALVO_TRY(auto r, route_new(path));
    return r.tree->mknod(r.path, type, mode);
}

IoResult<std::string> Directory::readlink(std::string_view path) {
    HALVO_TRY(auto p, directory::normalize(path));
    auto r = route(p);
    return r.tree->readlink(r.path);
}

IoResult<Directory::Stat> Directory::link(std::string_view existing, std::string_view path) {
    HALVO_TRY(auto src, directory::normalize(existing));
    HALVO_TRY(auto to, route_new(path));
    auto from = route(src);
    if (from.tree != to.tree) return kind(ErrorKind::CrossesDevices);
    return from.tree->link(from.path, to.path);
}

IoResult<std::optional<platform::Fd>> Directory::open_fd(std::string_view path, int flags) {
    HALVO_TRY(auto r, route_file(path));
    return r.tree->open_fd(r.path, flags);
}

IoResult<void> Directory::unlink(std::string_view path) {
    HALVO_TRY(auto p, directory::normalize(path));
    if (spans_mounts(p)) return kind(ErrorKind::IsADirectory);
    auto r = route(p);
    return r.tree->unlink(r.path);
}

IoResult<void> Directory::rmdir(std::string_view path) {
    HALVO_TRY(auto p, directory::normalize(path));
    if (spans_mounts(p)) return kind(ErrorKind::DirectoryNotEmpty);
    auto r = route(p);
    return r.tree->rmdir(r.path);
}

IoResult<std::pair<Directory::Routed, Directory::Routed>> Directory::route_rename(std::string_view from,
                                                                                   std::string_view to) {
    HALVO_TRY(auto src, directory::normalize(from));
    HALVO_TRY(auto dst, directory::normalize(to));
    if (is_mount_table_owned(src) || is_mount_table_owned(dst)) return kind(ErrorKind::ReadOnlyFilesystem);
    if (mount_for(src) != mount_for(dst)) return kind(ErrorKind::CrossesDevices);
    return std::pair{route(src), route(dst)};
}

IoResult<void> Directory::rename(std::string_view from, std::string_view to) {
    HALVO_TRY(auto r, route_rename(from, to));
    return r.first.tree->rename(r.first.path, r.second.path);
}

IoResult<void> Directory::rename_noreplace(std::string_view from, std::string_view to) {
    HALVO_TRY(auto r, route_rename(from, to));
    return r.first.tree->rename_noreplace(r.first.path, r.second.path);
}

IoResult<void> Directory::set_attr(std::string_view path, const SetAttr& attr) {
    HALVO_TRY(auto p, directory::normalize(path));
    auto r = route(p);
    return r.tree->set_attr(r.path, attr);
}

bool Directory::sole_writer(std::string_view path) {
    auto p = directory::normalize(path);
    if (!p) return false;
    auto r = route(*p);
    return r.tree->sole_writer(r.path);
}

std::string Directory::tree_root(std::string_view path) {
    auto p = directory::normalize(path);
    if (!p) return "";
    auto it = mount_for(*p);
    return it == mounts_.end() ? "" : it->first;
}

}  // namespace halvo::fs

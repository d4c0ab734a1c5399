#pragma once
// The tree a script assembles and a host mount serves: an in-memory tree with
// host folders placed at chosen paths (the mount keys). Every path goes to
// the host folder whose key is the deepest at or above it, else to the
// in-memory tree. Keys belong to the router: a key or a path above one cannot
// be renamed, and a path above a key can be neither removed nor created.
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fs/filesystem/filesystem.hpp"
#include "fs/filesystem/impl/inmem.hpp"
#include "fs/filesystem/impl/passthrough.hpp"
#include "base/pathx.hpp"

namespace halvo::fs {

namespace directory {
using filesystem::normalize;
// normalize, and every component valid UTF-8.
IoResult<std::string> mount_key(std::string_view path);
}  // namespace directory

// Orders keys component by component: a, a/x, a/y, "a b".
using KeyLess = pathx::Less;

class Directory : public filesystem::FileSystem {
public:
    using InMemFs = filesystem::impl::InMemFs;
    using PassthroughFs = filesystem::impl::PassthroughFs;
    using Stat = filesystem::Stat;
    using Dirent = filesystem::Dirent;
    using SetAttr = filesystem::SetAttr;

    Directory();

    IoResult<void> mount(std::string_view at, std::string host);
    IoResult<void> unmount(std::string_view at);
    // Replaces an existing file; more than 1 GiB is file too large.
    IoResult<void> add_file(std::string_view path, std::string_view content);
    IoResult<void> remove_file(std::string_view path);

    // Every host folder with its key, for the mounting code's checks.
    std::vector<std::pair<std::string, PassthroughFs*>> host_folders();

    IoResult<Stat> stat(std::string_view path) override;
    IoResult<std::vector<Dirent>> list(std::string_view path) override;
    IoResult<std::size_t> read_at(std::string_view path, std::span<std::uint8_t> buf,
                                  std::uint64_t offset) override;
    IoResult<void> read_with(std::string_view path, std::uint64_t offset, std::size_t size,
                             const filesystem::ReadInto& give) override;
    IoResult<Stat> create(std::string_view path) override;
    IoResult<Stat> mkdir(std::string_view path) override;
    IoResult<void> unlink(std::string_view path) override;
    IoResult<void> rmdir(std::string_view path) override;
    IoResult<std::size_t> write_at(std::string_view path, std::span<const std::uint8_t> data,
                                   std::uint64_t offset) override;
    IoResult<void> truncate(std::string_view path, std::uint64_t size) override;
    IoResult<void> rename(std::string_view from, std::string_view to) override;
    IoResult<void> rename_noreplace(std::string_view from, std::string_view to) override;
    IoResult<void> set_attr(std::string_view path, const SetAttr& attr) override;
    IoResult<Stat> symlink(std::string_view path, std::string_view target) override;
    IoResult<std::string> readlink(std::string_view path) override;
    IoResult<Stat> link(std::string_view existing, std::string_view path) override;
    IoResult<Stat> mknod(std::string_view path, filesystem::FileType type, std::uint32_t mode) override;
    IoResult<std::optional<platform::Fd>> open_fd(std::string_view path, int flags) override;
    IoResult<void> flush(std::string_view path) override;
    // The key of the host folder that holds `path`, or "" for the in-memory tree.
    std::string tree_root(std::string_view path) override;
    bool sole_writer(std::string_view path) override;

private:
    struct Routed {
        filesystem::FileSystem* tree;
        std::string path;
    };
    using Mounts = std::map<std::string, std::unique_ptr<PassthroughFs>, KeyLess>;

    Mounts::iterator mount_for(const std::string& p);
    bool spans_mounts(const std::string& p) const;
    bool is_mount_table_owned(const std::string& p) const;
    IoResult<std::string> in_memory_key(std::string_view path);
    Routed route(const std::string& p);
    IoResult<Routed> route_file(std::string_view path);
    // Where a new name goes: a path above a mount already exists.
    IoResult<Routed> route_new(std::string_view path);
    // Both sides of a rename, after the router's own refusals.
    IoResult<std::pair<Routed, Routed>> route_rename(std::string_view from, std::string_view to);

    InMemFs root_;
    Mounts mounts_;
};

}  // namespace halvo::fs

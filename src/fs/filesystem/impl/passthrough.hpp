#pragma once
// One host folder exposed as a FileSystem. Every path is resolved beneath
// the folder in one step (openat2 with RESOLVE_BENEATH, or a walk that
// does the same on older kernels): links inside the folder are followed on
// the way, and no link, absolute or climbing, leads out of it. The last
// component is acted on itself, so a link there is a link: what it leads to
// is for the kernel to follow on the mount's side.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fs/filesystem/filesystem.hpp"
#include "platform/fd.hpp"
#include "platform/hostfs.hpp"

namespace halvo::fs::filesystem::impl {

class PassthroughFs : public FileSystem {
public:
    // `root` is opened on first need and that folder is kept, wherever it
    // moves, until removed through this tree; a relative one is resolved
    // against the working directory of that first call.
    explicit PassthroughFs(std::string root);

    const std::string& root() const { return root_; }

    IoResult<Stat> stat(std::string_view path) override;
    IoResult<std::vector<Dirent>> list(std::string_view path) override;
    IoResult<std::size_t> read_at(std::string_view path, std::span<std::uint8_t> buf,
                                  std::uint64_t offset) override;
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
    IoResult<Stat> mknod(std::string_view path, FileType type, std::uint32_t mode) override;
    IoResult<std::optional<platform::Fd>> open_fd(std::string_view path, int flags) override;
    // Forces the file to stable storage.
    IoResult<void> flush(std::string_view path) override;

    static Stat stat_of(const platform::HostStat& st);

private:
    // A name in an opened folder: the root itself is "." in the root.
    struct Entry {
        std::shared_ptr<const platform::Fd> root;
        platform::Fd owned;  // a folder below the root, when it is one
        std::string name;
        bool is_root = false;
        // The folder `name` is in.
        int dir() const { return owned ? owned.get() : root->get(); }
    };
    // The root's descriptor (O_PATH), opened by the first call that needs it
    // and kept until the folder is removed through this tree.
    IoResult<std::shared_ptr<const platform::Fd>> root_fd() const;
    // The folder holding the last component, resolved beneath the root.
    IoResult<Entry> entry(std::string_view rel) const;
    // The node itself, links on the way and at the end followed beneath the root.
    IoResult<platform::Fd> node(std::string_view rel, int flags, mode_t mode = 0) const;
    IoResult<Stat> stat_entry(const Entry& e) const;

    std::string root_;
    mutable std::mutex root_m_;
    mutable std::shared_ptr<const platform::Fd> root_fd_;
};

}  // namespace halvo::fs::filesystem::impl

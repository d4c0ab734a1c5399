#pragma once
// One host folder exposed as a FileSystem. Paths are folded lexically onto
// the folder; only when a symbolic link lies on the way is the path checked
// again by following the links from the folder's canonical path, so no path
// or link leads outside the folder. The host call then uses the folded path.
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fs/filesystem/filesystem.hpp"
#include "platform/hostfs.hpp"

namespace halvo::fs::filesystem::impl {

// A chain of this many links resolves; one more is not found.
inline constexpr int kMaxLinkExpansions = 32;

class PassthroughFs : public FileSystem {
public:
    // `root` is kept as given; a relative one is resolved by the host against
    // the working directory of each call.
    explicit PassthroughFs(std::string root);

    const std::string& root() const { return root_; }

    // Answers not found for `rel` (relative to the folder) and everything
    // under it without touching the host: the mount point of the mount that
    // serves this folder may lie there, and a host call into it would block
    // the serving thread for good. Call before the tree is served.
    void exclude(std::string_view rel);

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
    // Forces the file to stable storage.
    IoResult<void> flush(std::string_view path) override;

    struct Folded {
        std::string path;              // the root joined with `rel`
        std::vector<std::string> rel;  // names below the root; its size is the depth
        bool link_seen = false;
    };
    IoResult<Folded> fold(std::string_view rel) const;
    // `rel` with its links followed from the canonical root; fails with not
    // found when it leaves the folder or a chain is too long.
    IoResult<std::string> resolve_within_root(std::span<const std::string> rel);
    // Folded, the whole path checked.
    IoResult<Folded> real_path(std::string_view rel);
    // Folded, only the parent checked: a link at the end is acted on itself.
    IoResult<Folded> entry_path(std::string_view rel);
    static Stat stat_of(const platform::HostStat& st);

private:
    IoResult<std::string> canonical_root();
    bool excluded(std::span<const std::string> rel) const;

    std::string root_;
    std::mutex canonical_m_;
    std::optional<std::string> canonical_;  // kept once computed; failures are retried
    std::optional<std::vector<std::string>> excluded_;
};

}  // namespace halvo::fs::filesystem::impl

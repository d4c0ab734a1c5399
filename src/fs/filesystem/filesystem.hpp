#pragma once
// The path-based interface every tree served to a console implements. It is
// synchronous: every tree answers at once, and a mount's serving threads run
// each operation to completion, several at a time.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "platform/fd.hpp"

namespace halvo::fs::filesystem {

// Permission bits of a node that was never given any.
inline constexpr std::uint32_t kFileMode = 0644;
inline constexpr std::uint32_t kDirMode = 0755;
// The longest name any tree takes; longer ones are ENAMETOOLONG.
inline constexpr std::size_t kNameMax = 255;

struct WallTime {
    std::int64_t sec = 0;
    std::uint32_t nsec = 0;

    static WallTime now();
    bool operator==(const WallTime&) const = default;
};

enum class FileType : std::uint8_t { File, Dir, Symlink, Fifo, Socket };

// Which node a name leads to, as its tree tells nodes apart: the names of
// one file (hard links) share it.
struct NodeId {
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    auto operator<=>(const NodeId&) const = default;
};

// The S_IFMT bits of a type.
std::uint32_t type_bits(FileType type);

// Whether this process has the group, as its effective or a supplementary one.
bool in_group(std::uint32_t gid);

// A path relative to a tree's root ("" for the root) with "." dropped and
// ".." folded; ".." above the root is an invalid file name.
IoResult<std::string> normalize(std::string_view path);

struct Stat {
    std::optional<WallTime> modified;
    std::optional<WallTime> accessed;
    std::optional<WallTime> changed;
    std::optional<WallTime> created;
    std::uint64_t size = 0;
    FileType type = FileType::File;
    std::uint32_t mode = kFileMode;  // permission bits (07777)
    // Each absent: this process's own.
    std::optional<std::uint32_t> uid;
    std::optional<std::uint32_t> gid;
    std::uint32_t nlink = 1;
    // As the host allocated them; absent: worked out from the size.
    std::optional<std::uint64_t> blocks;  // 512-byte units
    std::optional<std::uint32_t> blksize;
    std::optional<NodeId> id;

    bool is_dir() const { return type == FileType::Dir; }
    bool operator==(const Stat&) const = default;
};

// What a setattr changes; absent fields stay as they are.
struct SetAttr {
    std::optional<std::uint32_t> mode;  // permission bits
    std::optional<WallTime> accessed;
    std::optional<WallTime> modified;
    std::optional<std::uint32_t> uid;
    std::optional<std::uint32_t> gid;

    bool empty() const { return !mode && !accessed && !modified && !uid && !gid; }
};

// Consumers decide the kind of an entry from `type`, never from `stat`.
struct Dirent {
    std::string name;  // raw bytes: UTF-8 in memory, as the host has it in a host folder
    FileType type = FileType::File;
    std::optional<Stat> stat;

    bool is_dir() const { return type == FileType::Dir; }
    bool operator==(const Dirent&) const = default;
};

// Given the bytes of a read, valid only during the call.
using ReadInto = std::function<void(std::span<const std::uint8_t>)>;

// Paths are relative to the tree's root; a leading "/" means the same.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual IoResult<Stat> stat(std::string_view path) = 0;
    virtual IoResult<std::vector<Dirent>> list(std::string_view path) = 0;
    // Bytes placed at the start of `buf`; 0 at or past the end.
    virtual IoResult<std::size_t> read_at(std::string_view path, std::span<std::uint8_t> buf,
                                          std::uint64_t offset) = 0;
    // Up to `size` bytes from `offset`, handed to `give` once on success
    // (empty at or past the end). By default through read_at into a buffer
    // of the calling thread; a tree holding its bytes hands them over as
    // they lie.
    virtual IoResult<void> read_with(std::string_view path, std::uint64_t offset, std::size_t size,
                                     const ReadInto& give);
    // Fails with already exists when the name exists.
    virtual IoResult<Stat> create(std::string_view path) = 0;
    virtual IoResult<Stat> mkdir(std::string_view path) = 0;
    virtual IoResult<void> unlink(std::string_view path) = 0;
    virtual IoResult<void> rmdir(std::string_view path) = 0;
    // Bytes taken, which may be fewer than given.
    virtual IoResult<std::size_t> write_at(std::string_view path, std::span<const std::uint8_t> data,
                                           std::uint64_t offset) = 0;
    virtual IoResult<void> truncate(std::string_view path, std::uint64_t size) = 0;
    virtual IoResult<void> rename(std::string_view from, std::string_view to) = 0;
    // As rename, but an existing `to` fails with already exists (EEXIST).
    virtual IoResult<void> rename_noreplace(std::string_view from, std::string_view to) = 0;
    // Acts on a link itself, never on what it leads to. A change of owner is
    // refused (EPERM) where a plain folder would refuse it.
    virtual IoResult<void> set_attr(std::string_view path, const SetAttr& attr) = 0;
    // A symbolic link at `path` holding `target` as given; nothing follows it here.
    virtual IoResult<Stat> symlink(std::string_view path, std::string_view target) = 0;
    virtual IoResult<std::string> readlink(std::string_view path) = 0;
    // A second name for the file at `existing`; fails with crosses devices
    // across trees.
    virtual IoResult<Stat> link(std::string_view existing, std::string_view path) = 0;
    // A FIFO or a socket; unsupported unless a tree says otherwise.
    virtual IoResult<Stat> mknod(std::string_view path, FileType type, std::uint32_t mode);
    // A descriptor of the file at `path` opened as `flags` (O_RDONLY, O_WRONLY
    // or O_RDWR), for an open handle's reads, writes and locks; none where the
    // tree holds no host files (the default).
    virtual IoResult<std::optional<platform::Fd>> open_fd(std::string_view path, int flags);
    // The root of the tree that holds `path`: names can move only within it.
    virtual std::string tree_root(std::string_view path);
    // Whether every change to the file at `path` comes through this tree,
    // so what was read of it stays true from one open to the next.
    virtual bool sole_writer(std::string_view path);
    // Both succeed without looking at the path unless a tree says otherwise.
    virtual IoResult<void> flush(std::string_view path);
    virtual IoResult<void> forget(std::string_view path);
};

}  // namespace halvo::fs::filesystem

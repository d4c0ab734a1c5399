#pragma once
// A tree of directories and files held wholly in memory; the root tree of
// every Directory. Each node sits behind its own mutex and operations take
// one node lock at a time, nesting only parent then child.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "fs/filesystem/filesystem.hpp"

namespace halvo::fs::filesystem::impl {

// Exactly this much is allowed; one byte more is file too large.
inline constexpr std::uint64_t kMaxFile = std::uint64_t{1} << 30;

struct Node;
using NodeRef = std::shared_ptr<Node>;

// A file's bytes in one block that grows in place where the allocator can
// (large blocks move by remapping, not copying), so appending neither copies
// the file again nor zeroes what it then overwrites.
class Bytes {
public:
    Bytes() = default;
    Bytes(Bytes&& o) noexcept;
    Bytes& operator=(Bytes&& o) noexcept;
    ~Bytes();

    // A copy of `content`; none when memory runs out.
    static std::optional<Bytes> of(std::string_view content);

    std::size_t size() const { return size_; }
    const std::uint8_t* data() const { return p_; }
    std::span<const std::uint8_t> view() const { return {p_, size_}; }
    // Each false when memory runs out, with nothing changed.
    bool write(std::uint64_t offset, std::span<const std::uint8_t> data);
    // Growth reads as zeros.
    bool resize(std::uint64_t size);

private:
    bool reserve(std::uint64_t size);

    std::uint8_t* p_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

// Looks names up by view, so walking a path copies none of them.
struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
};

struct Node {
    struct Dir {
        std::unordered_map<std::string, NodeRef, NameHash, std::equal_to<>> entries;
    };
    struct File {
        Bytes data;
    };
    struct Link {
        std::string target;
    };
    // A FIFO or socket: the kernel carries its data, the tree only its name.
    struct Special {
        FileType type;
    };

    // The fields below are guarded by `m`.
    std::mutex m;
    std::variant<Dir, File, Link, Special> body;
    std::uint32_t mode = kFileMode;
    std::uint32_t uid = 0;  // this process's when made
    std::uint32_t gid = 0;
    std::uint32_t nlink = 1;  // names a file or link has
    std::uint64_t serial = 0;  // this node's own, never given to another
    WallTime modified;
    WallTime accessed;
    WallTime changed;
    WallTime created;

    static NodeRef new_dir();
    static NodeRef new_file(Bytes data = {});
    static NodeRef new_link(std::string target);
    static NodeRef new_special(FileType type, std::uint32_t mode);

    bool is_dir() const { return body.index() == 0; }
    bool is_link() const { return body.index() == 2; }
    Dir& dir() { return std::get<Dir>(body); }
    File& file() { return std::get<File>(body); }
    // Content changed: modification and change time are now.
    void touch();
    // Refused with EPERM where a plain folder refuses it: a caller other than
    // root changing a node it does not own, or giving it away.
    IoResult<void> apply(const SetAttr& attr);
    Stat stat() const;
};

namespace inmem {
// ".." and names that are not UTF-8 are invalid file names, names longer
// than kNameMax are ENAMETOOLONG; "" and "/" are the root (no names). The
// names are views into `path`.
IoResult<std::vector<std::string_view>> components(std::string_view path);
}  // namespace inmem

class InMemFs : public FileSystem {
public:
    InMemFs();

    IoResult<Stat> stat(std::string_view path) override;
    IoResult<std::vector<Dirent>> list(std::string_view path) override;
    IoResult<std::size_t> read_at(std::string_view path, std::span<std::uint8_t> buf,
                                  std::uint64_t offset) override;
    // Hands over the file's own bytes, under its lock.
    IoResult<void> read_with(std::string_view path, std::uint64_t offset, std::size_t size,
                             const ReadInto& give) override;
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
    // Nothing but this tree's operations reaches its nodes.
    bool sole_writer(std::string_view) override { return true; }

    IoResult<NodeRef> navigate(NodeRef node, std::span<const std::string_view> names);
    // The parent may be a file; callers check.
    IoResult<std::pair<NodeRef, std::string>> parent_of(std::string_view path);
    // A directory is a directory, a link ELOOP (links are never followed
    // here), a FIFO or socket EINVAL.
    IoResult<NodeRef> file_at(std::string_view path);
    // Given the node under its lock once its name is known to be free; a
    // failure leaves the tree unchanged.
    using Adopt = std::function<IoResult<void>(Node&)>;
    IoResult<Stat> insert(std::string_view path, NodeRef node, const Adopt& adopt = {});
    IoResult<void> remove(std::string_view path, bool want_dir);
    IoResult<void> remove_file(std::string_view path);
    // The directory at `names`, made with any missing ancestors.
    IoResult<NodeRef> dir_all(std::span<const std::string_view> names);
    IoResult<void> mkdir_all(std::string_view path);
    IoResult<bool> contains(std::string_view path);

private:
    IoResult<void> move(std::string_view from, std::string_view to, bool replace);

    NodeRef root_;
};

}  // namespace halvo::fs::filesystem::impl

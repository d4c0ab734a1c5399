#pragma once
// The path-based interface every tree served to a console implements. It is
// synchronous: every tree answers at once, and the mount's one serving thread
// runs each operation to completion.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace halvo::fs::filesystem {

struct WallTime {
    std::int64_t sec = 0;
    std::uint32_t nsec = 0;

    static WallTime now();
    bool operator==(const WallTime&) const = default;
};

struct Stat {
    std::optional<WallTime> modified;
    std::optional<WallTime> accessed;
    std::optional<WallTime> changed;
    std::optional<WallTime> created;
    std::uint64_t size = 0;
    bool is_dir = false;

    bool operator==(const Stat&) const = default;
};

// Consumers decide file or directory from `is_dir`, never from `stat`.
struct Dirent {
    std::string name;  // valid UTF-8
    bool is_dir = false;
    std::optional<Stat> stat;

    bool operator==(const Dirent&) const = default;
};

// Paths are relative to the tree's root; a leading "/" means the same.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual IoResult<Stat> stat(std::string_view path) = 0;
    virtual IoResult<std::vector<Dirent>> list(std::string_view path) = 0;
    // Bytes placed at the start of `buf`; 0 at or past the end.
    virtual IoResult<std::size_t> read_at(std::string_view path, std::span<std::uint8_t> buf,
                                          std::uint64_t offset) = 0;
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
    // Both succeed without looking at the path unless a tree says otherwise.
    virtual IoResult<void> flush(std::string_view path);
    virtual IoResult<void> forget(std::string_view path);
};

}  // namespace halvo::fs::filesystem

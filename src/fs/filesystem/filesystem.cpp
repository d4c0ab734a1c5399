#include "fs/filesystem/filesystem.hpp"

#include <algorithm>
#include <ctime>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "base/pathx.hpp"

namespace halvo::fs::filesystem {

WallTime WallTime::now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return {static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}

std::uint32_t type_bits(FileType type) {
    switch (type) {
        case FileType::Dir: return S_IFDIR;
        case FileType::Symlink: return S_IFLNK;
        case FileType::Fifo: return S_IFIFO;
        case FileType::Socket: return S_IFSOCK;
        case FileType::File: break;
    }
    return S_IFREG;
}

bool in_group(std::uint32_t gid) {
    if (gid == ::getegid()) return true;
    // As many as this process has: NGROUPS_MAX of them would be 256 KiB of
    // a serving thread's stack.
    thread_local std::vector<gid_t> groups;
    int n = ::getgroups(0, nullptr);
    if (n <= 0) return false;
    groups.resize(static_cast<std::size_t>(n));
    n = ::getgroups(n, groups.data());
    return n > 0 && std::find(groups.begin(), groups.begin() + n, static_cast<gid_t>(gid)) != groups.begin() + n;
}

IoResult<std::string> normalize(std::string_view path) {
    std::vector<std::string_view> out;
    for (auto c : pathx::components(path)) {
        if (c != "..") {
            out.push_back(c);
        } else if (out.empty()) {
            return fail(IoError(ErrorKind::InvalidFilename));
        } else {
            out.pop_back();
        }
    }
    std::string p;
    for (auto c : out) {
        if (!p.empty()) p += '/';
        p += c;
    }
    return p;
}

IoResult<void> FileSystem::read_with(std::string_view path, std::uint64_t offset, std::size_t size,
                                     const ReadInto& give) {
    thread_local std::vector<std::uint8_t> buf;
    if (buf.size() < size) buf.resize(size);
    HALVO_TRY(std::size_t n, read_at(path, {buf.data(), size}, offset));
    give({buf.data(), std::min(n, size)});
    return {};
}

IoResult<Stat> FileSystem::mknod(std::string_view, FileType, std::uint32_t) {
    return fail(IoError(ErrorKind::Unsupported));
}

IoResult<std::optional<platform::Fd>> FileSystem::open_fd(std::string_view, int) {
    return std::optional<platform::Fd>{};
}

IoResult<void> FileSystem::flush(std::string_view) { return {}; }
IoResult<void> FileSystem::forget(std::string_view) { return {}; }
std::string FileSystem::tree_root(std::string_view) { return ""; }
bool FileSystem::sole_writer(std::string_view) { return false; }

}  // namespace halvo::fs::filesystem

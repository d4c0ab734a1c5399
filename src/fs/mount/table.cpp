#include "fs/mount/table.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <span>

#include "pathx.hpp"
#include "platform/fuse_shim.hpp"
#include "platform/process.hpp"

namespace halvo::fs::mount::table {

namespace {

constexpr std::chrono::milliseconds kCommandPoll{50};

std::string join_names(std::span<const std::string_view> names, bool absolute) {
    std::string out;
    for (auto n : names) {
        if (!out.empty() || absolute) out += '/';
        out.append(n);
    }
    return absolute && out.empty() ? "/" : out;
}

}  // namespace

std::string absolute(std::string_view path) {
    if (pathx::is_absolute(path)) return pathx::key(path);
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return std::string(path);
    return pathx::key(pathx::join(cwd, path));
}

std::string resolved(std::string_view path) {
    auto names = pathx::components(path);
    if (names.empty() || names.back() == "..") return std::string(path);
    std::string parent = join_names(std::span(names).first(names.size() - 1), pathx::is_absolute(path));
    if (parent.empty()) return std::string(path);
    char real[PATH_MAX];
    if (!::realpath(parent.c_str(), real)) return std::string(path);
    return pathx::join(real, names.back());
}

std::vector<std::string> mounts_under(std::string_view path) {
    std::string r = resolved(path);
    // A relative path never matches the table's absolute mount points.
    if (!pathx::is_absolute(r)) return {};
    std::string key = pathx::key(r);
    std::vector<std::string> out;
    for (auto& e : platform::mount_table())
        if (pathx::at_or_under(pathx::key(e.mount_point), key)) out.push_back(std::move(e.mount_point));
    return out;
}

std::vector<std::string> own_mounts_at(std::string_view path) {
    std::string r = resolved(path);
    if (!pathx::is_absolute(r)) return {};
    std::string key = pathx::key(r);
    if (key == "/") return {};
    std::vector<std::string> out;
    for (auto& e : platform::mount_table())
        if (platform::is_fuse_mount_named(e, kFsName) && pathx::key(e.mount_point) == key)
            out.push_back(std::move(e.mount_point));
    return out;
}

bool unmount_under(std::string_view path, std::chrono::milliseconds command_limit) {
    std::string r = resolved(path);
    for (const auto& m : own_mounts_at(r)) {
        for (auto& rung : platform::unmount_ladder(m)) {
            std::string program = std::move(rung.front());
            rung.erase(rung.begin());
            // Its exit status tells nothing: only the table afterwards does.
            (void)platform::run_command(std::move(program), std::move(rung), command_limit, kCommandPoll);
            if (own_mounts_at(m).empty()) break;
        }
    }
    return own_mounts_at(r).empty();
}

}  // namespace halvo::fs::mount::table

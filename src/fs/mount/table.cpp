#include "fs/mount/table.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <optional>
#include <set>
#include <span>

#include "base/pathx.hpp"
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

// The key of a path we may act on: absolute and not the root.
std::optional<std::string> actionable(std::string_view path) {
    std::string r = resolved(path);
    if (!pathx::is_absolute(r)) return std::nullopt;
    std::string key = pathx::key(r);
    if (key == "/") return std::nullopt;
    return key;
}

bool ours(const platform::MountEntry& e, dev_t dev) {
    return platform::is_fuse_mount_named(e, kFsName) && (dev == 0 || e.dev == dev);
}

struct Standing {
    Place place = Place::Gone;
    std::string point;  // as the table has it
    dev_t dev = 0;      // of our topmost mount
};

Standing standing(const std::string& key, dev_t dev) {
    std::vector<platform::MountEntry> here;
    for (auto& e : platform::mount_table())
        if (pathx::key(e.mount_point) == key) here.push_back(std::move(e));
    Standing s;
    std::set<int> below;
    for (const auto& e : here) {
        below.insert(e.parent);
        if (ours(e, dev)) s.place = Place::Covered;
    }
    // The topmost mount is the one nothing at the same point is mounted on.
    for (const auto& e : here)
        if (!below.contains(e.id) && ours(e, dev)) s = {Place::OnTop, e.mount_point, e.dev};
    return s;
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

std::string canonical(std::string_view path) {
    char real[PATH_MAX];
    if (!::realpath(std::string(path).c_str(), real)) return resolved(path);
    return real;
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
    auto key = actionable(path);
    if (!key) return {};
    std::vector<std::string> out;
    for (auto& e : platform::mount_table())
        if (ours(e, 0) && pathx::key(e.mount_point) == *key) out.push_back(std::move(e.mount_point));
    return out;
}

Place place_of(std::string_view path, dev_t dev) {
    auto key = actionable(path);
    if (!key) return Place::Gone;
    return standing(*key, dev).place;
}

Place take_down(std::string_view path, dev_t dev, bool abort_first, std::chrono::milliseconds command_limit) {
    auto key = actionable(path);
    if (!key) return Place::Gone;
    Standing s = standing(*key, dev);
    if (s.place != Place::OnTop) return s.place;
    if (abort_first) (void)platform::abort_connection(s.dev, s.point);
    for (auto& rung : platform::unmount_ladder(s.point)) {
        // Checked before every rung: something may have been stacked on top.
        if (standing(*key, s.dev).place != Place::OnTop) break;
        std::string program = std::move(rung.front());
        rung.erase(rung.begin());
        // Its exit status tells nothing: only the table afterwards does.
        (void)platform::run_command(std::move(program), std::move(rung), command_limit, kCommandPoll);
    }
    return standing(*key, s.dev).place;
}

bool unmount_under(std::string_view path, std::chrono::milliseconds command_limit) {
    auto key = actionable(path);
    if (!key) return true;
    // Several of ours may be stacked there; each comes off in turn.
    for (;;) {
        Standing s = standing(*key, 0);
        if (s.place != Place::OnTop) return s.place == Place::Gone;
        if (take_down(path, s.dev, false, command_limit) != Place::Gone) return false;
    }
}

}  // namespace halvo::fs::mount::table

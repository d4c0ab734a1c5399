#include "fs/mount/mount.hpp"

#include <filesystem>

#include "base/pathx.hpp"
#include "base/utf8.hpp"

namespace halvo::fs::mount {

std::optional<std::string> Mount::url() const {
    std::string mp = mountpoint();
    if (!pathx::is_absolute(mp) || !utf8::valid(mp)) return std::nullopt;
    return "file://" + mp;
}

std::string Mount::host_path(std::string_view rel) const {
    return (std::filesystem::path(mountpoint()) / std::filesystem::path(rel)).string();
}

}  // namespace halvo::fs::mount

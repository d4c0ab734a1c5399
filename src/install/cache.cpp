#include "install/cache.hpp"

#include <cstdlib>

#include "base/pathx.hpp"

namespace halvo::inline install {

std::string join_path(std::string base, std::string_view name) {
    return base.empty() ? std::string(name) : pathx::join(base, name);
}

std::string bin_folder(std::string root) { return join_path(std::move(root), "bin"); }

std::string server_program(std::string root) { return join_path(bin_folder(std::move(root)), kServerProgram); }

std::optional<std::string> cache_root() {
    if (const char* home = std::getenv("HALVO_HOME")) return std::string(home);
    const char* home = std::getenv("HOME");
    if (!home) return std::nullopt;
    return join_path(join_path(join_path(home, "Library"), "Caches"), "halvo");
}

}  // namespace halvo::install

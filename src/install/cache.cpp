#include "install/cache.hpp"

#include "base/pathx.hpp"

namespace halvo::inline install {

std::string join_path(std::string base, std::string_view name) {
    return base.empty() ? std::string(name) : pathx::join(base, name);
}

std::string bin_folder(std::string root) { return join_path(std::move(root), "bin"); }

std::string server_program(std::string root) { return join_path(bin_folder(std::move(root)), kServerProgram); }

std::optional<std::string> cache_root(const platform::Env& env) {
    if (auto home = env.get("HALVO_HOME")) return std::string(*home);
    auto home = env.get("HOME");
    if (!home) return std::nullopt;
    return join_path(join_path(join_path(std::string(*home), "Library"), "Caches"), "halvo");
}

std::optional<std::string> cache_root() { return cache_root(platform::environ_snapshot()); }

}  // namespace halvo::install

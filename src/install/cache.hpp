#pragma once
// The per-user cache folder that holds the server program in its `bin`.
#include <optional>
#include <string>
#include <string_view>

#include "platform/process.hpp"

namespace halvo::inline install {

inline constexpr std::string_view kNoCacheRoot = "no cache folder: neither HALVO_HOME nor HOME is set";

// What a failure to start the default server program says after its path
// when the program is not there.
inline constexpr std::string_view kInstallHint = "`await halvo.ensure_halvo()` installs it";

// From HALVO_HOME, else HOME, of `env`. None when both are unset.
std::optional<std::string> cache_root(const platform::Env& env);
// The same, of this process's environment as it is now. Call it on the
// caller's thread, never a runtime thread: reading the environment races
// with os.environ writes.
std::optional<std::string> cache_root();

// Appends one component, adding "/" unless `base` is empty or ends in one.
std::string join_path(std::string base, std::string_view name);

// The folder below a cache root that holds the server program, and the
// server program itself: bin and bin/halvo-uvm.
inline constexpr std::string_view kServerProgram = "halvo-uvm";
std::string bin_folder(std::string root);
std::string server_program(std::string root);

}  // namespace halvo::install

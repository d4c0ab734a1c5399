#pragma once
// The per-user cache folder that holds the server program in its `bin`.
#include <optional>
#include <string>
#include <string_view>

namespace halvo::inline install {

inline constexpr std::string_view kNoCacheRoot = "no cache folder: neither HALVO_HOME nor HOME is set";

// Read afresh on every call, on the caller's thread (never a runtime
// thread: getenv races with os.environ writes). None when both HALVO_HOME
// and HOME are unset.
std::optional<std::string> cache_root();

// Appends one component, adding "/" unless `base` is empty or ends in one.
std::string join_path(std::string base, std::string_view name);

// The folder below a cache root that holds the server program, and the
// server program itself: bin and bin/halvo-uvm.
inline constexpr std::string_view kServerProgram = "halvo-uvm";
std::string bin_folder(std::string root);
std::string server_program(std::string root);

}  // namespace halvo::install

#pragma once
// The host's table of mounted file systems, and taking our mounts down. Only
// FUSE mounts named "halvo" at exactly the given point are ever unmounted:
// a record or mount point of "/" must never reach every mount of the host.
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace halvo::fs::mount::table {

inline constexpr std::string_view kFsName = "halvo";
// How long one unmount command may run before it is killed.
inline constexpr std::chrono::milliseconds kCommandLimit{3000};

// The path made absolute against the working directory, lexically:
// repeated "/" and "." dropped, ".." kept.
std::string absolute(std::string_view path);
// The path with its parent made canonical; the last name is kept as it is
// (a mount usually covers it). As given when there is no parent or name, or
// the parent cannot be resolved.
std::string resolved(std::string_view path);
// Every mount point at or below the resolved path, in table order; /a/bc is
// not below /a.
std::vector<std::string> mounts_under(std::string_view path);
// Our own mounts at exactly the resolved path (none for "/" or a relative one).
std::vector<std::string> own_mounts_at(std::string_view path);
// Tries "umount", then a lazy detach, on each of our own mounts at the
// resolved path; true when none of them is left.
bool unmount_under(std::string_view path, std::chrono::milliseconds command_limit = kCommandLimit);

}  // namespace halvo::fs::mount::table

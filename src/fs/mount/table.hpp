#pragma once
// The host's table of mounted file systems, and taking our mounts down. Only
// a FUSE mount named "halvo" at exactly the given point, and only while it is
// the topmost mount there, is ever unmounted: a record or mount point of "/"
// must never reach every mount of the host, and an unmount must never take
// down whatever was stacked on top of ours.
#include <sys/types.h>

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
// Every link resolved, the last component's too: where a mount made on the
// path really lands. `resolved` when the path cannot be resolved whole.
std::string canonical(std::string_view path);
// Every mount point at or below the resolved path, in table order; /a/bc is
// not below /a.
std::vector<std::string> mounts_under(std::string_view path);
// Our own mounts at exactly the resolved path (none for "/" or a relative
// one).
std::vector<std::string> own_mounts_at(std::string_view path);

// Where our mount (of device `dev`; 0: any of ours) at the resolved path
// stands: gone, the topmost mount there, or covered by another.
enum class Place { Gone, OnTop, Covered };
Place place_of(std::string_view path, dev_t dev = 0);

// Takes our mount at the resolved path down, and answers where it stands
// afterwards. A covered mount is left alone. With `abort_first`, its
// connection is aborted before the unmount commands, so that nothing holding
// it (a process that stopped answering, a forked copy of its descriptor)
// can make them wait; then "umount", then a lazy detach.
Place take_down(std::string_view path, dev_t dev, bool abort_first,
                std::chrono::milliseconds command_limit = kCommandLimit);
// take_down of any of ours there, without aborting; true when it is gone.
bool unmount_under(std::string_view path, std::chrono::milliseconds command_limit = kCommandLimit);

}  // namespace halvo::fs::mount::table

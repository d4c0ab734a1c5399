#pragma once
// Everything that speaks to the host's FUSE and its mount services: the
// libfuse 2 library loaded at run time, a session per mount served by our
// own loop, the request handlers that turn a FUSE request into one call of a
// callbacks record, the mount table, the unmount commands and the texts that
// tell the user what to install.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvo::platform {

// ---- the library ----

// Load status: 0 not installed (or a function missing), 1 usable, 2 API
// outside 26..29, 3 wrong major release, 4 release too old. The first query
// loads the library, once per process.
int halvo_fuse_t_status();
int halvo_fuse_t_api();
// From the library's real file name; "" when unknown.
const char* halvo_fuse_t_release();
// The oldest release accepted and the newest checked; these never load.
const char* halvo_fuse_t_min();
const char* halvo_fuse_t_checked();

// Dot-separated parts compared as numbers: <0 when `a` is older than `b`.
// "2.9" < "2.9.9"; "2.9.9-beta" equals "2.9.9".
int compare_release(const char* a, const char* b);

// ---- the session ----

struct FuseTTime {
    std::int64_t sec = 0;
    std::int64_t nsec = 0;
};

struct FuseTAttr {
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::uint64_t blocks = 0;
    std::uint32_t mode = 0;
    std::uint32_t nlink = 0;
    std::uint32_t blksize = 0;
    FuseTTime mtime, atime, ctime;
};

// One readdir reply being filled.
struct DirentSink;
// 1 when the entry does not fit (nothing added), 0 when added.
int emit_dirent(DirentSink* sink, std::uint64_t inode, const char* name, std::uint32_t mode,
                std::int64_t next_offset);
using EmitDirent = decltype(&emit_dirent);

// Results are 0 or a negated errno unless said otherwise; the first argument
// is the user data given to halvo_fuse_t_mount.
struct FuseTCallbacks {
    int (*lookup)(void*, std::uint64_t parent, const char* name, std::uint64_t* inode, FuseTAttr* attr);
    int (*getattr)(void*, std::uint64_t inode, FuseTAttr* attr);
    int (*setattr)(void*, std::uint64_t inode, std::uint64_t handle, int has_handle, std::uint64_t size,
                   int has_size, FuseTAttr* attr);
    int (*open)(void*, std::uint64_t inode, int flags, std::uint64_t* handle);
    int (*create)(void*, std::uint64_t parent, const char* name, int flags, std::uint64_t* inode,
                  std::uint64_t* handle, FuseTAttr* attr);
    // Bytes placed in the buffer, or a negated errno.
    std::int64_t (*read)(void*, std::uint64_t handle, std::uint64_t offset, std::uint32_t size,
                         std::uint8_t* buf);
    // Bytes written, or a negated errno.
    std::int64_t (*write)(void*, std::uint64_t handle, std::uint64_t offset, std::uint64_t size,
                          const std::uint8_t* data);
    int (*flush)(void*, std::uint64_t handle);
    int (*release)(void*, std::uint64_t handle);
    int (*mkdir)(void*, std::uint64_t parent, const char* name, std::uint64_t* inode, FuseTAttr* attr);
    int (*unlink)(void*, std::uint64_t parent, const char* name);
    int (*rmdir)(void*, std::uint64_t parent, const char* name);
    int (*rename)(void*, std::uint64_t parent, const char* name, std::uint64_t new_parent,
                  const char* new_name);
    int (*readdir)(void*, std::uint64_t inode, std::uint64_t offset, DirentSink* sink, EmitDirent emit);
    void (*forget)(void*, std::uint64_t inode, std::uint64_t count);
    std::uint64_t blocks;
    std::uint64_t files;
    std::uint32_t block_size;
    std::uint32_t name_max;
};

struct FuseTHandle;

// Mounts with the options "fsname=<fsname>,big_writes" and makes the session;
// null on any failure, with everything undone. Only after status 1. The
// callbacks are copied; `user_data` must outlive the handle.
FuseTHandle* halvo_fuse_t_mount(const char* mountpoint, const char* fsname, void* user_data,
                                const FuseTCallbacks* callbacks);
// Serves requests on the calling thread until the session ends or is stopped.
int halvo_fuse_t_loop(FuseTHandle* handle);
// Ends the loop, also while still mounted; a second call does nothing.
void halvo_fuse_t_stop(FuseTHandle* handle);
// Stops if needed and frees the session. It never unmounts.
void halvo_fuse_t_destroy(FuseTHandle* handle);

// Names the calling thread (at most 15 bytes are kept).
void name_this_thread(const char* name);

// ---- the support check ----

// None when mounting can work here, else what to install or fix.
std::optional<std::string> fuse_support_problem();
// How messages name the host's FUSE ("FUSE could not mount ...").
inline constexpr std::string_view kFuseName = "FUSE";

// ---- mount table and unmount commands ----

struct MountEntry {
    std::string mount_point;  // escapes decoded
    std::string fstype;
    std::string source;
};

// The host's mounts in table order; an unreadable table is empty.
std::vector<MountEntry> mount_table();
std::vector<MountEntry> parse_mountinfo(std::string_view text);
// A FUSE mount that this library made under the name `fsname`.
bool is_fuse_mount_named(const MountEntry& entry, std::string_view fsname);

// The commands to try in turn to take `mount_point` down: a plain unmount,
// then a lazy detach (open files keep working until their last close).
std::vector<std::vector<std::string>> unmount_ladder(const std::string& mount_point);

// The user's temporary folder: TMPDIR, else XDG_RUNTIME_DIR, else /tmp.
std::string user_tmp_dir();

}  // namespace halvo::platform

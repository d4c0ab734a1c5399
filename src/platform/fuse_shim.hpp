#pragma once
// Everything that speaks to the host's FUSE and its mount services: the
// libfuse 2 library loaded at run time, a session per mount served by our
// own loop on several threads, the request handlers that turn a FUSE request
// into one call of a callbacks record, the mount table, aborting a
// connection, the unmount commands, the watchdog's script and the texts
// that tell the user what to install.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hostfs.hpp"

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
    std::uint32_t mode = 0;  // type and permission bits
    std::uint32_t nlink = 0;
    std::uint32_t blksize = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    FuseTTime mtime, atime, ctime;
    // Seconds the kernel may trust these attributes and the entry naming
    // them. A lookup answering ENOENT sets it too: how long the kernel may
    // take the name as missing (0: not at all).
    double timeout = 1.0;
};

// What a setattr asks for; "now" times are filled in by the shim.
struct FuseTSetAttr {
    bool has_uid = false;
    std::uint32_t uid = 0;
    bool has_gid = false;
    std::uint32_t gid = 0;
    bool has_size = false;
    std::uint64_t size = 0;
    bool has_mode = false;
    std::uint32_t mode = 0;  // permission bits
    bool has_atime = false;
    FuseTTime atime;
    bool has_mtime = false;
    FuseTTime mtime;
};

// One read request being answered: the callback hands over the bytes once,
// and they are sent before it returns, so they need to live only that long.
struct ReadSink;
void send_read(ReadSink* sink, const std::uint8_t* data, std::size_t size);
using SendRead = decltype(&send_read);

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
    int (*setattr)(void*, std::uint64_t inode, const FuseTSetAttr* set, FuseTAttr* attr);
    // `keep_cache`: set to 1 when what the kernel cached of the file stays
    // true (nothing changes it but this mount).
    int (*open)(void*, std::uint64_t inode, int flags, std::uint64_t* handle, int* keep_cache);
    // `mode`: the permission bits asked for, the caller's umask applied.
    int (*create)(void*, std::uint64_t parent, const char* name, int flags, std::uint32_t mode,
                  std::uint64_t* inode, std::uint64_t* handle, int* keep_cache, FuseTAttr* attr);
    // 0 once the bytes (at most size) went to `send`, or a negated errno.
    int (*read)(void*, std::uint64_t handle, std::uint64_t offset, std::uint32_t size, ReadSink* sink,
                SendRead send);
    // Bytes written, or a negated errno.
    std::int64_t (*write)(void*, std::uint64_t handle, std::uint64_t offset, std::uint64_t size,
                          const std::uint8_t* data);
    int (*flush)(void*, std::uint64_t handle);
    int (*release)(void*, std::uint64_t handle);
    int (*mkdir)(void*, std::uint64_t parent, const char* name, std::uint32_t mode, std::uint64_t* inode,
                 FuseTAttr* attr);
    int (*unlink)(void*, std::uint64_t parent, const char* name);
    int (*rmdir)(void*, std::uint64_t parent, const char* name);
    int (*rename)(void*, std::uint64_t parent, const char* name, std::uint64_t new_parent,
                  const char* new_name);
    // 0 when the caller may access the node as `mask` (access(2)'s) asks.
    int (*access)(void*, std::uint64_t inode, int mask);
    // The kernel caches every listing; `keep_listing`: set to 1 when it may
    // keep the one it holds from an earlier open.
    int (*opendir)(void*, std::uint64_t inode, std::uint64_t* dir_handle, int* keep_listing);
    int (*readdir)(void*, std::uint64_t dir_handle, std::uint64_t offset, DirentSink* sink, EmitDirent emit);
    void (*releasedir)(void*, std::uint64_t dir_handle);
    void (*forget)(void*, std::uint64_t inode, std::uint64_t count);
    int (*symlink)(void*, std::uint64_t parent, const char* name, const char* target, std::uint64_t* inode,
                   FuseTAttr* attr);
    // The target's length (at most size - 1 bytes, NUL-terminated), or a negated errno.
    int (*readlink)(void*, std::uint64_t inode, char* buf, std::size_t size);
    int (*link)(void*, std::uint64_t inode, std::uint64_t new_parent, const char* new_name, std::uint64_t* out_inode,
                FuseTAttr* attr);
    // `mode`: type and permission bits, the caller's umask applied.
    int (*mknod)(void*, std::uint64_t parent, const char* name, std::uint32_t mode, std::uint64_t* inode,
                 FuseTAttr* attr);
    // Locks never wait here: -EAGAIN when held elsewhere, and the shim waits.
    int (*getlk)(void*, std::uint64_t handle, std::uint64_t owner, RangeLock* lock);
    int (*setlk)(void*, std::uint64_t handle, std::uint64_t owner, const RangeLock* lock);
    // LOCK_SH, LOCK_EX or LOCK_UN.
    int (*flock)(void*, std::uint64_t handle, int op);
    // The owner closed a descriptor of the handle's file.
    void (*release_locks)(void*, std::uint64_t handle, std::uint64_t owner);
    std::uint64_t blocks;
    std::uint64_t files;
    std::uint32_t block_size;
    std::uint32_t name_max;
};

struct FuseTHandle;

// Mounts under the name `fsname` and makes the session; null on any failure, with
// everything undone and nothing written to standard error. As root the
// mount is made here with /dev/fuse opened close-on-exec; otherwise through
// libfuse's helper. Only after status 1. The callbacks are copied;
// `user_data` must outlive the handle.
FuseTHandle* halvo_fuse_t_mount(const char* mountpoint, const char* fsname, void* user_data,
                                const FuseTCallbacks* callbacks);
// Serves requests on the calling thread until the session ends, is stopped
// or its connection goes. Several threads may serve one handle at once.
int halvo_fuse_t_loop(FuseTHandle* handle);
// Ends the loop, also while still mounted; a second call does nothing.
void halvo_fuse_t_stop(FuseTHandle* handle);
// Stops if needed and frees the session. It never unmounts.
void halvo_fuse_t_destroy(FuseTHandle* handle);

// Whether the library can tell the kernel of changes it did not see
// (libfuse 2.8's notify call); without it nothing may be cached long.
bool halvo_fuse_t_can_notify();
// The kernel drops the attributes it cached of `inode` (not its data). It
// takes no lock a request may hold, so a thread serving the mount may send
// it, also inside a request. 0, or a negated errno (-ENOENT when the kernel
// holds nothing of it).
int halvo_fuse_t_inval_inode(FuseTHandle* handle, std::uint64_t inode);

// Names the calling thread (at most 15 bytes are kept).
void name_this_thread(const char* name);

// ---- the support check ----

// None when mounting can work here, else what to install or fix.
std::optional<std::string> fuse_support_problem();
// How messages name the host's FUSE ("FUSE could not mount ...").
inline constexpr std::string_view kFuseName = "FUSE";

// ---- mount table and unmount commands ----

struct MountEntry {
    int id = 0;
    int parent = 0;
    dev_t dev = 0;            // the mounted file system's device
    std::string mount_point;  // escapes decoded
    std::string fstype;
    std::string source;
};

// A device as the mount table writes it, "major:minor", and back.
std::string device_text(dev_t dev);
std::optional<dev_t> parse_device(std::string_view text);

// The host's mounts in table order; an unreadable table is empty.
std::vector<MountEntry> mount_table();
std::vector<MountEntry> parse_mountinfo(std::string_view text);
// A FUSE mount that this library made under the name `fsname`.
bool is_fuse_mount_named(const MountEntry& entry, std::string_view fsname);

// The commands to try in turn to take `mount_point` down: a plain unmount,
// then a lazy detach. None of them looks at the mount point first, so none
// hangs on a file system that no longer answers.
std::vector<std::vector<std::string>> unmount_ladder(const std::string& mount_point);

// Ends the FUSE connection of the mount of device `dev` at `mount_point`,
// which must be the topmost mount there: every request waiting on it, and
// every later one, fails at once with ENOTCONN, so nothing can hang on it.
// Through the fuse control file system when it is mounted, else by a forced
// unmount (which also takes the mount down when nothing holds it). Needs
// root; false when no way worked.
bool abort_connection(dev_t dev, const std::string& mount_point);

// The watchdog, run as `/bin/sh -c SCRIPT halvo-mount-watchdog` with the
// owner's pid in HALVO_MOUNT_OWNER and the registry in HALVO_MOUNT_REGISTRY.
// It waits for its input to end (the owner holds the only write end) or for
// the owner to be stuck in its own exit, then takes down each mount the
// owner recorded: only when the topmost mount at the point is that very
// mount, its connection aborted first. A record holds the mount point and,
// once mounted, a line with the mount's "major:minor".
extern const std::string_view kWatchdogScript;

// The user's temporary folder: TMPDIR, else XDG_RUNTIME_DIR, else /tmp.
std::string user_tmp_dir();

}  // namespace halvo::platform

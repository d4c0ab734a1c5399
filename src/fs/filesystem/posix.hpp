#pragma once
// FUSE names files by inode numbers and open files by handles; the trees name
// everything by path. The tables join the two, and `Posix` answers the inode
// and handle operations over a path-based FileSystem.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fs/filesystem/filesystem.hpp"
#include "base/pathx.hpp"
#include "platform/fd.hpp"
#include "platform/hostfs.hpp"

namespace halvo::fs::filesystem {

inline constexpr std::uint64_t kRootInode = 1;
// Numbers handed out by listings alone that may stay alive at once.
inline constexpr std::size_t kListedInodes = 65536;
// Names beginning with this are files unlinked while open; listings skip them.
// The rest of such a name is "<inode>-<pid>-<mount token>", so no two
// mounts, in this process or another, ever pick the same one.
inline constexpr std::string_view kHiddenPrefix = ".halvo-unlinked-";

// How long the kernel may trust what we tell it, in seconds: for paths in
// a host folder, which may change beside the mount, and for what only this
// mount changes, when the kernel can be told of every change it does not
// make itself.
inline constexpr double kChangingTimeout = 1.0;
inline constexpr double kLastingTimeout = 24 * 3600.0;

struct InodeData {
    std::string path;  // "" once the path names another file (see `detach`)
    std::uint64_t lookups = 0;
    // For a file of several names (hard links): which node it is, and its
    // names known here besides `path`, one of which takes over when `path` goes.
    std::optional<NodeId> id;
    std::vector<std::string> aliases;
    // Whether only this mount changes it (see FileSystem::sole_writer); none
    // until first asked. A node never moves between trees.
    std::optional<bool> sole;
};

// Paths are keyed by components: "/a/." is "/a", "/a/.." is its own key.
// Numbers come only from `next` and are never handed out twice. Path entries
// are kept in component order, so a subtree is one range: renaming or
// removing a directory touches only what lies under it.
class InodeTable {
public:
    InodeTable();

    // The number for the path, taking one lookup reference. `id`, given for
    // a file of several names, gives every name of one file one number.
    std::uint64_t intern(std::string_view path, std::optional<NodeId> id = std::nullopt);
    // `path` is a new name of the file `number` (a hard link); takes one
    // lookup reference on it.
    void add_name(std::uint64_t number, std::string_view path, NodeId id);
    // The number for the path without a reference (for listings).
    std::uint64_t number_for(std::string_view path);
    std::optional<std::uint64_t> number_of(std::string_view path) const;
    std::optional<std::string> path_of(std::uint64_t number) const;
    std::optional<std::uint64_t> lookups_of(std::uint64_t number) const;
    // None when the record is gone; a record not yet decided answers `undecided`.
    enum class Sole { No, Yes, Undecided };
    std::optional<Sole> sole_of(std::uint64_t number) const;
    void set_sole(std::uint64_t number, bool sole);
    void forget(std::uint64_t number, std::uint64_t count);
    void reclaim_if_unreferenced(std::uint64_t number);
    // Drop path entries; the records keep answering `path_of`.
    void evict_path(std::string_view path);
    void evict_subtree(std::string_view path);
    // Move the path and everything under it after a rename.
    void rekey_subtree(std::string_view from, std::string_view to);
    // The record stops naming any path, so its users get not found.
    void detach(std::uint64_t number);

private:
    using Paths = std::map<std::string, std::uint64_t, pathx::Less>;

    // One lookup reference on `record`, joined to the file `id` names when it
    // was not yet known as a file of several names.
    void take(std::uint64_t number, InodeData& record, std::optional<NodeId> id);
    void drop_entry_of(std::uint64_t number, const InodeData& record);
    // `key` no longer names the file `number`: another of its names takes over.
    void drop_name(std::uint64_t number, const std::string& key);
    // The entries at or under `key`.
    std::pair<Paths::iterator, Paths::iterator> subtree(const std::string& key);

    std::deque<std::uint64_t> fifo_;
    std::unordered_map<std::uint64_t, InodeData> records_;
    Paths paths_;
    std::map<NodeId, std::uint64_t> linked_;  // files of several names
    std::uint64_t next_ = 2;
};

struct OpenFlags {
    bool read = false;
    bool write = false;
    bool truncate = false;  // cut to 0 when opened, unless this open created it
    bool create = false;
    bool create_new = false;  // with create: fail when the file exists

    // O_RDONLY, O_WRONLY or O_RDWR.
    int access() const;
};

struct Open {
    std::uint64_t inode = 0;
    OpenFlags flags;
    // The handle's own descriptor of a host file, for its reads, writes and
    // locks; none for a file of the in-memory tree.
    std::shared_ptr<const platform::Fd> fd;
};

// Handles start at 1 and are never reused.
class OpenTable {
public:
    std::uint64_t insert(Open open);
    std::optional<Open> get(std::uint64_t handle) const;
    std::optional<Open> remove(std::uint64_t handle);
    bool any_on(std::uint64_t inode) const;

private:
    std::unordered_map<std::uint64_t, Open> handles_;
    std::unordered_map<std::uint64_t, std::size_t> per_inode_;  // open handles on each inode
    std::uint64_t next_ = 1;
};

namespace posix {
// The positive errno a FUSE reply carries: an OS error keeps its number,
// a kind is mapped (unsupported is EOPNOTSUPP: ENOSYS would make the kernel
// treat the operation as unimplemented), anything else is EIO.
int host_errno(const IoError& error);
// EBADF as an OS error.
IoError bad_handle();
}  // namespace posix

class Posix {
public:
    struct Entry {
        std::uint64_t inode;
        Stat stat;
        double timeout = kChangingTimeout;  // for the entry and its attributes
    };
    struct Created {
        std::uint64_t inode;
        Stat stat;
        std::uint64_t handle;
        double timeout = kChangingTimeout;
    };
    // Tells the kernel that the attributes of an inode changed where it could
    // not see it. Called on serving threads, also inside a request.
    using Notify = std::function<void(std::uint64_t inode)>;
    // Given an entry's inode, NUL-terminated name, mode and the offset after
    // it; answers true when the reply is full.
    using Emit = std::function<bool(std::uint64_t inode, const char* name, std::uint32_t mode,
                                    std::int64_t next_offset)>;

    explicit Posix(std::unique_ptr<FileSystem> fs);

    FileSystem& fs() { return *fs_; }
    // With a way to tell the kernel of changes, what only this mount changes
    // gets the lasting time-out. Set before serving starts.
    void set_notify(Notify notify) { notify_ = std::move(notify); }

    // The time-out for what the kernel caches of `inode`, and for the name
    // `name` in `parent` being missing.
    double timeout_of(std::uint64_t inode);
    double missing_timeout(std::uint64_t parent, std::string_view name);
    // Whether the kernel may keep the listing it cached of the folder at the
    // last open. It drops the listing itself on every change made through the
    // mount; a host folder's listing is kept only while the folder's times
    // are still those read as it was last listed from the start.
    bool keeps_listing(std::uint64_t inode);

    IoResult<Entry> lookup_child(std::uint64_t parent, std::string_view name);
    IoResult<Stat> stat_inode(std::uint64_t inode);
    // As access(2) with R_OK, W_OK and X_OK bits: the owner, group and
    // permission bits we report decide, for this process as the caller,
    // root passing all but execution of a node without any execute bit.
    IoResult<void> access_inode(std::uint64_t inode, int mask);
    // The size first, then the permission bits and times.
    IoResult<Stat> setattr_inode(std::uint64_t inode, std::optional<std::uint64_t> size,
                                 const SetAttr& attr = {});
    IoResult<std::uint64_t> open_inode(std::uint64_t inode, OpenFlags flags);
    // `mode`: the permission bits a new file gets; none keeps the tree's own.
    IoResult<Created> create_child(std::uint64_t parent, std::string_view name, OpenFlags flags,
                                   std::optional<std::uint32_t> mode = std::nullopt);
    // Fills `buf` from `offset`; 0 means end of file.
    IoResult<std::size_t> read_handle(std::uint64_t handle, std::uint64_t offset, std::span<std::uint8_t> buf);
    // The same bytes handed to `give` as the tree holds them; empty at the end.
    IoResult<void> read_handle_with(std::uint64_t handle, std::uint64_t offset, std::size_t size,
                                    const ReadInto& give);
    // Writes all of `data` or fails.
    IoResult<std::size_t> write_handle(std::uint64_t handle, std::uint64_t offset,
                                       std::span<const std::uint8_t> data);
    IoResult<void> flush_handle(std::uint64_t handle);
    // POSIX locks belong to an owner (a process, as the kernel names it),
    // flock locks to the handle; both are taken on the host file too, so
    // processes using the host folder, or another mount of it, see them.
    // Neither ever waits: a lock held elsewhere is EAGAIN, for the caller to
    // try again.
    IoResult<void> test_lock(std::uint64_t handle, std::uint64_t owner, platform::RangeLock& lock);
    IoResult<void> set_lock(std::uint64_t handle, std::uint64_t owner, const platform::RangeLock& lock);
    IoResult<void> flock_handle(std::uint64_t handle, int op);
    // The owner closed a descriptor of the file: its POSIX locks on it go.
    void release_owner_locks(std::uint64_t handle, std::uint64_t owner);
    // Whether the kernel may keep what it cached of the handle's file: only
    // this mount ever changes it.
    bool keeps_cache(std::uint64_t handle);
    IoResult<void> release_handle(std::uint64_t handle);
    IoResult<Entry> mkdir_child(std::uint64_t parent, std::string_view name,
                                std::optional<std::uint32_t> mode = std::nullopt);
    IoResult<void> rmdir_child(std::uint64_t parent, std::string_view name);
    IoResult<Entry> symlink_child(std::uint64_t parent, std::string_view name, std::string_view target);
    IoResult<std::string> readlink_inode(std::uint64_t inode);
    IoResult<Entry> link_child(std::uint64_t inode, std::uint64_t new_parent, std::string_view new_name);
    IoResult<Entry> mknod_child(std::uint64_t parent, std::string_view name, FileType type, std::uint32_t mode);
    IoResult<void> unlink_child(std::uint64_t parent, std::string_view name);
    IoResult<void> rename_child(std::uint64_t parent, std::string_view name, std::uint64_t new_parent,
                                std::string_view new_name);
    // A directory handle lists a snapshot of its entries, taken at offset 0,
    // with offsets as positions in it: entries present throughout are listed
    // once each, whatever changes meanwhile.
    IoResult<std::uint64_t> open_dir(std::uint64_t inode);
    IoResult<void> for_each_dirent(std::uint64_t dir_handle, std::uint64_t offset, const Emit& emit);
    void release_dir(std::uint64_t dir_handle);
    void forget_inode(std::uint64_t inode, std::uint64_t count);
    // Deletes every file still hidden: for when the kernel can send no more
    // releases, as after the session has ended.
    void drop_hidden();

private:
    struct Listed {
        std::uint64_t inode;
        Dirent entry;
    };
    using Listing = std::shared_ptr<const std::vector<Listed>>;
    struct DirHandle {
        std::uint64_t inode;
        Listing listing;
    };
    // A host folder's times as a listing of it began. Times older than a
    // tick of the host's clock are `settled`: any later change gives the
    // folder other times.
    struct FolderTimes {
        WallTime modified, changed;
        bool settled = false;
    };

    IoResult<std::string> path_of(std::uint64_t inode);
    IoResult<std::string> child_path(std::uint64_t parent, std::string_view name);
    // The handle's record with its path.
    IoResult<std::pair<std::string, Open>> record_of(std::uint64_t handle);
    // A new handle on `inode`, with its own descriptor where the tree has them.
    IoResult<std::uint64_t> add_handle(std::uint64_t inode, const std::string& path, OpenFlags flags);
    // A description of the handle's file of its own, to hold locks: a second
    // open of the host file, or of an anchor standing in for an in-memory one.
    // Fails for a handle released meanwhile.
    IoResult<platform::Fd> lock_description(std::uint64_t handle, const Open& open);
    // The description `map` keeps at `key` for the handle, made when it has none.
    template <class Map, class Key>
    IoResult<std::shared_ptr<const platform::Fd>> kept_description(Map& map, const Key& key, std::uint64_t handle,
                                                                   const Open& open);
    IoResult<std::shared_ptr<const platform::Fd>> owner_locks(std::uint64_t handle, std::uint64_t owner);
    bool still_open(std::uint64_t handle);
    IoResult<std::optional<Stat>> realize_open(const std::string& path, OpenFlags flags);
    IoResult<std::vector<Listed>> dir_entries(std::uint64_t inode);
    std::optional<FolderTimes> folder_times(const std::string& dir);
    // The inode behind `path` when a handle is open on it.
    std::optional<std::uint64_t> open_inode_at(const std::string& path);
    bool any_open(std::uint64_t inode);
    // Opening an existing file as `flags` asks, checked as access_inode does.
    IoResult<void> check_open(const std::string& path, OpenFlags flags);
    // Gives a new node the asked permission bits where the tree chose others.
    IoResult<Stat> with_mode(const std::string& path, Stat st, std::optional<std::uint32_t> mode);
    // Whether only this mount changes the node, decided once per node; none
    // when it is gone. `path`, when the caller has it, saves looking it up.
    std::optional<bool> sole_writer(std::uint64_t inode, const std::string* path = nullptr);
    double timeout_for(std::uint64_t inode, const std::string& path);
    // A name's entry, holding one lookup reference; `id` joins the names of
    // one file.
    Entry interned(const std::string& path, const Stat& st, std::optional<NodeId> id = std::nullopt);
    // The kernel's attributes of the folder at `dir` are out of date.
    void folder_changed(std::string_view dir);
    std::string hidden_name(std::uint64_t inode, int attempt) const;
    // Renames an open file out of sight; its handles follow it.
    IoResult<std::string> hide(const std::string& path, std::uint64_t inode);
    // Deletes the inode's hidden file once no handle is left on it.
    IoResult<void> drop_if_closed(std::uint64_t inode);
    IoResult<void> drop_hidden_of(std::uint64_t inode);
    // Clears a directory that holds only hidden names: ours move to the root
    // of the tree, those of ended owners go. False when anything else is left.
    IoResult<bool> evacuate_hidden(const std::string& dir);

    std::unique_ptr<FileSystem> fs_;
    Notify notify_;
    std::string token_;  // this mount's part of hidden names
    std::mutex inodes_m_;
    InodeTable inodes_;
    std::mutex handles_m_;
    OpenTable handles_;
    std::mutex hidden_m_;
    // Hidden path (a key) -> its inode; a file of several names may have more than one.
    std::map<std::string, std::uint64_t, pathx::Less> hidden_;
    std::mutex dirs_m_;
    std::unordered_map<std::uint64_t, DirHandle> dirs_;
    std::unordered_map<std::uint64_t, FolderTimes> listed_;  // host folders, by inode
    std::uint64_t next_dir_ = 1;
    // Lock descriptions, kept while a handle is open on their file. Taken
    // before handles_m_ where both are held.
    std::mutex locks_m_;
    std::unordered_map<std::uint64_t, platform::Fd> anchors_;  // inode -> anchor
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::shared_ptr<const platform::Fd>> owners_;  // (inode, owner)
    std::unordered_map<std::uint64_t, std::shared_ptr<const platform::Fd>> flocks_;  // handle -> its own
};

}  // namespace halvo::fs::filesystem

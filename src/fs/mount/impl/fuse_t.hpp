#pragma once
// One live FUSE mount of a Directory: the request callbacks that serve it
// through the inode adapter, the mount's set-up and tear-down, the list of
// this process's live mounts, and `Shared`, through which holders share one
// mount until the last lets go.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/error.hpp"
#include "fs/directory.hpp"
#include "fs/filesystem/posix.hpp"
#include "fs/mount/claim.hpp"
#include "fs/mount/mount.hpp"
#include "fs/mount/table.hpp"
#include "platform/fuse_shim.hpp"
#include "rt/fork.hpp"

namespace halvo::fs::mount::impl {

namespace fuse_t {
// The kernel's open flags as the adapter's; none for access mode 3.
std::optional<filesystem::OpenFlags> decode_flags(int flags);
platform::FuseTAttr to_halvo_stat(std::uint64_t inode, const filesystem::Stat& stat);
// The negated errno of a failure.
int code(const IoError& error);
// The callbacks with the statfs figures, as every mount gets them.
const platform::FuseTCallbacks& callbacks();
}  // namespace fuse_t

// Threads serving one mount's requests: independent programs on one mount
// do not queue behind each other.
inline constexpr int kServingThreads = 4;

// How long the set-up and the tear-down wait; tests shorten them.
struct MountTimings {
    std::chrono::milliseconds mount_wait{10000};
    std::chrono::milliseconds thread_wait{10000};
    std::chrono::milliseconds settle_wait{3000};
    std::chrono::milliseconds command_limit = table::kCommandLimit;
};

class FuseTMount {
public:
    // Takes the tree over; it is released with the mount, or at once when
    // mounting fails.
    static IoResult<std::unique_ptr<FuseTMount>> mount(std::unique_ptr<Directory> tree, std::string mountpoint,
                                                       MountTimings timings = {});

    FuseTMount(const FuseTMount&) = delete;
    FuseTMount& operator=(const FuseTMount&) = delete;
    // The tear-down: it never fails, and reports what it cannot finish on
    // standard error. A forked child's copy only lets go of itself: the
    // mount stays up and its parent's.
    ~FuseTMount();

    // As given, also when relative or a link.
    const std::string& mountpoint() const { return mountpoint_; }
    // Where the mount really is: every link resolved.
    // Whether the mount point lies on another device than its parent yet;
    // notes the mount's device when it does.
    bool wait_until_mounted(std::chrono::milliseconds limit);

    // The tear-down, once; with `abort_first`, the connection is aborted
    // before anything else, so nothing blocked on it can hold it up. Nothing
    // in a forked child's copy.
    void tear_down(bool abort_first);

private:
    FuseTMount() = default;

    std::mutex tear_down_m_;
    platform::FuseTHandle* handle_ = nullptr;
    std::vector<std::thread> threads_;
    std::shared_ptr<std::atomic<int>> finished_;  // serving threads that ended
    std::string mountpoint_;
    std::string resolved_;  // what is mounted, recorded and unmounted
    dev_t dev_ = 0;
    std::unique_ptr<filesystem::Posix> adapter_;
    claim::Claim claim_;
    MountTimings timings_;
    rt::Origin origin_;
};

// Takes down every live mount of this process, each connection aborted
// first: for the end of the process, whatever threads still run, so that
// nothing of it waits on a mount it served itself.
void take_down_all();

// One live mount shared by its holders; the last to let go tears it down
// on its own thread.
class Shared : public Mount {
public:
    explicit Shared(std::unique_ptr<FuseTMount> mount);

    // As given when mounting, also after the mount came down.
    std::string mountpoint() const override { return mountpoint_; }
    // The live mount, taken out for tearing down now; empty on a repeat.
    std::unique_ptr<FuseTMount> take();

private:
    std::mutex m_;
    std::unique_ptr<FuseTMount> mount_;
    std::string mountpoint_;
};

}  // namespace halvo::fs::mount::impl

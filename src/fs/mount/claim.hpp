#pragma once
// The per-user registry of live mounts and the watchdog that takes a dead
// owner's mounts down. The registry folder holds one record per mount, named
// "<pid>-<n>" and holding the resolved mount point, written before the mount
// is made, and once it is made a second line with its device ("major:minor");
// the watchdog, one shell per owning process, waits for its input pipe to
// end (the owner holds the only write end) or for the owner to be stuck in
// its own exit, and then takes the owner's recorded mounts down. Everything
// here is best effort: an unusable registry only turns records, the
// watchdog and reclaiming off.
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fd.hpp"

namespace halvo::fs::mount::claim {

inline constexpr std::string_view kRegistryName = "halvo-mounts";

struct Registry {
    std::string path;
    platform::Fd dir;  // opened without following a link
};

// `halvo-mounts` in the user's temporary folder (TMPDIR read on every call),
// made with mode 0700; usable only when it is a real directory owned by us
// that neither group nor others may write to.
std::optional<Registry> registry();

// The registration of one mount. Dropping it deletes the record once
// nothing of ours (of its device, when known) is mounted at the mount point.
class Claim {
public:
    Claim() = default;
    Claim(std::string mountpoint, std::optional<std::string> record)
        : mountpoint_(std::move(mountpoint)), record_(std::move(record)) {}
    Claim(Claim&& o) noexcept
        : mountpoint_(std::move(o.mountpoint_)),
          record_(std::exchange(o.record_, std::nullopt)),
          dev_(std::exchange(o.dev_, 0)) {}
    Claim& operator=(Claim&& o) noexcept;
    ~Claim();

    const std::string& mountpoint() const { return mountpoint_; }
    const std::optional<std::string>& record() const { return record_; }
    // Adds the device of the mount now made to the record.
    void set_device(dev_t dev);
    // The mount was never made: the record goes now, whatever else is there.
    void discard();

private:
    void release();
    void delete_record();

    std::string mountpoint_;
    std::optional<std::string> record_;
    dev_t dev_ = 0;
};

// Records the mount point (already resolved: it is kept as it is) and starts
// this process's watchdog with its first record. Made before the mount, so a
// kill at any moment leaves nothing the watchdog and reclaim cannot find.
Claim claim(const std::string& mountpoint);

// A record's mount point and, once known, its device.
struct Recorded {
    std::string mountpoint;
    dev_t dev = 0;
};
Recorded parse_record(std::string_view content);
std::string device_line(dev_t dev);

// Takes down mounts whose owner died (or is stuck in its own exit), their
// connection aborted first, with at most 4 unmount attempts per call;
// answers the recorded mount points that would not come down. A mount with
// something stacked on top is left for a later call.
std::vector<std::string> reclaim_abandoned();

// The pid of this process's watchdog, if it started one.
std::optional<pid_t> watchdog_pid();

}  // namespace halvo::fs::mount::claim

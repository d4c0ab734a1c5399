#pragma once
// The per-user registry of live mounts and the watchdog that takes a dead
// owner's mounts down. The registry folder holds one record per mount, named
// "<pid>-<n>" and holding the resolved mount point; the watchdog, one shell
// per owning process, waits for its input pipe to end (the owner holds the
// only write end) and then unmounts the owner's recorded points. Everything
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

// The watchdog's script, run as `/bin/sh -c SCRIPT halvo-mount-watchdog`.
extern const std::string_view kWatchdogScript;

struct Registry {
    std::string path;
    platform::Fd dir;  // opened without following a link
};

// `halvo-mounts` in the user's temporary folder (TMPDIR read on every call),
// made with mode 0700; usable only when it is a real directory owned by us
// that neither group nor others may write to.
std::optional<Registry> registry();

// The registration of one live mount. Dropping it deletes the record once
// nothing of ours is mounted at the mount point any more.
class Claim {
public:
    Claim() = default;
    Claim(std::string mountpoint, std::optional<std::string> record)
        : mountpoint_(std::move(mountpoint)), record_(std::move(record)) {}
    Claim(Claim&& o) noexcept
        : mountpoint_(std::move(o.mountpoint_)), record_(std::exchange(o.record_, std::nullopt)) {}
    Claim& operator=(Claim&& o) noexcept;
    ~Claim();

    const std::string& mountpoint() const { return mountpoint_; }
    const std::optional<std::string>& record() const { return record_; }

private:
    void release();

    std::string mountpoint_;
    std::optional<std::string> record_;
};

// Records the mount point (absolute) and starts this process's watchdog
// with its first record.
Claim claim(const std::string& mountpoint);

// Takes down mounts whose owner died, with at most 4 unmount attempts per
// call; answers the recorded mount points that would not come down.
std::vector<std::string> reclaim_abandoned();

// The pid of this process's watchdog, if it started one.
std::optional<pid_t> watchdog_pid();

}  // namespace halvo::fs::mount::claim

#include "fs/mount/claim.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <mutex>

#include "fs/mount/table.hpp"
#include "base/pathx.hpp"
#include "platform/fuse_shim.hpp"
#include "platform/process.hpp"
#include "base/utf8.hpp"

namespace halvo::fs::mount::claim {

namespace {

constexpr int kReclaimBudget = 4;

std::atomic<std::uint64_t> g_next{0};

struct Watchdog {
    pid_t owner = 0;
    int write_end = -1;  // never written: holding it open is the whole signal
    std::optional<platform::Child> child;
};

std::mutex g_watchdog_m;
// Never destroyed: the watchdog outlives everything of ours.
Watchdog& watchdog() {
    static auto* w = new Watchdog;
    return *w;
}

// A forked child must not hold its parent's write end, or the parent's
// watchdog would wait for the child too. Its records start again at 0 under
// its own pid.
void register_fork_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        ::pthread_atfork([] { g_watchdog_m.lock(); }, [] { g_watchdog_m.unlock(); },
                         [] {
                             Watchdog& w = watchdog();
                             if (w.write_end >= 0) ::close(w.write_end);
                             w.write_end = -1;
                             g_next.store(0);
                             g_watchdog_m.unlock();
                         });
    });
}

void make_dirs(const std::string& path) {
    std::string prefix;
    for (auto name : pathx::components(path)) {
        if (!prefix.empty() || pathx::is_absolute(path)) prefix += '/';
        prefix.append(name);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return;
    }
}

bool is_regular_at(int dir, const char* name) {
    struct stat st;
    return ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

// Only ever a regular file, so a stray link or folder is never touched.
void remove_record(int dir, const std::string& name) {
    if (is_regular_at(dir, name.c_str())) ::unlinkat(dir, name.c_str(), 0);
}

std::optional<std::string> read_record(int dir, const std::string& name) {
    platform::Fd fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

// The owner's pid: a signed 32-bit decimal with an optional sign.
std::optional<std::int32_t> owner_of(std::string_view name) {
    std::string_view text = name.substr(0, name.find('-'));
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    std::int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
        if (v > (std::int64_t{1} << 31)) return std::nullopt;
    }
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return std::nullopt;
    return static_cast<std::int32_t>(v);
}

std::optional<platform::Child> start_watchdog(const Registry& reg, platform::Fd& write_end) {
    auto pipe = platform::make_pipe();
    if (!pipe) return std::nullopt;
    platform::Command cmd("/bin/sh", {"-c", std::string(platform::kWatchdogScript), "halvo-mount-watchdog"});
    platform::Env env = platform::environ_snapshot();
    env.set("HALVO_MOUNT_OWNER", std::to_string(::getpid()));
    env.set("HALVO_MOUNT_REGISTRY", reg.path);
    cmd.env = std::move(env);
    cmd.cwd = "/";
    cmd.in = platform::Stdio::from_fd(pipe->read.get());
    cmd.out = platform::Stdio::null();
    cmd.err = platform::Stdio::null();
    cmd.own_process_group = true;
    auto child = platform::spawn(std::move(cmd));
    if (!child) return std::nullopt;
    write_end = std::move(pipe->write);
    return std::move(child).value();
}

void ensure_watchdog(const Registry& reg) {
    register_fork_handlers();
    std::lock_guard lk(g_watchdog_m);
    Watchdog& w = watchdog();
    if (w.child && w.owner == ::getpid()) return;
    platform::Fd write_end;
    auto child = start_watchdog(reg, write_end);
    if (!child) return;  // the next claim tries again
    if (w.write_end >= 0) ::close(w.write_end);
    w.owner = ::getpid();
    w.write_end = write_end.release();
    // Replacing a child inherited through fork only forgets it.
    w.child = std::move(child);
}

}  // namespace

std::optional<Registry> registry() {
    std::string path = pathx::join(platform::user_tmp_dir(), kRegistryName);
    make_dirs(path);
    platform::Fd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) return std::nullopt;
    struct stat st;
    if (::fstat(dir.get(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) return std::nullopt;
    return Registry{std::move(path), std::move(dir)};
}

Recorded parse_record(std::string_view content) {
    auto nl = content.rfind('\n');
    if (nl != std::string_view::npos) {
        if (auto dev = platform::parse_device(content.substr(nl + 1)))
            return Recorded{std::string(content.substr(0, nl)), *dev};
    }
    return Recorded{std::string(content), 0};
}

std::string device_line(dev_t dev) { return "\n" + platform::device_text(dev); }


void Claim::set_device(dev_t dev) {
    dev_ = dev;
    if (!record_) return;
    // One short append: a reader sees the record with or without it.
    platform::Fd fd(::open(record_->c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    if (fd) (void)platform::write_all(fd.get(), device_line(dev));
}

Claim claim(const std::string& mountpoint) {
    std::string r = mountpoint;
    auto reg = registry();
    if (!reg) return Claim(std::move(r), std::nullopt);
    ensure_watchdog(*reg);
    std::string name = std::to_string(::getpid()) + "-" + std::to_string(g_next.fetch_add(1));
    platform::Fd fd(::openat(reg->dir.get(), name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                             0600));
    // A record that could not be written is only a missed clean-up.
    if (fd) (void)platform::write_all(fd.get(), r);
    return Claim(std::move(r), pathx::join(reg->path, name));
}

Claim& Claim::operator=(Claim&& o) noexcept {
    if (this != &o) {
        release();
        mountpoint_ = std::move(o.mountpoint_);
        record_ = std::exchange(o.record_, std::nullopt);
        dev_ = std::exchange(o.dev_, 0);
    }
    return *this;
}

Claim::~Claim() { release(); }

void Claim::release() {
    if (!record_) return;
    // Still mounted: the watchdog or a later reclaim deletes it.
    if (table::place_of(mountpoint_, dev_) != table::Place::Gone) {
        record_.reset();
        return;
    }
    delete_record();
}

void Claim::discard() {
    if (record_) delete_record();
}

void Claim::delete_record() {
    std::string record = *std::exchange(record_, std::nullopt);
    auto slash = record.rfind('/');
    std::string dir_path = record.substr(0, slash);
    platform::Fd dir(::open(dir_path.empty() ? "/" : dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir) remove_record(dir.get(), record.substr(slash + 1));
}

std::vector<std::string> reclaim_abandoned() {
    auto reg = registry();
    if (!reg) return {};
    std::vector<std::string> names;
    {
        int fd = ::fcntl(reg->dir.get(), F_DUPFD_CLOEXEC, 0);
        if (fd < 0) return {};
        DIR* d = ::fdopendir(fd);
        if (!d) {
            ::close(fd);
            return {};
        }
        while (dirent* e = ::readdir(d)) {
            std::string_view n = e->d_name;
            if (n != "." && n != "..") names.emplace_back(n);
        }
        ::closedir(d);
    }
    const int dir = reg->dir.get();
    int budget = kReclaimBudget;
    std::vector<std::string> stuck;
    for (const auto& name : names) {
        if (!is_regular_at(dir, name.c_str())) continue;
        if (!utf8::valid(name)) {
            remove_record(dir, name);
            continue;
        }
        auto owner = owner_of(name);
        if (!owner || *owner <= 0) {
            remove_record(dir, name);
            continue;
        }
        // Alive (EPERM too means someone is there), unless stuck in its exit;
        // this process, mounting now, is not ending.
        if (*owner == ::getpid() || !platform::process_ending(*owner)) continue;
        auto content = read_record(dir, name);
        if (!content) {
            remove_record(dir, name);
            continue;
        }
        auto [m, dev] = parse_record(*content);
        // A relative or root record is never acted on.
        table::Place place = table::place_of(m, dev);
        if (m.empty() || !pathx::is_absolute(m) || pathx::key(m) == "/" || place == table::Place::Gone) {
            remove_record(dir, name);
            continue;
        }
        if (place == table::Place::Covered) continue;
        if (budget == 0) break;
        --budget;
        if (table::take_down(m, dev, true) == table::Place::Gone)
            remove_record(dir, name);
        else
            stuck.push_back(std::move(m));
    }
    return stuck;
}

std::optional<pid_t> watchdog_pid() {
    std::lock_guard lk(g_watchdog_m);
    const Watchdog& w = watchdog();
    if (!w.child || w.owner != ::getpid()) return std::nullopt;
    return w.child->pid();
}

}  // namespace halvo::fs::mount::claim

#include "install/ensure.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "install/cache.hpp"
#include "platform/fd.hpp"
#include "platform/tarball.hpp"
#include "platform/target.hpp"
#include "rt/exit_gate.hpp"
#include "rt/fork.hpp"
#include "rt/runtime.hpp"
#include "base/utf8.hpp"

namespace halvo::inline install::ensure {

namespace {

namespace http = platform::http;

std::string display(std::string_view path) { return utf8::lossy(path); }

bool stat_is(const std::string& path, mode_t type) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

ChainResult<void> create_dirs(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) return fail(Chain(IoError::os(ec.value())).context("creating " + display(path)));
    return {};
}

// Installs into one `bin` take turns: they would share the staging folder
// and the moves. The key is `bin` with its links resolved, so that two names
// of one folder share a turn; a turn no install holds or waits for goes.
std::shared_ptr<rt::AsyncMutex> turn_of(const std::string& bin) {
    struct Turns {
        std::mutex mu;
        std::map<std::string, std::weak_ptr<rt::AsyncMutex>> by_bin;
    };
    // Never destroyed: installs may outlive exit's destructors. A forked
    // child has its own: a turn its parent's install held would never pass.
    constinit static rt::PerProcess<Turns> per_process;
    Turns* turns = &per_process.get();
    std::error_code ec;
    std::filesystem::path key = std::filesystem::absolute(bin, ec);
    if (!ec) key = std::filesystem::weakly_canonical(key, ec);
    if (ec) key = bin;
    std::lock_guard lk(turns->mu);
    std::erase_if(turns->by_bin, [](const auto& entry) { return entry.second.expired(); });
    auto& slot = turns->by_bin[key.native()];
    auto turn = slot.lock();
    if (!turn) slot = turn = std::make_shared<rt::AsyncMutex>();
    return turn;
}

// A turn taken: the guard goes before the mutex it holds.
struct Turn {
    std::shared_ptr<rt::AsyncMutex> mutex;
    rt::AsyncMutex::Guard guard;
};

constexpr std::string_view kStagingPrefix = ".bin.";
constexpr std::string_view kStagingSuffix = ".part";

std::string staging_name(pid_t pid) {
    return std::string(kStagingPrefix) + std::to_string(pid) + std::string(kStagingSuffix);
}

// The process id in a staging folder's name.
std::optional<pid_t> staging_pid(std::string_view name) {
    if (!name.starts_with(kStagingPrefix) || !name.ends_with(kStagingSuffix)) return std::nullopt;
    name.remove_prefix(kStagingPrefix.size());
    name.remove_suffix(kStagingSuffix.size());
    pid_t pid = 0;
    auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec != std::errc() || end != name.data() + name.size() || pid <= 0) return std::nullopt;
    return pid;
}

// Removes the staging folders of installs that died: their process is gone
// and no one holds the folder's lock (a live install in another pid
// namespace does). Errors are ignored: a folder left is tried again later.
void remove_stale_staging(const std::string& root) {
    std::vector<std::string> stale;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(root.empty() ? "." : root, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().native();
        auto pid = staging_pid(name);
        if (pid && *pid != ::getpid() && !platform::process_exists(*pid)) stale.push_back(std::move(name));
    }
    for (const auto& name : stale) {
        const std::string path = join_path(root, name);
        if (auto held = platform::lock_folder(path)) (void)platform::remove_tree(path);
    }
}

// Unpacks in progress, stopped as the process exits so that their clean-up
// runs before it ends. Never destroyed.
rt::ExitGate& unpacks() {
    constinit static rt::PerProcess<rt::ExitGate> gates;  // a forked child has its own
    static std::once_flag once;
    std::call_once(once, [] { rt::at_stop([] { unpacks().close(std::chrono::seconds(5)); }); });
    return gates.get();
}

// Steps 3 to 7 of an unpack, with the staging folder made.
ChainResult<void> fill_bin(std::span<const std::string> archive, const std::string& root, const std::string& staging,
                           std::string_view name, const std::stop_token& stop) {
    if (auto r = platform::unpack_tar_gz(archive, staging, stop); !r)
        return fail(std::move(r).error().context("unpacking the halvo-uvm archive"));
    const std::string program = join_path(staging, name);
    if (!stat_is(program, S_IFREG)) return fail(Chain("the halvo-uvm archive has no " + std::string(name)));
    const std::string bin = bin_folder(root);
    HALVO_CHECK(create_dirs(bin));

    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(staging, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().native());
    if (ec) return fail(Chain(IoError::os(ec.value())));
    for (const auto& n : names) {
        if (n == name) continue;
        HALVO_CHECK(replace(join_path(staging, n), join_path(bin, n)));
    }
    return replace(program, join_path(bin, name));
}

}  // namespace

std::string_view platform_text() {
    static const std::string text = std::string(platform::kTargetOs) + "-" + std::string(platform::kTargetArch);
    return text;
}

Settings settings_from(std::optional<std::string> root, const platform::Env& env) {
    Settings s;
    s.root = std::move(root);
    s.base = env.text("HALVO_DIST_URL").value_or(std::string(kDefaultBase));
    while (!s.base.empty() && s.base.back() == '/') s.base.pop_back();
    s.release = env.text("HALVO_UVM_VERSION").value_or(std::string(kDefaultRelease));
    s.proxies = http::proxy_env(env);
    return s;
}

Settings read_settings() {
    // libcurl's set-up reads the environment too: here, not on a worker.
    http::init();
    platform::Env env = platform::environ_snapshot();
    return settings_from(cache_root(env), env);
}

// What a path may hold as it is: the unreserved characters, the sub-delims,
// ":", "@" and "/"; the rest goes percent-encoded, byte by byte.
std::string path_encoded(std::string_view text) {
    static constexpr std::string_view kKept = "-._~!$&'()*+,;=:@/";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           kKept.find(static_cast<char>(c)) != std::string_view::npos;
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string archive_url(const Settings& s) {
    const std::string platform = path_encoded(platform_text());
    return s.base + "/halvo-uvm/" + path_encoded(s.release) + "/halvo-uvm-" + platform + ".tar.gz";
}

asio::awaitable<ChainResult<http::Body>> fetch(std::string url, http::ProxyEnv proxies) {
    auto stop = std::make_shared<http::Stop>();
    // However this frame ends, a cancel included, the download ends with it.
    struct StopOnExit {
        std::shared_ptr<http::Stop> stop;
        ~StopOnExit() { stop->request(); }
    } stop_on_exit{stop};
    auto job = [url, proxies = std::move(proxies), stop] { return http::get(url, proxies, *stop, kMaxArchive); };
    auto got = co_await rt::run_blocking(std::move(job));
    if (!got) {
        http::Failure f = std::move(got).error();
        switch (f.stage) {
            case http::Failure::Stage::Send: co_return fail(Chain(std::move(f.text)).context("fetching " + url));
            case http::Failure::Stage::Status: co_return fail(Chain("fetching " + url + ": " + f.text));
            case http::Failure::Stage::Read: co_return fail(Chain(std::move(f.text)).context("reading " + url));
            case http::Failure::Stage::TooLarge:
                co_return fail(Chain("the archive is larger than " + std::to_string(kMaxArchive >> 30) +
                                     " GiB, the most an install takes")
                                   .context("reading " + url));
        }
    }
    co_return std::move(got).value();
}

ChainResult<void> replace(const std::string& src, const std::string& dst) {
    if (stat_is(src, S_IFDIR) && stat_is(dst, S_IFDIR)) {
        if (auto r = platform::remove_tree(dst); !r) return fail(Chain(r.error()).context("removing " + display(dst)));
    }
    if (::rename(src.c_str(), dst.c_str()) != 0)
        return fail(Chain(IoError::last_os()).context("moving " + display(src) + " to " + display(dst)));
    return {};
}

ChainResult<void> unpack(std::span<const std::string> archive, const std::string& root, std::string_view name) {
    std::stop_source stop;
    auto pass = unpacks().enter([stop]() mutable { stop.request_stop(); });
    if (!pass) return fail(Chain("the process is exiting"));
    remove_stale_staging(root);
    const std::string staging = join_path(root, staging_name(::getpid()));
    // One of our process id left behind goes; one a live install holds (of
    // another pid namespace) is neither removed nor shared.
    if (auto left = platform::lock_folder(staging)) (void)platform::remove_tree(staging);
    HALVO_CHECK(create_dirs(staging));
    // Held until the staging folder is gone: it tells other processes that
    // the folder is in use, whatever they make of its process id.
    auto held = platform::lock_folder(staging);
    if (!held) return fail(Chain(held.error()).context("creating " + display(staging)));
    auto result = fill_bin(archive, root, staging, name, stop.get_token());
    (void)platform::remove_tree(staging);
    return result;
}

asio::awaitable<ChainResult<std::string>> ensure_halvo(Settings s) {
    if (!s.root) co_return fail(Chain(std::string(kNoCacheRoot)));
    std::string bin = bin_folder(*s.root);
    const std::string program = join_path(bin, kServerProgram);
    if (stat_is(program, S_IFREG)) co_return bin;

    Turn turn{turn_of(bin), {}};
    turn.guard = co_await turn.mutex->lock();
    // Another install of this process may have finished meanwhile.
    if (stat_is(program, S_IFREG)) co_return bin;

    std::string url = archive_url(s);
    auto body = co_await fetch(url, std::move(s.proxies));
    if (!body) {
        co_return fail(std::move(body).error().context("no halvo-uvm release is published for " +
                                                       std::string(platform_text()) + " as `" + s.release + "`"));
    }
    // The job holds the turn: a cancelled wait must not let the next install
    // into the staging folder while this one still works in it.
    auto job = [archive = std::move(body).value(), root = *s.root, turn = std::move(turn)]() mutable {
        return unpack(archive, root, kServerProgram);
    };
    try {
        auto unpacked = co_await rt::run_blocking(std::move(job));
        if (!unpacked) co_return fail(std::move(unpacked).error());
    } catch (const asio::system_error& e) {
        if (e.code() == asio::error::operation_aborted) throw;
        co_return fail(Chain(e.what()).context("unpacking halvo-uvm panicked"));
    } catch (const std::exception& e) {
        co_return fail(Chain(e.what()).context("unpacking halvo-uvm panicked"));
    }
    co_return bin;
}

}  // namespace halvo::install::ensure

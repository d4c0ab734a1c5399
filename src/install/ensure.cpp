#include "install/ensure.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "install/cache.hpp"
#include "platform/tarball.hpp"
#include "platform/target.hpp"
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

// One install at a time in this process: they would share the staging folder.
rt::AsyncMutex& install_turn() {
    static auto* m = new rt::AsyncMutex;
    return *m;
}

// Steps 3 to 7 of an unpack, with the staging folder made.
ChainResult<void> fill_bin(std::string_view archive, const std::string& root, const std::string& staging,
                           std::string_view name) {
    if (auto r = platform::unpack_tar_gz(archive, staging); !r)
        return fail(std::move(r).error().context("unpacking the halvo-uvm archive"));
    const std::string program = join_path(staging, name);
    if (!stat_is(program, S_IFREG)) return fail(Chain("the halvo-uvm archive has no " + std::string(name)));
    const std::string bin = join_path(root, "bin");
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
    return settings_from(cache_root(), platform::environ_snapshot());
}

std::string archive_url(const Settings& s) {
    return s.base + "/halvo-uvm/" + s.release + "/halvo-uvm-" + std::string(platform_text()) + ".tar.gz";
}

asio::awaitable<ChainResult<std::string>> fetch(std::string url, http::ProxyEnv proxies) {
    auto stop = std::make_shared<http::Stop>();
    // However this frame ends, a cancel included, the download ends with it.
    struct StopOnExit {
        std::shared_ptr<http::Stop> stop;
        ~StopOnExit() { stop->request(); }
    } stop_on_exit{stop};
    auto job = [url, proxies = std::move(proxies), stop] { return http::get(url, proxies, *stop); };
    auto got = co_await rt::run_blocking(std::move(job));
    if (!got) {
        http::Failure f = std::move(got).error();
        switch (f.stage) {
            case http::Failure::Stage::Send: co_return fail(Chain(std::move(f.text)).context("fetching " + url));
            case http::Failure::Stage::Status: co_return fail(Chain("fetching " + url + ": " + f.text));
            case http::Failure::Stage::Read: co_return fail(Chain(std::move(f.text)).context("reading " + url));
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

ChainResult<void> unpack(std::string_view archive, const std::string& root, std::string_view name) {
    const std::string staging = join_path(root, ".bin." + std::to_string(::getpid()) + ".part");
    (void)platform::remove_tree(staging);
    HALVO_CHECK(create_dirs(staging));
    auto result = fill_bin(archive, root, staging, name);
    (void)platform::remove_tree(staging);
    return result;
}

asio::awaitable<ChainResult<std::string>> ensure_halvo(Settings s) {
    if (!s.root) co_return fail(Chain(std::string(kNoCacheRoot)));
    std::string bin = join_path(*s.root, "bin");
    const std::string program = join_path(bin, kProgram);
    if (stat_is(program, S_IFREG)) co_return bin;

    rt::AsyncMutex::Guard turn = co_await install_turn().lock();
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
        return unpack(archive, root, kProgram);
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

#pragma once
// Installing the server program: fetch the release archive, unpack it into
// a staging folder beside `bin`, then move its entries into `bin`, the
// server program last.
#include <asio/awaitable.hpp>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "install/cache.hpp"
#include "platform/http.hpp"
#include "platform/process.hpp"

namespace halvo::inline install::ensure {

// An HTTPS object store of ours, fixed at build time.
inline constexpr std::string_view kDefaultBase = "https://halvo-releases.s3.amazonaws.com";
inline constexpr std::string_view kDefaultRelease = "v0.1.2";
// The largest archive fetched: a longer body is refused as it passes this,
// or at once when its Content-Length says it would.
inline constexpr std::size_t kMaxArchive = std::size_t{1} << 30;
static_assert(kMaxArchive % (std::size_t{1} << 30) == 0, "its message counts whole GiB");

// The build target's operating system and architecture: "linux-x86_64".
std::string_view platform_text();

// Everything an install takes from the environment, read at the call.
struct Settings {
    std::optional<std::string> root;  // none: neither HALVO_HOME nor HOME is set
    std::string base;                 // without trailing "/"
    std::string release;
    platform::http::ProxyEnv proxies;
};

Settings settings_from(std::optional<std::string> root, const platform::Env& env);
// Reads the environment; call it on the script's thread.
Settings read_settings();

// "{base}/halvo-uvm/{release}/halvo-uvm-{platform}.tar.gz", the release and
// the platform percent-encoded where a path cannot hold them as they are
// ("/" is kept).
std::string archive_url(const Settings& s);

// Makes sure `bin` holds the server program and returns `bin`. Installs in
// one process into the same `bin` (after links are resolved) run one at a
// time, and each looks for the program again once it is its turn; installs
// into other folders go on meanwhile.
asio::awaitable<ChainResult<std::string>> ensure_halvo(Settings s);

// One download, the whole body in memory, at most kMaxArchive bytes.
// Dropping the awaitable stops it.
asio::awaitable<ChainResult<platform::http::Body>> fetch(std::string url, platform::http::ProxyEnv proxies);

// Blocking: unpacks `archive` (its pieces in order) into `root`'s `bin`
// through the staging folder ".bin.{pid}.part", moving `name` last; the
// staging folder is gone afterwards. First it removes the staging folders
// that other processes left when they died. A process exiting meanwhile
// stops it between entries, and waits a few seconds for its clean-up.
ChainResult<void> unpack(std::span<const std::string> archive, const std::string& root, std::string_view name);

// Moves one entry into place; a folder replaces a folder whole.
ChainResult<void> replace(const std::string& src, const std::string& dst);

}  // namespace halvo::install::ensure

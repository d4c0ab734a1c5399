#pragma once
// One HTTP(S) GET over libcurl on OpenSSL with the system trust store.
// The proxy is chosen here from variables read beforehand, never by libcurl
// from the environment: libcurl would read it on a worker thread, lower case
// first, and never honours an upper-case HTTP_PROXY.
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.hpp"
#include "base/result.hpp"

namespace halvo::platform::http {

// The proxy variables, upper case already preferred over lower case; an
// empty value or one that is not UTF-8 counts as unset.
struct ProxyEnv {
    bool cgi = false;  // REQUEST_METHOD is present: never a proxy
    std::optional<std::string> http, https, all, no_proxy;

    bool operator==(const ProxyEnv&) const = default;
};

ProxyEnv proxy_env(const Env& env);

// What a request for `url` goes through: the proxy ("" for none) and the
// hosts that bypass it ("" for none, matched by libcurl as its NO_PROXY).
// Both are always set on the handle. A proxy address without a port gets
// its scheme's: 80 for http (and for one without a scheme), 443 for https.
struct Route {
    std::string proxy;
    std::string no_proxy;

    bool operator==(const Route&) const = default;
};

Route route_for(const ProxyEnv& env, std::string_view url);

// "404 Not Found"; a code outside the table has no phrase ("599").
std::string status_text(long code);

// Redirects followed before giving up.
inline constexpr int kMaxRedirects = 10;

// Stops a transfer from any thread, promptly: the transfer waits in
// curl_multi_poll, which request() wakes.
class Stop {
public:
    void request();
    bool requested();

private:
    friend class Transfer;
    std::mutex mu_;
    bool requested_ = false;
    void* multi_ = nullptr;  // the CURLM of the running transfer, if any
};

// A response body in the blocks it arrived in, each of kBodyBlock bytes
// but the last: growing it never moves what is in it.
using Body = std::vector<std::string>;
inline constexpr std::size_t kBodyBlock = std::size_t{1} << 20;

struct Failure {
    enum class Stage {
        Send,      // before the response head arrived: curl's error text
        Status,    // a final status outside 200..299: status_text
        Read,      // while the body was read: curl's error text
        TooLarge,  // the body is, or says it is, over max_body; no text
    };
    Stage stage;
    std::string text;
};

// Blocks until the whole body is in memory, failing as soon as it would pass
// max_body. Each hop is routed afresh; only http and https are spoken, and
// an address without one of them as its scheme is refused before anything
// is sent. A stopped transfer fails at the stage it was in.
// Transfers still running when the process exits are stopped and cleaned up
// before OpenSSL's own exit handler runs.
Result<Body, Failure> get(const std::string& url, const ProxyEnv& env, Stop& stop, std::size_t max_body);

// libcurl's process-wide set-up, once; it reads the environment, so call it
// first on a thread where that is safe. get() calls it too.
void init();

}  // namespace halvo::platform::http

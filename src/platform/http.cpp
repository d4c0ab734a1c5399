#include "platform/http.hpp"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "rt/exit_gate.hpp"
#include "rt/fork.hpp"

namespace halvo::platform::http {

namespace {

std::optional<std::string> variable(const Env& env, std::string_view upper, std::string_view lower) {
    if (auto v = env.text(upper)) return v;
    return env.text(lower);
}

// The scheme in lower case, empty when the address holds no "://".
std::string scheme_of(std::string_view url) {
    auto end = url.find("://");
    std::string scheme(url.substr(0, end == std::string_view::npos ? 0 : end));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return scheme;
}

// Transfers in flight, so that exit can stop them while OpenSSL still works.
// Never destroyed: it is used by the exit handler. A forked child has its
// own, without its parent's transfers.
rt::ExitGate& live() {
    constinit static rt::PerProcess<rt::ExitGate> gates;
    return gates.get();
}

// Registered after libcurl's set-up, so it runs before OpenSSL's own exit
// handler (atexit runs in reverse order): a worker still inside a transfer
// would otherwise touch OpenSSL while it is torn down.
void stop_transfers_at_exit() { live().close(std::chrono::seconds(5)); }

bool is_ok(long status) { return status >= 200 && status <= 299; }

struct Hop {
    CURL* easy = nullptr;
    std::size_t max_body = 0;
    bool head_done = false;
    bool too_large = false;
    bool out_of_memory = false;
    long status = 0;
    Body body;
    std::size_t size = 0;
};

size_t on_header(char* data, size_t size, size_t n, void* user) {
    auto* hop = static_cast<Hop*>(user);
    std::string_view line(data, size * n);
    if (line == "\r\n" || line == "\n") {
        long code = 0;
        curl_easy_getinfo(hop->easy, CURLINFO_RESPONSE_CODE, &code);
        if (code >= 200) {
            hop->head_done = true;
            hop->status = code;
        }
        curl_off_t length = -1;
        if (is_ok(code) && curl_easy_getinfo(hop->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
            length > 0 && static_cast<std::uint64_t>(length) > hop->max_body) {
            hop->too_large = true;
            return 0;  // refused before a byte of it is read
        }
    }
    return size * n;
}

// Appends in blocks that never move, so the body is never copied to grow.
size_t on_body(char* data, size_t size, size_t n, void* user) {
    auto* hop = static_cast<Hop*>(user);
    // The body of a redirect or an error status is not kept.
    if (!is_ok(hop->status)) return size * n;
    std::string_view rest(data, size * n);
    if (rest.size() > hop->max_body - hop->size) {
        hop->too_large = true;
        return 0;
    }
    hop->size += rest.size();
    // Nothing may unwind through libcurl.
    try {
        while (!rest.empty()) {
            if (hop->body.empty() || hop->body.back().size() == kBodyBlock) {
                hop->body.emplace_back();
                hop->body.back().reserve(kBodyBlock);
            }
            std::string& block = hop->body.back();
            const std::size_t take = std::min(rest.size(), kBodyBlock - block.size());
            block.append(rest.substr(0, take));
            rest.remove_prefix(take);
        }
    } catch (const std::bad_alloc&) {
        hop->out_of_memory = true;
        return 0;
    }
    return size * n;
}

// Where a proxy address names no port, the port of its scheme: libcurl
// would take 1080 for an http proxy. A proxy address without a scheme is an
// http one.
std::string with_port(std::string proxy) {
    const std::string scheme = scheme_of(proxy);
    const char* port = scheme.empty() || scheme == "http" ? "80" : scheme == "https" ? "443" : nullptr;
    if (!port) return proxy;
    const std::size_t start = proxy.find("://") == std::string::npos ? 0 : proxy.find("://") + 3;
    const std::size_t end = std::min(proxy.find_first_of("/?#", start), proxy.size());
    std::string_view authority = std::string_view(proxy).substr(start, end - start);
    const std::size_t at = authority.rfind('@');
    std::string_view host = at == std::string_view::npos ? authority : authority.substr(at + 1);
    // An IPv6 address holds colons of its own.
    const std::size_t colon = host.find(':', host.starts_with('[') ? std::min(host.find(']'), host.size()) : 0);
    if (colon == std::string_view::npos) return proxy.insert(end, std::string(":") + port);
    if (colon + 1 == host.size()) return proxy.insert(end, port);
    return proxy;
}

bool is_redirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

ProxyEnv proxy_env(const Env& env) {
    ProxyEnv p;
    p.cgi = env.get("REQUEST_METHOD").has_value();
    p.http = variable(env, "HTTP_PROXY", "http_proxy");
    p.https = variable(env, "HTTPS_PROXY", "https_proxy");
    p.all = variable(env, "ALL_PROXY", "all_proxy");
    p.no_proxy = variable(env, "NO_PROXY", "no_proxy");
    return p;
}

Route route_for(const ProxyEnv& env, std::string_view url) {
    if (env.cgi) return {};
    const std::string scheme = scheme_of(url);
    const std::optional<std::string>* chosen = nullptr;
    if (scheme == "http" && env.http) chosen = &env.http;
    if (scheme == "https" && env.https) chosen = &env.https;
    if (!chosen && env.all) chosen = &env.all;
    if (!chosen) return {};
    return {with_port(**chosen), env.no_proxy.value_or("")};
}

std::string status_text(long code) {
    static constexpr std::pair<long, std::string_view> kPhrases[] = {
        {100, "Continue"}, {101, "Switching Protocols"}, {102, "Processing"}, {103, "Early Hints"},
        {200, "OK"}, {201, "Created"}, {202, "Accepted"}, {203, "Non-Authoritative Information"},
        {204, "No Content"}, {205, "Reset Content"}, {206, "Partial Content"}, {207, "Multi-Status"},
        {208, "Already Reported"}, {226, "IM Used"},
        {300, "Multiple Choices"}, {301, "Moved Permanently"}, {302, "Found"}, {303, "See Other"},
        {304, "Not Modified"}, {305, "Use Proxy"}, {307, "Temporary Redirect"}, {308, "Permanent Redirect"},
        {400, "Bad Request"}, {401, "Unauthorized"}, {402, "Payment Required"}, {403, "Forbidden"},
        {404, "Not Found"}, {405, "Method Not Allowed"}, {406, "Not Acceptable"},
        {407, "Proxy Authentication Required"}, {408, "Request Timeout"}, {409, "Conflict"}, {410, "Gone"},
        {411, "Length Required"}, {412, "Precondition Failed"}, {413, "Payload Too Large"},
        {414, "URI Too Long"}, {415, "Unsupported Media Type"}, {416, "Range Not Satisfiable"},
        {417, "Expectation Failed"}, {418, "I'm a teapot"}, {421, "Misdirected Request"},
        {422, "Unprocessable Entity"}, {423, "Locked"}, {424, "Failed Dependency"}, {425, "Too Early"},
        {426, "Upgrade Required"}, {428, "Precondition Required"}, {429, "Too Many Requests"},
        {431, "Request Header Fields Too Large"}, {451, "Unavailable For Legal Reasons"},
        {500, "Internal Server Error"}, {501, "Not Implemented"}, {502, "Bad Gateway"},
        {503, "Service Unavailable"}, {504, "Gateway Timeout"}, {505, "HTTP Version Not Supported"},
        {506, "Variant Also Negotiates"}, {507, "Insufficient Storage"}, {508, "Loop Detected"},
        {510, "Not Extended"}, {511, "Network Authentication Required"},
    };
    std::string text = std::to_string(code);
    for (const auto& [c, phrase] : kPhrases) {
        if (c == code) {
            text += ' ';
            text += phrase;
        }
    }
    return text;
}

void init() {
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        live();
        std::atexit(&stop_transfers_at_exit);
    });
}

void Stop::request() {
    std::lock_guard lk(mu_);
    requested_ = true;
    if (multi_) curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

bool Stop::requested() {
    std::lock_guard lk(mu_);
    return requested_;
}

// The handles of one get(), reused across its hops, and its place among the
// live transfers.
class Transfer {
public:
    explicit Transfer(Stop& stop) : stop_(stop), pass_(live().enter([&stop] { stop.request(); })) {
        if (!pass_) return;
        easy_ = curl_easy_init();
        multi_ = curl_multi_init();
    }

    ~Transfer() {
        if (multi_) curl_multi_cleanup(multi_);
        if (easy_) curl_easy_cleanup(easy_);
    }

    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Empty when the transfer may run.
    std::optional<std::string> unusable() const {
        if (!pass_) return "the process is exiting";
        if (!easy_ || !multi_) return "cannot create a transfer handle";
        return std::nullopt;
    }

    // One request; the error text when it did not complete.
    std::optional<std::string> run(Hop& hop, const std::string& url, const Route& route) {
        char error[CURL_ERROR_SIZE] = {0};
        hop.easy = easy_;
        curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
        // Nothing is guessed: get() refuses an address without its scheme
        // before this, and a redirect may lead only to http or https.
        curl_easy_setopt(easy_, CURLOPT_DEFAULT_PROTOCOL, "https");
        curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy_, CURLOPT_PROXY, route.proxy.c_str());
        curl_easy_setopt(easy_, CURLOPT_NOPROXY, route.no_proxy.c_str());
        curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, error);
        curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &on_header);
        curl_easy_setopt(easy_, CURLOPT_HEADERDATA, &hop);
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &on_body);
        curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &hop);

        auto text = [&](CURLcode code) {
            return error[0] ? std::string(error) : std::string(curl_easy_strerror(code));
        };
        if (CURLMcode mc = curl_multi_add_handle(multi_, easy_); mc != CURLM_OK) return curl_multi_strerror(mc);
        {
            std::lock_guard lk(stop_.mu_);
            stop_.multi_ = multi_;
        }
        std::optional<std::string> outcome;
        for (;;) {
            int running = 0;
            if (CURLMcode mc = curl_multi_perform(multi_, &running); mc != CURLM_OK) {
                outcome = curl_multi_strerror(mc);
                break;
            }
            if (!running) {
                int queued = 0;
                CURLMsg* msg = curl_multi_info_read(multi_, &queued);
                if (msg && msg->msg == CURLMSG_DONE && msg->data.result != CURLE_OK) outcome = text(msg->data.result);
                break;
            }
            if (stop_.requested()) {
                outcome = "the transfer was stopped";
                break;
            }
            if (CURLMcode mc = curl_multi_poll(multi_, nullptr, 0, 1000, nullptr); mc != CURLM_OK) {
                outcome = curl_multi_strerror(mc);
                break;
            }
        }
        {
            std::lock_guard lk(stop_.mu_);
            stop_.multi_ = nullptr;
        }
        curl_multi_remove_handle(multi_, easy_);
        curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, nullptr);
        return outcome;
    }

    // Where the last response pointed, if anywhere.
    std::optional<std::string> redirect() const {
        char* next = nullptr;
        if (curl_easy_getinfo(easy_, CURLINFO_REDIRECT_URL, &next) != CURLE_OK || !next) return std::nullopt;
        return std::string(next);
    }

private:
    Stop& stop_;
    std::optional<rt::ExitGate::Pass> pass_;
    CURL* easy_ = nullptr;
    CURLM* multi_ = nullptr;
};

Result<Body, Failure> get(const std::string& url, const ProxyEnv& env, Stop& stop, std::size_t max_body) {
    init();
    Transfer transfer(stop);
    if (auto why = transfer.unusable()) return fail(Failure{Failure::Stage::Send, std::move(*why)});
    std::string current = url;
    for (int hops = 0;; ++hops) {
        const std::string scheme = scheme_of(current);
        if (scheme != "http" && scheme != "https")
            return fail(Failure{Failure::Stage::Send, "the address does not begin with http:// or https://"});
        Hop hop;
        hop.max_body = max_body;
        auto error = transfer.run(hop, current, route_for(env, current));
        if (hop.too_large) return fail(Failure{Failure::Stage::TooLarge, {}});
        if (hop.out_of_memory) return fail(Failure{Failure::Stage::Read, "out of memory for the body"});
        if (!hop.head_done) return fail(Failure{Failure::Stage::Send, error.value_or("no response")});
        if (is_redirect(hop.status)) {
            if (auto next = transfer.redirect()) {
                if (hops == kMaxRedirects)
                    return fail(Failure{Failure::Stage::Send,
                                        "more than " + std::to_string(kMaxRedirects) + " redirects"});
                current = std::move(*next);
                continue;
            }
        }
        if (!is_ok(hop.status)) return fail(Failure{Failure::Stage::Status, status_text(hop.status)});
        if (error) return fail(Failure{Failure::Stage::Read, std::move(*error)});
        return std::move(hop.body);
    }
}

}  // namespace halvo::platform::http

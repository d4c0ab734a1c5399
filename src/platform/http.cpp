#include "platform/http.hpp"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <utility>
#include <vector>


namespace halvo::platform::http {

namespace {

std::optional<std::string> variable(const Env& env, std::string_view upper, std::string_view lower) {
    if (auto v = env.text(upper)) return v;
    return env.text(lower);
}

std::string scheme_of(std::string_view url) {
    auto end = url.find("://");
    std::string scheme(url.substr(0, end == std::string_view::npos ? 0 : end));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return scheme;
}

// Transfers in flight, so that exit can stop them while OpenSSL still works.
// Never destroyed: it is used by the exit handler.
struct Live {
    pid_t owner = ::getpid();  // a forked child has none of these transfers
    std::mutex mu;
    std::condition_variable idle;
    std::vector<Stop*> stops;
    bool exiting = false;
};

Live& live() {
    static Live* l = new Live;
    return *l;
}

// Registered after libcurl's set-up, so it runs before OpenSSL's own exit
// handler (atexit runs in reverse order): a worker still inside a transfer
// would otherwise touch OpenSSL while it is torn down.
void stop_transfers_at_exit() {
    Live& l = live();
    if (::getpid() != l.owner) return;
    std::unique_lock lk(l.mu);
    l.exiting = true;
    for (Stop* s : l.stops) s->request();
    l.idle.wait_for(lk, std::chrono::seconds(5), [&] { return l.stops.empty(); });
}

struct Hop {
    CURL* easy = nullptr;
    bool head_done = false;
    long status = 0;
    std::string body;
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
    }
    return size * n;
}

size_t on_body(char* data, size_t size, size_t n, void* user) {
    auto* hop = static_cast<Hop*>(user);
    // The body of a redirect or an error status is not kept.
    if (hop->status >= 200 && hop->status <= 299) hop->body.append(data, size * n);
    return size * n;
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
    return {**chosen, env.no_proxy.value_or("")};
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
    explicit Transfer(Stop& stop) : stop_(stop) {
        Live& l = live();
        std::lock_guard lk(l.mu);
        if (l.exiting) return;
        l.stops.push_back(&stop_);
        registered_ = true;
        easy_ = curl_easy_init();
        multi_ = curl_multi_init();
    }

    ~Transfer() {
        if (multi_) curl_multi_cleanup(multi_);
        if (easy_) curl_easy_cleanup(easy_);
        if (!registered_) return;
        Live& l = live();
        std::lock_guard lk(l.mu);
        std::erase(l.stops, &stop_);
        if (l.stops.empty()) l.idle.notify_all();
    }

    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Empty when the transfer may run.
    std::optional<std::string> unusable() const {
        if (!registered_) return "the process is exiting";
        if (!easy_ || !multi_) return "cannot create a transfer handle";
        return std::nullopt;
    }

    // One request; the error text when it did not complete.
    std::optional<std::string> run(Hop& hop, const std::string& url, const Route& route) {
        char error[CURL_ERROR_SIZE] = {0};
        hop.easy = easy_;
        curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
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
    bool registered_ = false;
    CURL* easy_ = nullptr;
    CURLM* multi_ = nullptr;
};

Result<std::string, Failure> get(const std::string& url, const ProxyEnv& env, Stop& stop) {
    init();
    Transfer transfer(stop);
    if (auto why = transfer.unusable()) return fail(Failure{Failure::Stage::Send, std::move(*why)});
    std::string current = url;
    for (int hops = 0;; ++hops) {
        Hop hop;
        auto error = transfer.run(hop, current, route_for(env, current));
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
        if (hop.status < 200 || hop.status > 299) return fail(Failure{Failure::Stage::Status, status_text(hop.status)});
        if (error) return fail(Failure{Failure::Stage::Read, std::move(*error)});
        return std::move(hop.body);
    }
}

}  // namespace halvo::platform::http

#include <archive.h>
#include <archive_entry.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "install/ensure.hpp"
#include "platform/fd.hpp"
#include "platform/http.hpp"
#include "platform/tarball.hpp"
#include "platform/target.hpp"
#include "test_util.hpp"

namespace {

namespace http = halvo::platform::http;
namespace fs = std::filesystem;
using halvo::platform::Env;
using halvo::test::TempDir;

// ---- proxy choice, addresses ----

TEST(EnsureProxy, RouteTable) {
    struct Case {
        std::vector<std::string> env;
        const char* url;
        http::Route route;
    } cases[] = {
        {{}, "http://h/x", {}},
        {{"HTTP_PROXY=http://up:1", "http_proxy=http://low:1"}, "http://h/x", {"http://up:1", ""}},
        {{"http_proxy=http://low:1"}, "http://h/x", {"http://low:1", ""}},
        {{"HTTP_PROXY=", "http_proxy=http://low:1"}, "http://h/x", {"http://low:1", ""}},
        {{"HTTPS_PROXY=http://s:1"}, "http://h/x", {}},
        {{"HTTPS_PROXY=http://s:1", "HTTP_PROXY=http://p:1"}, "HTTPS://h/x", {"http://s:1", ""}},
        {{"https_proxy=http://s:1"}, "https://h/x", {"http://s:1", ""}},
        {{"all_proxy=socks5://a:1"}, "https://h/x", {"socks5://a:1", ""}},
        {{"ALL_PROXY=http://A:1", "all_proxy=http://a:1", "HTTP_PROXY=http://p:1"}, "https://h/x", {"http://A:1", ""}},
        {{"HTTP_PROXY=http://p:1", "NO_PROXY=127.0.0.1", "no_proxy=other"}, "http://h/x", {"http://p:1", "127.0.0.1"}},
        {{"HTTP_PROXY=http://p:1", "no_proxy=.example"}, "http://h/x", {"http://p:1", ".example"}},
        {{"REQUEST_METHOD=GET", "HTTPS_PROXY=http://s:1", "ALL_PROXY=http://a:1"}, "https://h/x", {}},
        {{"REQUEST_METHOD=", "HTTP_PROXY=http://p:1"}, "http://h/x", {}},
        {{"HTTP_PROXY=http://\xff:1"}, "http://h/x", {}},
        // A proxy without a port gets its scheme's.
        {{"HTTP_PROXY=http://proxy.corp"}, "http://h/x", {"http://proxy.corp:80", ""}},
        {{"HTTP_PROXY=http://proxy.corp/"}, "http://h/x", {"http://proxy.corp:80/", ""}},
        {{"HTTP_PROXY=http://proxy.corp:"}, "http://h/x", {"http://proxy.corp:80", ""}},
        {{"HTTP_PROXY=proxy.corp"}, "http://h/x", {"proxy.corp:80", ""}},
        {{"HTTP_PROXY=HTTP://u:pw@proxy.corp"}, "http://h/x", {"HTTP://u:pw@proxy.corp:80", ""}},
        {{"HTTPS_PROXY=https://proxy.corp?x"}, "https://h/x", {"https://proxy.corp:443?x", ""}},
        {{"HTTPS_PROXY=http://[::1]"}, "https://h/x", {"http://[::1]:80", ""}},
        {{"HTTPS_PROXY=http://[::1]:3128/"}, "https://h/x", {"http://[::1]:3128/", ""}},
        {{"HTTP_PROXY=proxy.corp:3128"}, "http://h/x", {"proxy.corp:3128", ""}},
        {{"ALL_PROXY=socks5://a"}, "https://h/x", {"socks5://a", ""}},
    };
    for (const auto& c : cases) {
        auto env = http::proxy_env(Env(c.env));
        EXPECT_EQ(http::route_for(env, c.url), c.route) << c.url << " " << ::testing::PrintToString(c.env);
    }
}

TEST(EnsureHttp, StatusText) {
    EXPECT_EQ(http::status_text(404), "404 Not Found");
    EXPECT_EQ(http::status_text(500), "500 Internal Server Error");
    EXPECT_EQ(http::status_text(418), "418 I'm a teapot");
    EXPECT_EQ(http::status_text(599), "599");
}

// ---- downloads from a server on loopback ----

// Answers each connection, one at a time, with `head` and then `body`,
// called until it returns false or a write fails; then closes it.
class Loopback {
public:
    using Body = std::function<bool(int fd)>;

    Loopback(std::string head, Body body) : head_(std::move(head)), body_(std::move(body)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("cannot listen on loopback");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~Loopback() {
        stopping_ = true;
        thread_.join();
        ::close(listener_);
    }

    std::string url(const std::string& scheme = "http://") const {
        return scheme + "127.0.0.1:" + std::to_string(port_) + "/a.tar.gz";
    }
    int accepted() const { return accepted_; }

    // Writes all of `data`; false when the client went.
    static bool send_all(int fd, std::string_view data) {
        while (!data.empty()) {
            ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            data.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }

private:
    void serve() {
        while (!stopping_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++accepted_;
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                request.append(buf, static_cast<size_t>(n));
            }
            if (send_all(fd, head_))
                while (!stopping_ && body_(fd)) {
                }
            ::close(fd);
        }
    }

    std::string head_;
    Body body_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<int> accepted_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// A body of `n` zero bytes, then the end of the connection.
Loopback::Body bytes(size_t n) {
    return [n](int fd) { return Loopback::send_all(fd, std::string(n, '\0')) && false; };
}

// Zero bytes until the client goes.
Loopback::Body endless() {
    return [](int fd) { return Loopback::send_all(fd, std::string(64 * 1024, '\0')); };
}

// Nothing, until the server is stopped.
Loopback::Body silence() {
    return [](int) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return true;
    };
}

std::string head(std::optional<size_t> length) {
    std::string h = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
    if (length) h += "Content-Length: " + std::to_string(*length) + "\r\n";
    return h + "\r\n";
}

TEST(EnsureHttp, BodiesUpToTheirLimit) {
    constexpr size_t kMax = 2 * http::kBodyBlock + 10;
    struct Case {
        const char* name;
        std::string head;
        Loopback::Body body;
        std::optional<std::vector<size_t>> blocks;  // none: refused as too large
    } cases[] = {
        {"exactly the limit", head(kMax), bytes(kMax), std::vector<size_t>{http::kBodyBlock, http::kBodyBlock, 10}},
        {"the limit, no length", head(std::nullopt), bytes(kMax),
         std::vector<size_t>{http::kBodyBlock, http::kBodyBlock, 10}},
        {"a small body", head(3), bytes(3), std::vector<size_t>{3}},
        {"one byte over, no length", head(std::nullopt), bytes(kMax + 1), std::nullopt},
        {"endless", head(std::nullopt), endless(), std::nullopt},
        {"a length over the limit, refused before the body", head(kMax + 1), silence(), std::nullopt},
    };
    for (auto& c : cases) {
        Loopback server(c.head, c.body);
        http::Stop stop;
        auto got = http::get(server.url(), {}, stop, kMax);
        if (c.blocks) {
            ASSERT_TRUE(got) << c.name << ": " << got.error().text;
            std::vector<size_t> sizes;
            for (const auto& b : *got) sizes.push_back(b.size());
            EXPECT_EQ(sizes, *c.blocks) << c.name;
        } else {
            ASSERT_FALSE(got) << c.name;
            EXPECT_EQ(got.error().stage, http::Failure::Stage::TooLarge) << c.name << ": " << got.error().text;
        }
    }
}

TEST(EnsureHttp, OnlyAddressesWithTheirSchemeAreFetched) {
    Loopback server(head(1), bytes(1));
    for (std::string scheme : {"", "//", "file://", "ftp://", "gopher://", " http://"}) {
        http::Stop stop;
        auto got = http::get(server.url(scheme), {}, stop, 100);
        ASSERT_FALSE(got) << scheme;
        EXPECT_EQ(got.error().stage, http::Failure::Stage::Send) << scheme;
        EXPECT_EQ(got.error().text, "the address does not begin with http:// or https://") << scheme;
    }
    EXPECT_EQ(server.accepted(), 0);
    http::Stop stop;
    EXPECT_TRUE(http::get(server.url("HTTP://"), {}, stop, 100));
}

TEST(EnsureSettings, AddressFromTheEnvironment) {
    struct Case {
        std::vector<std::string> env;
        std::string url;
    } cases[] = {
        {{}, "https://halvo-releases.s3.amazonaws.com/halvo-uvm/v0.1.2/halvo-uvm-{p}.tar.gz"},
        {{"HALVO_DIST_URL=http://127.0.0.1:9//", "HALVO_UVM_VERSION="},
         "http://127.0.0.1:9/halvo-uvm/v0.1.2/halvo-uvm-{p}.tar.gz"},
        {{"HALVO_DIST_URL=", "HALVO_UVM_VERSION=v9"}, "https://halvo-releases.s3.amazonaws.com/halvo-uvm/v9/halvo-uvm-{p}.tar.gz"},
        {{"HALVO_DIST_URL=http://a/b\xff", "HALVO_UVM_VERSION=v\xfe"},
         "https://halvo-releases.s3.amazonaws.com/halvo-uvm/v0.1.2/halvo-uvm-{p}.tar.gz"},
        {{"HALVO_DIST_URL=https://x/y/", "HALVO_UVM_VERSION=r/1"}, "https://x/y/halvo-uvm/r/1/halvo-uvm-{p}.tar.gz"},
        // What a path cannot hold is percent-encoded, byte by byte.
        {{"HALVO_DIST_URL=http://h", "HALVO_UVM_VERSION=v 1?a#b%c"},
         "http://h/halvo-uvm/v%201%3Fa%23b%25c/halvo-uvm-{p}.tar.gz"},
        {{"HALVO_DIST_URL=http://h", "HALVO_UVM_VERSION=r\xc3\xa9\"<>\\^`{|}"},
         "http://h/halvo-uvm/r%C3%A9%22%3C%3E%5C%5E%60%7B%7C%7D/halvo-uvm-{p}.tar.gz"},
        {{"HALVO_DIST_URL=http://h", "HALVO_UVM_VERSION=v-1._~!$&'()*+,;=:@"},
         "http://h/halvo-uvm/v-1._~!$&'()*+,;=:@/halvo-uvm-{p}.tar.gz"},
    };
    const std::string platform(halvo::ensure::platform_text());
    for (auto& c : cases) {
        std::string want = c.url;
        want.replace(want.find("{p}"), 3, platform);
        EXPECT_EQ(halvo::ensure::archive_url(halvo::ensure::settings_from("/r", Env(c.env))), want);
    }
    EXPECT_EQ(platform, std::string(halvo::platform::kTargetOs) + "-" + std::string(halvo::platform::kTargetArch));
#if defined(__linux__) && defined(__x86_64__)
    EXPECT_EQ(platform, "linux-x86_64");
#endif
}

// ---- archives made here with libarchive's writer ----

struct Entry {
    std::string path;
    mode_t type = AE_IFREG;
    int perm = 0644;
    std::string data{};
    std::string link{};  // symlink target, or hard-link target when `hard`
    bool hard = false;
    time_t mtime = 1'000'000'000;
};

la_ssize_t append(struct archive*, void* out, const void* buf, size_t n) {
    static_cast<std::string*>(out)->append(static_cast<const char*>(buf), n);
    return static_cast<la_ssize_t>(n);
}

std::string make_tar(const std::vector<Entry>& entries, bool gzip = true) {
    std::string out;
    struct archive* a = archive_write_new();
    archive_write_set_format_pax_restricted(a);
    if (gzip) archive_write_add_filter_gzip(a);
    // No padding after the gzip trailer, so the tests can reach it.
    archive_write_set_bytes_in_last_block(a, 1);
    archive_write_open(a, &out, nullptr, &append, nullptr);
    for (const auto& e : entries) {
        struct archive_entry* x = archive_entry_new();
        archive_entry_set_pathname(x, e.path.c_str());
        archive_entry_set_mtime(x, e.mtime, 0);
        if (e.hard) {
            archive_entry_set_filetype(x, AE_IFREG);
            archive_entry_set_hardlink(x, e.link.c_str());
        } else {
            archive_entry_set_filetype(x, e.type);
            if (e.type == AE_IFLNK) archive_entry_set_symlink(x, e.link.c_str());
            if (e.type == AE_IFREG) archive_entry_set_size(x, static_cast<la_int64_t>(e.data.size()));
        }
        archive_entry_set_perm(x, e.perm);
        archive_write_header(a, x);
        if (!e.data.empty()) archive_write_data(a, e.data.data(), e.data.size());
        archive_entry_free(x);
    }
    archive_write_close(a);
    archive_write_free(a);
    return out;
}

mode_t mode_of(const std::string& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return 0;
    return st.st_mode;
}

time_t mtime_of(const std::string& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st.st_mtime;
}

std::string unpack_error(const std::vector<std::string>& pieces, const std::string& dir) {
    auto r = halvo::platform::unpack_tar_gz(pieces, dir);
    return r ? "" : r.error().render();
}

std::string unpack_error(const std::string& archive, const std::string& dir) {
    return unpack_error(std::vector<std::string>{archive}, dir);
}

// The archive cut into pieces of `n` bytes, with empty pieces between.
std::vector<std::string> pieces_of(const std::string& archive, size_t n) {
    std::vector<std::string> out{""};
    for (size_t i = 0; i < archive.size(); i += n) {
        out.push_back(archive.substr(i, n));
        out.emplace_back();
    }
    return out;
}

struct Staging {
    TempDir tmp;
    std::string dir = tmp / "staging";
    std::string outside = tmp / "outside";
    Staging() {
        fs::create_directory(dir);
        fs::create_directory(outside);
    }
    bool outside_empty() const { return fs::is_empty(outside); }
};

TEST(EnsureTar, FilesFoldersModesAndTimes) {
    Staging s;
    auto tar = make_tar({
        {.path = "./halvo-uvm", .perm = 04755, .data = "#!/bin/sh\n", .mtime = 1'234'567'890},
        {.path = "share/", .type = AE_IFDIR, .perm = 0555, .mtime = 1'100'000'000},
        {.path = "share/doc/readme", .perm = 0600, .data = "hi", .mtime = 1'200'000'000},
        {.path = "share/doc", .type = AE_IFDIR, .perm = 02750, .mtime = 1'050'000'000},
        {.path = "share/link", .type = AE_IFLNK, .link = "doc/readme"},
        {.path = "hard", .link = "share/doc/readme", .hard = true},
    });
    ASSERT_EQ(unpack_error(tar, s.dir), "");
    EXPECT_EQ(mode_of(s.dir + "/halvo-uvm"), S_IFREG | 0755);
    EXPECT_EQ(mtime_of(s.dir + "/halvo-uvm"), 1'234'567'890);
    EXPECT_EQ(halvo::test::read_file(s.dir + "/share/doc/readme"), "hi");
    EXPECT_EQ(mode_of(s.dir + "/share/doc/readme"), S_IFREG | 0600);
    // Folder modes and times land after their contents.
    EXPECT_EQ(mode_of(s.dir + "/share"), S_IFDIR | 0555);
    EXPECT_EQ(mtime_of(s.dir + "/share"), 1'100'000'000);
    EXPECT_EQ(mode_of(s.dir + "/share/doc"), S_IFDIR | 0750);
    EXPECT_EQ(mtime_of(s.dir + "/share/doc"), 1'050'000'000);
    EXPECT_EQ(fs::read_symlink(s.dir + "/share/link"), "doc/readme");
    EXPECT_EQ(fs::hard_link_count(s.dir + "/hard"), 2u);
    EXPECT_TRUE(fs::equivalent(s.dir + "/hard", s.dir + "/share/doc/readme"));
    fs::permissions(s.dir + "/share", fs::perms::owner_all);
}

TEST(EnsureTar, ALaterEntryReplacesAnEarlierOne) {
    Staging s;
    fs::create_directory_symlink(s.outside, s.dir + "/d");
    auto tar = make_tar({
        {.path = "f", .data = "old"},
        {.path = "f", .data = "new"},
        {.path = "l", .type = AE_IFLNK, .link = s.outside + "/target"},
        {.path = "l", .data = "plain"},
        {.path = "d", .type = AE_IFDIR, .perm = 0755},
        {.path = "d/inside", .data = "x"},
    });
    ASSERT_EQ(unpack_error(tar, s.dir), "");
    EXPECT_EQ(halvo::test::read_file(s.dir + "/f"), "new");
    // Replaced, never written through.
    EXPECT_EQ(mode_of(s.dir + "/l"), S_IFREG | 0644);
    EXPECT_EQ(halvo::test::read_file(s.dir + "/l"), "plain");
    EXPECT_EQ(mode_of(s.dir + "/d"), S_IFDIR | 0755);
    EXPECT_TRUE(s.outside_empty());
}

TEST(EnsureTar, HostileEntries) {
    struct Case {
        const char* name;
        std::vector<Entry> entries;
        std::string error;  // empty: unpacks, skipping what it must
    } cases[] = {
        {"dotdot skipped", {{.path = "../escape", .data = "x"}, {.path = "a/../../escape2", .data = "x"}}, ""},
        {"absolute", {{.path = "/abs", .data = "x"}}, "entry \"/abs\" would be written outside the staging folder"},
        {"through a symlink",
         {{.path = "l", .type = AE_IFLNK, .link = "../outside"}, {.path = "l/evil", .data = "x"}},
         "entry \"l/evil\" would be written outside the staging folder"},
        {"through an absolute symlink",
         {{.path = "l", .type = AE_IFLNK, .link = "/"}, {.path = "l/tmp/evil", .data = "x"}},
         "entry \"l/tmp/evil\" would be written outside the staging folder"},
        {"hard link out", {{.path = "h", .link = "../outside/x", .hard = true}},
         "entry \"h\" links to \"../outside/x\" outside the staging folder"},
        {"hard link absolute", {{.path = "h", .link = "/etc/passwd", .hard = true}},
         "entry \"h\" links to \"/etc/passwd\" outside the staging folder"},
        {"hard link through a symlink",
         {{.path = "l", .type = AE_IFLNK, .link = "../outside"}, {.path = "h", .link = "l/secret", .hard = true}},
         "entry \"l/secret\" would be written outside the staging folder"},
        {"devices and fifos skipped",
         {{.path = "chr", .type = AE_IFCHR}, {.path = "blk", .type = AE_IFBLK}, {.path = "fifo", .type = AE_IFIFO}},
         ""},
    };
    for (const auto& c : cases) {
        Staging s;
        std::ofstream(s.outside + "/secret") << "s";
        EXPECT_EQ(unpack_error(make_tar(c.entries), s.dir), c.error) << c.name;
        EXPECT_EQ(fs::directory_iterator(s.outside)->path().filename(), "secret") << c.name;
        EXPECT_EQ(std::distance(fs::directory_iterator(s.outside), fs::directory_iterator()), 1) << c.name;
        EXPECT_FALSE(fs::exists(s.tmp / "escape")) << c.name;
        EXPECT_FALSE(fs::exists(s.tmp / "escape2")) << c.name;
        if (c.error.empty()) {
            EXPECT_TRUE(fs::is_empty(s.dir)) << c.name;
        }
    }
}

TEST(EnsureTar, GzipIsCheckedToItsTrailer) {
    const std::string good = make_tar({{.path = "halvo-uvm", .data = "#!/bin/sh\n"}});
    std::string bad_crc = good;
    bad_crc[bad_crc.size() - 8] ^= 0x01;
    std::string bad_size = good;
    bad_size[bad_size.size() - 4] ^= 0x01;
    struct Case {
        const char* name;
        std::string archive;
        std::string error;
    } cases[] = {
        {"good", good, ""},
        {"a second member is ignored", good + "\x1f\x8b garbage", ""},
        {"bad crc", bad_crc, "invalid gzip data: incorrect data check"},
        {"bad length", bad_size, "invalid gzip data: incorrect length check"},
        {"truncated", good.substr(0, good.size() - 3), "the gzip data ends early"},
        {"cut in the tar", good.substr(0, 20), "the gzip data ends early"},
        {"plain tar", make_tar({{.path = "halvo-uvm", .data = "x"}}, false), "invalid gzip data: incorrect header check"},
        {"empty", "", "the gzip data ends early"},
    };
    for (const auto& c : cases) {
        Staging s;
        EXPECT_EQ(unpack_error(c.archive, s.dir), c.error) << c.name;
        // The same bytes arriving in pieces of every size read the same.
        for (size_t n : {1, 7, 512}) {
            Staging p;
            EXPECT_EQ(unpack_error(pieces_of(c.archive, n), p.dir), c.error) << c.name << " in pieces of " << n;
        }
    }
}

TEST(EnsureTar, RemoveTreeNeverFollowsLinks) {
    Staging s;
    std::ofstream(s.outside + "/keep") << "k";
    fs::create_directories(s.dir + "/a/b");
    fs::create_directory_symlink(s.outside, s.dir + "/a/b/out");
    fs::create_directory_symlink(s.outside, s.dir + "/a/out2");
    ::chmod((s.dir + "/a").c_str(), 0500);
    ASSERT_TRUE(halvo::platform::remove_tree(s.dir));
    EXPECT_FALSE(fs::exists(fs::symlink_status(s.dir)));
    EXPECT_EQ(halvo::test::read_file(s.outside + "/keep"), "k");

    fs::create_directory_symlink(s.outside, s.dir);
    ASSERT_TRUE(halvo::platform::remove_tree(s.dir));
    EXPECT_TRUE(fs::exists(s.outside + "/keep"));
    auto missing = halvo::platform::remove_tree(s.dir);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().os_errno, ENOENT);
}

// Lowers the soft limit of descriptors to `spare` above the highest one
// open now, for as long as it lives.
class FewDescriptors {
public:
    explicit FewDescriptors(rlim_t spare) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlim_t highest = 0;
        for (const auto& e : fs::directory_iterator("/proc/self/fd"))
            highest = std::max<rlim_t>(highest, std::stoul(e.path().filename()));
        struct rlimit low = saved_;
        low.rlim_cur = highest + 1 + spare;
        ::setrlimit(RLIMIT_NOFILE, &low);
    }
    ~FewDescriptors() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    FewDescriptors(const FewDescriptors&) = delete;
    FewDescriptors& operator=(const FewDescriptors&) = delete;

private:
    struct rlimit saved_ {};
};

std::string deep_path(int levels) {
    std::string path;
    for (int i = 0; i < levels; ++i) path += "d/";
    return path;
}

TEST(EnsureTar, DeepTreesNeedFewDescriptors) {
    Staging s;
    const std::string deep = deep_path(1100);
    auto tar = make_tar({
        {.path = deep + "leaf", .data = "x"},
        {.path = deep_path(600), .type = AE_IFDIR, .perm = 0500},
        {.path = deep_path(3) + "file", .data = "y"},
    });
    FewDescriptors few(8);
    ASSERT_EQ(unpack_error(tar, s.dir), "");
    EXPECT_EQ(halvo::test::read_file(s.dir + "/" + deep + "leaf"), "x");
    EXPECT_EQ(mode_of(s.dir + "/" + deep_path(600)), S_IFDIR | 0500);
    ASSERT_TRUE(halvo::platform::remove_tree(s.dir));
    EXPECT_FALSE(fs::exists(s.dir));
}

TEST(EnsureTar, FoldersThatDenyTheirOwnerAreRemoved) {
    // As root nothing is denied: the owner here is another user.
    const uid_t nobody = 65534;
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    TempDir tmp;
    ::chmod(tmp.path().c_str(), 0777);
    pid_t child = ::fork();
    if (child == 0) {
        // Never back into the test runner from here. The folders above may
        // be closed to that user: it works from inside.
        std::error_code ec;
        if (::chdir(tmp.path().c_str()) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0 ||
            !fs::create_directories("tree/a/b/c", ec))
            ::_exit(2);
        std::ofstream("tree/a/b/c/f") << "x";
        ::chmod("tree/a/b/c", 0);
        ::chmod("tree/a/b", 0100);  // may be passed, not listed
        ::chmod("tree/a", 0);
        ::chmod("tree", 0400);
        ::_exit(halvo::platform::remove_tree("tree") ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "tree")));
    if (fs::exists(fs::symlink_status(tmp / "tree"))) (void)halvo::platform::remove_tree(tmp / "tree");
}

// ---- the unpack into bin ----

std::string staging_of(const std::string& root, pid_t pid = ::getpid()) {
    return root + "/.bin." + std::to_string(pid) + ".part";
}

std::string unpack_into(const std::string& archive, const std::string& root) {
    auto r = halvo::ensure::unpack(std::vector<std::string>{archive}, root, "halvo-uvm");
    return r ? "" : r.error().render();
}

TEST(EnsureUnpack, ADeepTreeInstallsAgainWithFewDescriptors) {
    TempDir root;
    const std::string deep = deep_path(1100);
    auto tar = make_tar({
        {.path = deep + "leaf", .data = "x"},
        {.path = "halvo-uvm", .perm = 0755, .data = "#!/bin/sh\n"},
    });
    {
        FewDescriptors few(8);
        // The second replaces bin/d whole.
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(unpack_into(tar, root.path()), "") << i;
            EXPECT_EQ(halvo::test::read_file(root / "bin/" + deep + "leaf"), "x");
            EXPECT_FALSE(fs::exists(staging_of(root.path())));
        }
    }
    // Deeper than std::filesystem::remove_all goes within the usual limit.
    EXPECT_TRUE(halvo::platform::remove_tree(root / "bin"));
}

// A process id that names no process: a child that has been reaped.
pid_t dead_pid() {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

TEST(EnsureUnpack, StagingFoldersOfDeadProcessesGo) {
    TempDir root;
    pid_t live = ::fork();
    if (live == 0) {
        ::pause();
        ::_exit(0);
    }
    const pid_t dead = dead_pid(), dead_locked = dead_pid();
    struct Case {
        std::string name;
        bool kept;
    } cases[] = {
        {staging_of(root.path(), dead), false},
        {staging_of(root.path(), live), true},  // a live install's
        {staging_of(root.path(), dead_locked), true},  // locked: a live install in another pid namespace
        {root / ".bin.x1.part", true},
        {root / ".bin.0.part", true},
        {root / ".bin.-1.part", true},
        {root / "bin.7.part", true},
    };
    for (const auto& c : cases) {
        fs::create_directories(c.name + "/inner/deeper");
        std::ofstream(c.name + "/inner/f") << "x";
    }
    ::chmod((staging_of(root.path(), dead) + "/inner").c_str(), 0500);
    auto lock = halvo::platform::lock_folder(staging_of(root.path(), dead_locked));
    ASSERT_TRUE(lock);
    auto tar = make_tar({{.path = "halvo-uvm", .perm = 0755, .data = "#!/bin/sh\n"}});
    EXPECT_EQ(unpack_into(tar, root.path()), "");
    for (const auto& c : cases) EXPECT_EQ(fs::exists(c.name + "/inner/f"), c.kept) << c.name;
    EXPECT_FALSE(fs::exists(staging_of(root.path(), dead)));
    ::kill(live, SIGKILL);
    ::waitpid(live, nullptr, 0);
}

// A live install of another pid namespace may share our process id, and so
// our staging folder's name: held by it, the folder is neither cleared nor
// taken over, and the install fails.
TEST(EnsureUnpack, AStagingFolderOfOurIdHeldElsewhereIsLeftAlone) {
    TempDir root;
    fs::create_directories(staging_of(root.path()) + "/theirs");
    auto lock = halvo::platform::lock_folder(staging_of(root.path()));
    ASSERT_TRUE(lock);
    auto tar = make_tar({{.path = "halvo-uvm", .perm = 0755, .data = "#!/bin/sh\n"}});
    EXPECT_NE(unpack_into(tar, root.path()), "");
    EXPECT_TRUE(fs::exists(staging_of(root.path()) + "/theirs"));
    EXPECT_FALSE(fs::exists(root / "bin/halvo-uvm"));
}

TEST(EnsureUnpack, MovesEntriesIntoBinServerLast) {
    TempDir root;
    fs::create_directories(root / "bin/share/old");
    std::ofstream(root / "bin/extra") << "mine";
    // A stale staging folder of this pid is cleared first.
    fs::create_directories(staging_of(root.path()) + "/stale");
    auto tar = make_tar({
        {.path = "share/new", .data = "n"},
        {.path = "halvo-uvm", .perm = 0755, .data = "#!/bin/sh\n"},
        {.path = "lib.so", .data = "l"},
    });
    ASSERT_EQ(unpack_into(tar, root.path()), "");
    EXPECT_FALSE(fs::exists(root / "bin/share/old"));
    EXPECT_EQ(halvo::test::read_file(root / "bin/share/new"), "n");
    EXPECT_EQ(halvo::test::read_file(root / "bin/extra"), "mine");
    EXPECT_EQ(halvo::test::read_file(root / "bin/lib.so"), "l");
    EXPECT_EQ(mode_of(root / "bin/halvo-uvm"), S_IFREG | 0755);
    EXPECT_FALSE(fs::exists(root / "bin/stale"));
    EXPECT_FALSE(fs::exists(staging_of(root.path())));
}

TEST(EnsureUnpack, FailuresLeaveBinAndNoStaging) {
    TempDir root;
    fs::create_directories(root / "bin");
    std::ofstream(root / "bin/extra") << "mine";
    const std::string staging = staging_of(root.path());
    struct Case {
        std::string archive;
        std::string error;
    } cases[] = {
        {make_tar({{.path = "other", .data = "x"}}), "the halvo-uvm archive has no halvo-uvm"},
        {make_tar({{.path = "halvo-uvm", .type = AE_IFDIR}}), "the halvo-uvm archive has no halvo-uvm"},
        {make_tar({{.path = "x", .data = "x"}, {.path = "/abs", .data = "x"}}),
         "unpacking the halvo-uvm archive: entry \"/abs\" would be written outside the staging folder"},
        {"not gzip at all", "unpacking the halvo-uvm archive: invalid gzip data: incorrect header check"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unpack_into(c.archive, root.path()), c.error);
        EXPECT_FALSE(fs::exists(staging)) << c.error;
        EXPECT_EQ(std::distance(fs::directory_iterator(root / "bin"), fs::directory_iterator()), 1) << c.error;
    }
}

TEST(EnsureUnpack, BinThatIsAFileFailsCreating) {
    TempDir root;
    std::ofstream(root / "bin") << "not a folder";
    auto tar = make_tar({{.path = "halvo-uvm", .perm = 0755, .data = "x"}});
    const std::string err = unpack_into(tar, root.path());
    EXPECT_EQ(err.rfind("creating " + (root / "bin") + ": ", 0), 0u) << err;
    EXPECT_FALSE(fs::exists(staging_of(root.path())));
}

TEST(EnsureUnpack, ReplaceTexts) {
    TempDir root;
    fs::create_directories(root / "src");
    fs::create_directories(root / "dst/inner");
    std::ofstream(root / "dst/inner/f") << "x";
    ASSERT_TRUE(halvo::ensure::replace(root / "src", root / "dst"));
    EXPECT_TRUE(fs::is_empty(root / "dst"));
    auto missing = halvo::ensure::replace(root / "nothing", root / "dst2");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().render(), "moving " + (root / "nothing") + " to " + (root / "dst2") +
                                            ": No such file or directory (os error 2)");
    std::ofstream(root / "file") << "f";
    auto onto_dir = halvo::ensure::replace(root / "file", root / "dst");
    ASSERT_FALSE(onto_dir);
    EXPECT_EQ(onto_dir.error().render(),
              "moving " + (root / "file") + " to " + (root / "dst") + ": Is a directory (os error 21)");
}

}  // namespace

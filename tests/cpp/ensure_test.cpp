#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "install/ensure.hpp"
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
    std::string data = {};
    std::string link = {};  // symlink target, or hard-link target when `hard`
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

std::string unpack_error(const std::string& archive, const std::string& dir) {
    auto r = halvo::platform::unpack_tar_gz(archive, dir);
    return r ? "" : r.error().render();
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

// ---- the unpack into bin ----

std::string staging_of(const std::string& root) { return root + "/.bin." + std::to_string(::getpid()) + ".part"; }

std::string unpack_into(const std::string& archive, const std::string& root) {
    auto r = halvo::ensure::unpack(archive, root, "halvo-uvm");
    return r ? "" : r.error().render();
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

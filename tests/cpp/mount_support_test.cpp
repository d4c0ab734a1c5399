// The loader and the support check, each case in a fresh process with a
// stand-in library first on LD_LIBRARY_PATH; and the pure pieces the
// callbacks and the table are built from.
#include <fcntl.h>

#include <filesystem>

#include "fs/mount/impl/fuse_t.hpp"
#include "fs/mount/mount.hpp"
#include "mount_test_util.hpp"

namespace halvo::fs::mount::test {
namespace {

std::filesystem::path build_dir() { return std::filesystem::read_symlink("/proc/self/exe").parent_path(); }

// The helper's two lines for `support`, run under `prefix` with the
// library path given.
std::string support_output(const std::string& library_path, std::vector<std::string> prefix = {}) {
    std::string out_file = (std::filesystem::temp_directory_path() / "halvo-support-XXXXXX").string();
    int fd = ::mkstemp(out_file.data());
    EXPECT_GE(fd, 0);
    std::vector<std::string> argv = std::move(prefix);
    argv.push_back((build_dir() / "halvo_fs_helper").string());
    argv.push_back("support");
    platform::Command cmd(argv.front(), std::vector<std::string>(argv.begin() + 1, argv.end()));
    platform::Env env = platform::environ_snapshot();
    if (!library_path.empty()) env.set("LD_LIBRARY_PATH", library_path);
    cmd.env = std::move(env);
    cmd.out = platform::Stdio::from_fd(fd);
    auto child = platform::spawn(std::move(cmd));
    EXPECT_TRUE(child);
    EXPECT_TRUE(child->wait_for(std::chrono::seconds(20)));
    ::close(fd);
    std::string out = read_file(out_file);
    std::filesystem::remove(out_file);
    return out;
}

TEST(MountSupport, EachLoadStatusGivesItsAdvice) {
    struct Case {
        std::string fake;  // "" for the real library
        std::string output;
    };
    const std::vector<Case> cases = {
        {"", "status=1 api=29 release=2.9.9\nusable\n"},
        {"old",
         "status=4 api=28 release=2.8.0\nlibfuse 2.8.0 is installed, and halvo needs libfuse 2.9.0 or later: "
         "apt-get install --only-upgrade libfuse2, or install it from the Debian packages\n"},
        {"v3",
         "status=3 api=29 release=3.0.0\nlibfuse 3.0.0 is installed, and halvo is checked against libfuse 2.x "
         "(last 2.9.9): install libfuse 2.9.9 with apt-get install fuse libfuse2\n"},
        {"api30",
         "status=2 api=30 release=2.9.9\nthe installed libfuse speaks libfuse API 30, and halvo is built for "
         "libfuse 2 (26 to 29): install libfuse 2.9.9 with apt-get install fuse libfuse2\n"},
        {"partial",
         "status=0 api=29 release=2.9.9\nmounting on Linux needs FUSE 2 (libfuse.so.2), which is not installed: "
         "apt-get install fuse, or libfuse2 beside fuse3\n"},
    };
    for (const auto& c : cases) {
        std::string dir = c.fake.empty() ? "" : (build_dir() / "fakefuse" / c.fake).string();
        EXPECT_EQ(support_output(dir), c.output) << (c.fake.empty() ? "real" : c.fake);
    }
}

TEST(MountSupport, MissingDeviceIsNamed) {
    std::string out = support_output(
        "", {"unshare", "-m", "sh", "-c", "mount -t tmpfs none /dev && exec \"$0\" \"$@\""});
    EXPECT_EQ(out,
              "status=1 api=29 release=2.9.9\nFUSE is installed without its device (/dev/fuse): load the fuse module "
              "(modprobe fuse)\n");
}

TEST(MountSupport, ReleasesCompareByNumericParts) {
    struct Case {
        const char *a, *b;
        int sign;
    };
    for (const auto& c : std::vector<Case>{{"1.2", "1.2.9", -1},
                                           {"1.2.9.1", "1.2.9", 1},
                                           {"1.3", "1.2.9", 1},
                                           {"1.2.9-beta", "1.2.9", 0},
                                           {"2.10.0", "2.9.9", 1},
                                           {"", "0", 0},
                                           {"x.1", "0.1", 0}}) {
        int r = platform::compare_release(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
    }
}

TEST(MountTable, MountinfoLinesAreDecoded) {
    auto entries = platform::parse_mountinfo(
        "45 27 0:40 / /tmp/m\\040x\\011y\\134z rw,relatime - fuse halvo rw,user_id=0\n"
        "46 27 0:41 / /tmp/n rw shared:5 master:1 - tmpfs tmp\\040fs rw\n"
        "broken\n");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].mount_point, "/tmp/m x\ty\\z");
    EXPECT_TRUE(platform::is_fuse_mount_named(entries[0], "halvo"));
    EXPECT_EQ(entries[1].mount_point, "/tmp/n");
    EXPECT_EQ(entries[1].fstype, "tmpfs");
    EXPECT_EQ(entries[1].source, "tmp fs");
    EXPECT_FALSE(platform::is_fuse_mount_named(entries[1], "halvo"));
}

TEST(MountCallbacks, OpenFlagsFromThePlatformsBits) {
    using impl::fuse_t::decode_flags;
    EXPECT_FALSE(decode_flags(O_ACCMODE));
    auto append = decode_flags(O_WRONLY | O_APPEND);
    ASSERT_TRUE(append);
    EXPECT_TRUE(append->write);
    EXPECT_FALSE(append->truncate) << "O_APPEND must never read as truncate";
    EXPECT_FALSE(append->create);
    auto all = decode_flags(O_RDWR | O_CREAT | O_EXCL | O_TRUNC);
    ASSERT_TRUE(all);
    EXPECT_TRUE(all->read && all->write && all->create && all->create_new && all->truncate);
    auto ro_trunc = decode_flags(O_RDONLY | O_TRUNC);
    ASSERT_TRUE(ro_trunc);
    EXPECT_TRUE(ro_trunc->read && !ro_trunc->write && ro_trunc->truncate);
}

TEST(MountCallbacks, AttributesFromAStat) {
    using filesystem::Stat;
    using filesystem::WallTime;
    using impl::fuse_t::to_halvo_stat;
    for (auto [size, blocks] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 0}, {1, 1}, {512, 1}, {513, 2}}) {
        Stat st;
        st.size = size;
        EXPECT_EQ(to_halvo_stat(7, st).blocks, blocks) << size;
    }
    Stat dir;
    dir.type = filesystem::FileType::Dir;
    dir.mode = 0750;
    auto a = to_halvo_stat(9, dir);
    EXPECT_EQ(a.inode, 9u);
    EXPECT_EQ(a.mode, 040750u) << "the node's own permission bits";
    EXPECT_EQ(a.nlink, 1u);
    EXPECT_EQ(a.blksize, 512u);
    EXPECT_EQ(a.mtime.sec, 0);
    EXPECT_EQ(a.atime.sec, 0);

    Stat file;
    file.modified = WallTime{1000, 5};
    file.mode = 04755;
    a = to_halvo_stat(3, file);
    EXPECT_EQ(a.mode, 0104755u);
    EXPECT_EQ(a.atime.sec, 1000);
    EXPECT_EQ(a.ctime.nsec, 5);
    file.modified = WallTime{-10, 7};
    file.accessed = WallTime{20, 0};
    a = to_halvo_stat(3, file);
    EXPECT_EQ(a.mtime.sec, 0);
    EXPECT_EQ(a.mtime.nsec, 0) << "before the epoch reads as the epoch";
    EXPECT_EQ(a.atime.sec, 20);
}

TEST(MountInterface, UrlAndHostPath) {
    PathMount plain("/Users/x/data");
    EXPECT_EQ(plain.url(), "file:///Users/x/data");
    EXPECT_EQ(plain.host_path("b/c"), "/Users/x/data/b/c");
    EXPECT_EQ(plain.host_path("/etc"), "/etc");
    EXPECT_FALSE(PathMount("rel/dir").url());
    EXPECT_FALSE(PathMount("/bad\xff").url());
    EXPECT_EQ(PathMount("/a b").url(), "file:///a b") << "no percent-encoding";
    BoxedMount boxed(std::make_unique<PathMount>("/Users/x/data"));
    EXPECT_EQ(boxed.mountpoint(), "/Users/x/data");
    EXPECT_EQ(boxed.url(), plain.url());
    EXPECT_EQ(boxed.host_path("b/c"), plain.host_path("b/c"));
}

}  // namespace
}  // namespace halvo::fs::mount::test

// Mounting and taking down for real: the happy path, each way mounting
// fails, and the tear-down's two standard-error lines.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include <gmock/gmock.h>

#include "fs/mount/claim.hpp"
#include "mount_test_util.hpp"
#include "base/quote.hpp"

namespace halvo::fs::mount::test {
namespace {

using ::testing::HasSubstr;

std::unique_ptr<Directory> small_tree() {
    auto t = std::make_unique<Directory>();
    EXPECT_TRUE(t->add_file("hello", "hi"));
    return t;
}

void write_script(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0755);
}

// A pid that no process has any more.
pid_t dead_pid() {
    auto child = platform::spawn(platform::Command("true"));
    EXPECT_TRUE(child);
    pid_t pid = child->pid();
    EXPECT_TRUE(child->wait_for(std::chrono::seconds(5)));
    return pid;
}

TEST_F(MountTest, MountServesAndReleaseLeavesNothing) {
    std::string mp = folder("mnt");
    ::testing::internal::CaptureStderr();
    {
        auto m = FuseTMount::mount(small_tree(), mp);
        ASSERT_TRUE(m) << m.error().text();
        EXPECT_EQ((*m)->mountpoint(), mp);
        struct stat a, b;
        ASSERT_EQ(::stat(mp.c_str(), &a), 0);
        ASSERT_EQ(::stat(root_.c_str(), &b), 0);
        EXPECT_NE(a.st_dev, b.st_dev);
        EXPECT_EQ(read_file(mp + "/hello"), "hi");

        auto recs = records();
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_EQ(recs[0], std::to_string(::getpid()) + "-" + recs[0].substr(recs[0].find('-') + 1));
        char real[PATH_MAX];
        ASSERT_NE(::realpath(root_.c_str(), real), nullptr);
        struct stat mounted;
        ASSERT_EQ(::stat(mp.c_str(), &mounted), 0);
        EXPECT_EQ(read_file(registry() + "/" + recs[0]),
                  std::string(real) + "/mnt\n" + std::to_string(major(mounted.st_dev)) + ":" +
                      std::to_string(minor(mounted.st_dev)))
            << "resolved, then the mount's device";
        EXPECT_TRUE(claim::watchdog_pid());
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(listed(mp));
    EXPECT_TRUE(records().empty());
}

TEST_F(MountTest, MountFailuresAndTheirErrors) {
    std::string full = folder("full");
    std::ofstream(full + "/x") << "x";
    std::string missing = root_ + "/missing";
    for (const auto& mp : {full, missing}) {
        ::testing::internal::CaptureStderr();
        auto m = FuseTMount::mount(small_tree(), mp);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "only our own error, nothing of libfuse's";
        ASSERT_FALSE(m) << mp;
        EXPECT_EQ(m.error().kind, ErrorKind::Other) << mp;
        EXPECT_EQ(m.error().text(), "FUSE could not mount " + mp +
                                        ": is fuse installed, and does the mount point exist and is it empty?");
        EXPECT_FALSE(listed(mp));
    }
    // Never mounted where tearing down would reach other mounts.
    for (std::string mp : {"/", "/..", "//", "a/.."}) {
        auto m = FuseTMount::mount(small_tree(), mp);
        ASSERT_FALSE(m) << mp;
        EXPECT_EQ(m.error().kind, ErrorKind::InvalidInput) << mp;
        EXPECT_EQ(m.error().text(), "cannot mount on " + halvo::quoted(mp) + ": it has no parent folder");
    }
    EXPECT_TRUE(records().empty());
}

TEST_F(MountTest, NulInTheMountPointFailsAfterTheReclaim) {
    std::filesystem::create_directories(registry());
    std::string planted = registry() + "/" + std::to_string(dead_pid()) + "-0";
    std::ofstream(planted) << root_ << "/gone";
    auto m = FuseTMount::mount(small_tree(), folder("mnt") + std::string("\0x", 2));
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().kind, ErrorKind::InvalidFilename);
    EXPECT_FALSE(m.error().message);
    EXPECT_FALSE(std::filesystem::exists(planted)) << "the reclaim runs first";
}

TEST_F(MountTest, HostFolderAtUnderOrAboveTheMountPointIsRefused) {
    std::string mp = folder("mnt");
    for (const auto& host : {mp, root_, root_ + "/mnt/inner"}) {
        auto tree = small_tree();
        ASSERT_TRUE(tree->mount("h", host));
        auto m = FuseTMount::mount(std::move(tree), mp);
        ASSERT_FALSE(m) << host;
        EXPECT_EQ(m.error().kind, ErrorKind::InvalidInput);
        EXPECT_FALSE(listed(mp));
    }
}

TEST_F(MountTest, RelativeMountPointIsReportedAsGivenAndTakenDownWhole) {
    std::string mp = folder("mnt");
    char cwd[PATH_MAX];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(root_.c_str()), 0);
    {
        auto m = FuseTMount::mount(small_tree(), "mnt");
        ASSERT_EQ(::chdir(cwd), 0);
        ASSERT_TRUE(m) << m.error().text();
        EXPECT_EQ((*m)->mountpoint(), "mnt");
        EXPECT_TRUE(listed(mp));
        auto recs = records();
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_TRUE(pathx::is_absolute(read_file(registry() + "/" + recs[0])));
    }
    EXPECT_FALSE(listed(mp));
    EXPECT_TRUE(records().empty());
}

// A regular file can be mounted on, but the root then claims to be a folder
// and stat fails: the wait runs out. This is the one real-length wait.
TEST_F(MountTest, MountThatNeverAppearsTimesOutAndIsTornDown) {
    std::string file = root_ + "/file";
    std::ofstream{file};
    auto m = FuseTMount::mount(small_tree(), file);
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().kind, ErrorKind::TimedOut);
    EXPECT_EQ(m.error().text(), "FUSE did not finish mounting " + file + " within 10s");
    EXPECT_FALSE(listed(file));
    EXPECT_TRUE(records().empty());
}

TEST_F(MountTest, BusyMountComesDownAtRelease) {
    std::string mp = folder("mnt");
    auto m = FuseTMount::mount(small_tree(), mp);
    ASSERT_TRUE(m) << m.error().text();
    int fd = ::open((mp + "/hello").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ::testing::internal::CaptureStderr();
    m->reset();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(listed(mp));
    EXPECT_TRUE(records().empty());
    ::close(fd);
}

TEST_F(MountTest, MountThatWouldNotUnmountIsReportedAndKeepsItsRecord) {
    std::string mp = folder("mnt");
    auto m = FuseTMount::mount(small_tree(), mp, quick_timings());
    ASSERT_TRUE(m) << m.error().text();
    std::string bin = folder("bin");
    write_script(bin + "/umount", "exit 1\n");
    std::string path = std::getenv("PATH");
    ::setenv("PATH", (bin + ":" + path).c_str(), 1);
    ::testing::internal::CaptureStderr();
    m->reset();
    std::string err = ::testing::internal::GetCapturedStderr();
    ::setenv("PATH", path.c_str(), 1);

    char real[PATH_MAX];
    ASSERT_NE(::realpath(mp.c_str(), real), nullptr);
    EXPECT_EQ(err, "halvo: " + std::string(real) + " would not unmount \u2014 take it down by hand\n");
    EXPECT_EQ(records().size(), 1u) << "left for the watchdog or a later reclaim";
    EXPECT_TRUE(listed(mp));
    EXPECT_TRUE(table::unmount_under(mp));
}

TEST_F(MountTest, ServingThreadThatWillNotStopIsLeftAllocated) {
    // A session that nobody serves: every request into it waits until the
    // session is destroyed.
    std::string host = folder("host-folder");
    std::string stuck = folder("host-folder/stuck");
    platform::FuseTHandle* dead =
        platform::halvo_fuse_t_mount(stuck.c_str(), "halvo", nullptr, &impl::fuse_t::callbacks());
    ASSERT_NE(dead, nullptr);

    auto tree = small_tree();
    ASSERT_TRUE(tree->mount("h", host));
    std::string mp = folder("mnt");
    auto m = FuseTMount::mount(std::move(tree), mp, quick_timings());
    ASSERT_TRUE(m) << m.error().text();

    // The serving thread blocks in the host call this stat needs.
    std::thread caller([&] {
        struct stat st;
        (void)::stat((mp + "/h/stuck/x").c_str(), &st);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::testing::internal::CaptureStderr();
    m->reset();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("halvo: the thread serving " + mp +
                               " did not stop within 1s; leaving its session and filesystem allocated\n"));

    // Ending the unserved session unblocks everything.
    platform::halvo_fuse_t_destroy(dead);
    caller.join();
    (void)platform::run_command("umount", {"-l", stuck}, std::chrono::seconds(5), std::chrono::milliseconds(20));
    if (listed(mp)) (void)table::unmount_under(mp);
}

TEST_F(MountTest, SharedMountComesDownWithItsLastHolder) {
    std::string mp = folder("mnt");
    auto m = FuseTMount::mount(small_tree(), mp);
    ASSERT_TRUE(m) << m.error().text();
    auto shared = std::make_shared<impl::Shared>(std::move(m).value());
    std::shared_ptr<Mount> console_copy = shared;
    EXPECT_EQ(console_copy->mountpoint(), mp);
    EXPECT_EQ(console_copy->url(), "file://" + mp);
    shared.reset();
    EXPECT_TRUE(listed(mp)) << "a holder is left";
    console_copy.reset();
    EXPECT_FALSE(listed(mp));

    auto again = std::make_shared<impl::Shared>(std::move(FuseTMount::mount(small_tree(), mp)).value());
    auto taken = again->take();
    ASSERT_TRUE(taken);
    EXPECT_FALSE(again->take()) << "a repeat finds nothing to take down";
    taken.reset();
    EXPECT_FALSE(listed(mp));
    EXPECT_EQ(again->mountpoint(), mp);
}

TEST_F(MountTest, SomethingStackedOnTopIsNeverUnmounted) {
    std::string mp = folder("mnt");
    auto m = FuseTMount::mount(small_tree(), mp);
    ASSERT_TRUE(m) << m.error().text();
    ASSERT_EQ(::mount("tmpfs", mp.c_str(), "tmpfs", 0, nullptr), 0) << std::strerror(errno);
    std::ofstream(mp + "/user-file") << "mine";
    ::testing::internal::CaptureStderr();
    m->reset();
    std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(read_file(mp + "/user-file"), "mine") << "the tmpfs on top must stay";
    EXPECT_THAT(err, HasSubstr(mp + " has another mount on top of it"));
    EXPECT_EQ(records().size(), 1u) << "left for a later clean-up";
    ASSERT_EQ(::umount(mp.c_str()), 0);
    EXPECT_EQ(table::place_of(mp), table::Place::OnTop);
    EXPECT_TRUE(table::unmount_under(mp));
}

TEST_F(MountTest, ALinkAsMountPointIsTakenDownWhereItLeads) {
    std::string target = folder("target");
    std::string link = root_ + "/link";
    std::filesystem::create_directory_symlink(target, link);
    {
        auto m = FuseTMount::mount(small_tree(), link);
        ASSERT_TRUE(m) << m.error().text();
        EXPECT_EQ((*m)->mountpoint(), link);
        EXPECT_TRUE(listed(target));
        EXPECT_EQ(read_file(link + "/hello"), "hi");
    }
    EXPECT_FALSE(listed(target));
    EXPECT_TRUE(records().empty());
}

TEST_F(MountTest, HiddenFilesGoWithTheMount) {
    std::string host = folder("host-folder");
    auto tree = small_tree();
    ASSERT_TRUE(tree->mount("h", host));
    std::string mp = folder("mnt");
    auto m = FuseTMount::mount(std::move(tree), mp);
    ASSERT_TRUE(m) << m.error().text();
    std::ofstream(mp + "/h/f") << "data";
    int fd = ::open((mp + "/h/f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::unlink((mp + "/h/f").c_str()), 0);
    ASSERT_EQ(dir_names(host).size(), 1u) << "hidden while open";
    m->reset();
    EXPECT_TRUE(dir_names(host).empty()) << "nothing hidden may outlive the mount";
    char c;
    EXPECT_EQ(::read(fd, &c, 1), -1);
    EXPECT_EQ(errno, ENOTCONN) << "open files fail at once after the tear-down";
    ::close(fd);
}

// ---- the mount table ----

TEST_F(MountTest, TableFindsEscapedPathsAndMatchesByComponents) {
    std::string odd = folder("a b\tc\\d");
    std::string m = folder("m");
    std::string mx = folder("mx");
    auto one = FuseTMount::mount(small_tree(), odd);
    ASSERT_TRUE(one) << one.error().text();
    auto two = FuseTMount::mount(small_tree(), mx);
    ASSERT_TRUE(two) << two.error().text();

    EXPECT_EQ(table::mounts_under(odd), std::vector<std::string>{odd});
    EXPECT_EQ(table::own_mounts_at(odd), std::vector<std::string>{odd});
    EXPECT_TRUE(table::mounts_under(m).empty()) << "/m does not cover /mx";
    EXPECT_EQ(table::mounts_under(root_), (std::vector<std::string>{odd, mx}));
    EXPECT_TRUE(table::unmount_under(odd));
    EXPECT_FALSE(listed(odd));
}

TEST_F(MountTest, ResolvedCanonicalizesOnlyTheParent) {
    std::string real = folder("real");
    std::filesystem::create_directory_symlink(real, root_ + "/link");
    std::filesystem::create_directory_symlink(real, root_ + "/real/last-link");
    char canon[PATH_MAX];
    ASSERT_NE(::realpath(real.c_str(), canon), nullptr);
    EXPECT_EQ(table::resolved(root_ + "/link/mnt"), std::string(canon) + "/mnt");
    EXPECT_EQ(table::resolved(root_ + "/link/last-link"), std::string(canon) + "/last-link");
    for (std::string same : {"/", "/missing/mnt", "mnt", "a/.."}) EXPECT_EQ(table::resolved(same), same);
}

TEST_F(MountTest, UnmountLadderKillsAHungCommandAndActsOnlyOnOurMounts) {
    std::string bin = folder("bin");
    std::string log = root_ + "/log";
    // Rung 1 hangs; the lazy detach of rung 2 is passed to the real umount.
    write_script(bin + "/umount", "echo \"$*\" >>" + log +
                                      "\nif [ \"$1\" = -l ]; then exec /usr/bin/umount \"$@\"; fi\nexec sleep 100\n");
    std::string mp = folder("mnt");
    auto m = FuseTMount::mount(small_tree(), mp);
    ASSERT_TRUE(m) << m.error().text();

    std::string tmpfs = folder("tmpfs");
    ASSERT_EQ(::mount("halvo", tmpfs.c_str(), "tmpfs", 0, nullptr), 0) << std::strerror(errno);

    std::string path = std::getenv("PATH");
    ::setenv("PATH", (bin + ":" + path).c_str(), 1);
    auto start = std::chrono::steady_clock::now();
    bool gone = table::unmount_under(mp);
    auto took = std::chrono::steady_clock::now() - start;
    // Not ours: a tmpfs, even one named like us, is never touched.
    bool other = table::unmount_under(tmpfs);
    ::setenv("PATH", path.c_str(), 1);

    EXPECT_TRUE(gone);
    EXPECT_FALSE(listed(mp));
    EXPECT_GE(took, std::chrono::milliseconds(2900)) << "the hung rung is given its 3 s";
    EXPECT_EQ(read_file(log), "-c " + mp + "\n-l -c " + mp + "\n");
    EXPECT_TRUE(other);
    EXPECT_TRUE(listed(tmpfs));
    ::umount(tmpfs.c_str());
    m->reset();
}

}  // namespace
}  // namespace halvo::fs::mount::test

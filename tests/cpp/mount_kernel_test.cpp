// What a program sees through a real mount: every case runs through the
// kernel with plain system calls, over an in-memory parent and over a host
// folder placed in the tree.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "mount_test_util.hpp"

namespace halvo::fs::mount::test {
namespace {

constexpr int kListed = 3000;

class KernelTest : public MountTest, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        MountTest::SetUp();
        if (HasFatalFailure()) return;
        host_ = folder("host-folder");
        mp_ = folder("mnt");
        auto tree = std::make_unique<Directory>();
        ASSERT_TRUE(tree->add_file("mem/seed", "s"));
        ASSERT_TRUE(tree->mount("host", host_));
        auto m = FuseTMount::mount(std::move(tree), mp_);
        ASSERT_TRUE(m) << m.error().text();
        mount_ = std::move(m).value();
        dir_ = mp_ + "/" + GetParam();
    }

    void TearDown() override {
        mount_.reset();
        MountTest::TearDown();
    }

    std::string p(const std::string& rel) const { return dir_ + "/" + rel; }

    static std::string read_fd(int fd) {
        std::string out(1 << 16, '\0');
        ssize_t n = ::pread(fd, out.data(), out.size(), 0);
        out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return out;
    }

    static void put(const std::string& path, const std::string& content) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
        ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ASSERT_EQ(::close(fd), 0);
    }

    std::string host_, mp_, dir_;
    std::unique_ptr<FuseTMount> mount_;
};

TEST_P(KernelTest, UnlinkWhileOpenKeepsServingTheDescriptors) {
    put(p("f"), "abc");
    int a = ::open(p("f").c_str(), O_RDWR);
    int b = ::open(p("f").c_str(), O_RDONLY);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_EQ(::unlink(p("f").c_str()), 0);

    struct stat st;
    EXPECT_EQ(::stat(p("f").c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(read_fd(a), "abc");
    ASSERT_EQ(::pwrite(a, "XY", 2, 3), 2);
    for (const auto& n : dir_names(dir_)) EXPECT_EQ(n.find(".halvo-unlinked-"), std::string::npos) << n;

    // The file outlives the first close, and goes with the last.
    ASSERT_EQ(::close(a), 0);
    EXPECT_EQ(read_fd(b), "abcXY");
    ASSERT_EQ(::close(b), 0);
    if (GetParam() == "host") {
        EXPECT_TRUE(eventually([&] { return dir_names(host_).empty(); })) << "a hidden file stayed behind";
    }
}

TEST_P(KernelTest, OpenFlagsAsTheCallerMeansThem) {
    put(p("f"), "hello");
    int fd = ::open(p("f").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, " world", 6), 6);
    ::close(fd);
    EXPECT_EQ(read_file(p("f")), "hello world") << "an append-open must neither truncate nor overwrite";

    fd = ::open(p("f").c_str(), O_RDONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(read_file(p("f")), "");

    put(p("f"), "again");
    fd = ::open(p("f").c_str(), O_RDWR | O_TRUNC);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(read_file(p("f")), "");

    EXPECT_EQ(::open(p("f").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(::open(p("f").c_str(), O_ACCMODE), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_P(KernelTest, LargeWritesAndReadsRoundTrip) {
    std::string data(3 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
    put(p("big"), data);
    EXPECT_EQ(read_file(p("big")), data);
    struct stat st;
    ASSERT_EQ(::stat(p("big").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(data.size()));
    EXPECT_EQ(st.st_blocks, static_cast<blkcnt_t>(data.size() / 512));
}

TEST_P(KernelTest, ErrnoAsTheCallerSeesIt) {
    ASSERT_EQ(::mkdir(p("d").c_str(), 0755), 0);
    put(p("d/x"), "x");
    EXPECT_EQ(::rmdir(p("d").c_str()), -1);
    EXPECT_EQ(errno, ENOTEMPTY);

    // Across the in-memory tree and the host folder.
    std::string other = GetParam() == "mem" ? mp_ + "/host/x" : mp_ + "/mem/x";
    EXPECT_EQ(::rename(p("d/x").c_str(), other.c_str()), -1);
    EXPECT_EQ(errno, EXDEV);

    // The host folder's place in the tree belongs to the tree.
    EXPECT_EQ(::rename((mp_ + "/host").c_str(), (mp_ + "/renamed").c_str()), -1);
    EXPECT_EQ(errno, EROFS);

    EXPECT_EQ(::unlink(p("missing").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(MountTest, InMemoryLimitsReachTheCaller) {
    std::string mp = folder("mnt");
    auto m = FuseTMount::mount(std::make_unique<Directory>(), mp);
    ASSERT_TRUE(m) << m.error().text();

    int fd = ::open((mp + "/f").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::pwrite(fd, "x", 1, off_t{1} << 30), -1);
    EXPECT_EQ(errno, EFBIG);
    ::close(fd);

    EXPECT_EQ(::open((mp + "/\xff").c_str(), O_WRONLY | O_CREAT, 0644), -1);
    EXPECT_EQ(errno, EINVAL);

    // The kernel never sees ENOSYS-like silence: a failed open is reported.
    EXPECT_EQ(::open((mp + "/missing").c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_P(KernelTest, InodeNumbersAgreeAndSurviveARename) {
    ASSERT_EQ(::mkdir(p("d").c_str(), 0755), 0);
    put(p("d/a"), "1");
    put(p("d/b"), "2");

    std::map<std::string, ino_t> listed;
    DIR* d = ::opendir(p("d").c_str());
    ASSERT_NE(d, nullptr);
    while (dirent* e = ::readdir(d)) listed[e->d_name] = e->d_ino;
    ::closedir(d);
    std::map<std::string, ino_t> before;
    for (const char* n : {"a", "b"}) {
        struct stat st;
        ASSERT_EQ(::stat(p(std::string("d/") + n).c_str(), &st), 0);
        EXPECT_EQ(st.st_ino, listed[n]) << n;
        before[n] = st.st_ino;
    }

    ASSERT_EQ(::rename(p("d").c_str(), p("e").c_str()), 0);
    for (const char* n : {"a", "b"}) {
        struct stat st;
        ASSERT_EQ(::stat(p(std::string("e/") + n).c_str(), &st), 0);
        EXPECT_EQ(st.st_ino, before[n]) << n;
    }
}

TEST_P(KernelTest, StatvfsFigures) {
    struct statvfs st;
    ASSERT_EQ(::statvfs(dir_.c_str(), &st), 0);
    EXPECT_EQ(st.f_bsize, 512u);
    EXPECT_EQ(st.f_frsize, 512u);
    EXPECT_EQ(st.f_blocks, std::uint64_t{1} << 31);
    EXPECT_EQ(st.f_bavail, std::uint64_t{1} << 31);
    EXPECT_EQ(st.f_files, std::uint64_t{1} << 32);
    EXPECT_EQ(st.f_namemax, 255u);
}

INSTANTIATE_TEST_SUITE_P(Parents, KernelTest, ::testing::Values("mem", "host"),
                         [](const auto& info) { return info.param; });

TEST_F(MountTest, LargeListingAcrossManyReaddirRequests) {
    // Long names fill a readdir reply after a few dozen entries, so the
    // listing takes many requests and every resume offset is used.
    std::string host = folder("host-folder");
    auto tree = std::make_unique<Directory>();
    std::set<std::string> want;
    for (int i = 0; i < kListed; ++i) {
        std::string name = std::string(200, 'n') + std::to_string(i);
        want.insert(name);
        ASSERT_TRUE(tree->add_file("mem/" + name, ""));
        std::ofstream(host + "/" + name).put('x');
    }
    ASSERT_TRUE(tree->mount("host", host));
    std::string mp = folder("mnt");
    auto m = FuseTMount::mount(std::move(tree), mp);
    ASSERT_TRUE(m) << m.error().text();

    for (const char* parent : {"mem", "host"}) {
        std::multiset<std::string> seen;
        std::set<ino_t> inodes;
        DIR* d = ::opendir((mp + "/" + parent).c_str());
        ASSERT_NE(d, nullptr);
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            seen.insert(n);
            inodes.insert(e->d_ino);
        }
        ::closedir(d);
        EXPECT_EQ(seen.size(), want.size()) << parent;
        EXPECT_TRUE(std::equal(want.begin(), want.end(), std::set<std::string>(seen.begin(), seen.end()).begin()))
            << parent;
        EXPECT_EQ(inodes.size(), want.size()) << parent << ": numbers must be distinct";
    }
}

}  // namespace
}  // namespace halvo::fs::mount::test

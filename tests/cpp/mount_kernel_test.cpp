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

TEST_P(KernelTest, DeletingEveryEntryWhileListingEmptiesTheFolder) {
    ASSERT_EQ(::mkdir(p("many").c_str(), 0755), 0);
    for (int i = 0; i < kListed; ++i) put(p("many/f" + std::to_string(i)), "");
    DIR* d = ::opendir(p("many").c_str());
    ASSERT_NE(d, nullptr);
    int removed = 0;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != ".." && ::unlink(p("many/" + n).c_str()) == 0) ++removed;
    }
    ::closedir(d);
    EXPECT_EQ(removed, kListed);
    EXPECT_TRUE(dir_names(p("many")).empty());
    EXPECT_EQ(::rmdir(p("many").c_str()), 0) << std::strerror(errno);
}

TEST_P(KernelTest, CreatingWhileListingNeitherSkipsNorRepeats) {
    ASSERT_EQ(::mkdir(p("grow").c_str(), 0755), 0);
    std::set<std::string> old;
    for (int i = 0; i < 2000; ++i) {
        old.insert("old" + std::to_string(i));
        put(p("grow/old" + std::to_string(i)), "");
    }
    DIR* d = ::opendir(p("grow").c_str());
    ASSERT_NE(d, nullptr);
    std::multiset<std::string> seen;
    int made = 0;
    // Bounded: a listing that keeps finding the new names never ends.
    while (dirent* e = ::readdir(d)) {
        seen.insert(e->d_name);
        put(p("grow/new" + std::to_string(made++)), "");
        if (made > 3 * static_cast<int>(old.size())) break;
    }
    ::closedir(d);
    for (const auto& n : old) EXPECT_EQ(seen.count(n), 1u) << n;
    for (const auto& n : seen) EXPECT_EQ(seen.count(n), 1u) << n;
}

std::string run_program(const std::string& path) {
    platform::Command cmd(path);
    cmd.out = platform::Stdio::piped();
    auto child = platform::spawn(std::move(cmd));
    if (!child) return "<" + child.error().text() + ">";
    std::string out;
    char buf[256];
    for (ssize_t n; (n = ::read(child->stdout_pipe().get(), buf, sizeof buf)) > 0;) out.append(buf, n);
    auto status = child->wait_for(std::chrono::seconds(10));
    if (!status || !*status || !(*status)->success()) out += "<failed>";
    return out;
}

mode_t perms(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST_P(KernelTest, ModesAndTimesStick) {
    mode_t mask = ::umask(022);
    put(p("script"), "#!/bin/sh\necho ran\n");
    EXPECT_EQ(perms(p("script")), 0644u);
    EXPECT_NE(::access(p("script").c_str(), X_OK), 0) << "nothing may run it yet";
    ASSERT_EQ(::chmod(p("script").c_str(), 0755), 0) << std::strerror(errno);
    EXPECT_EQ(perms(p("script")), 0755u);
    EXPECT_EQ(::access(p("script").c_str(), X_OK), 0);
    EXPECT_EQ(run_program(p("script")), "ran\n");

    const timespec times[2] = {{1000, 7}, {2000, 9}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p("script").c_str(), times, 0), 0) << std::strerror(errno);
    struct stat st;
    ASSERT_EQ(::stat(p("script").c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, 1000);
    EXPECT_EQ(st.st_atim.tv_nsec, 7);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 9);
    ASSERT_EQ(::utimensat(AT_FDCWD, p("script").c_str(), nullptr, 0), 0);  // touch
    ASSERT_EQ(::stat(p("script").c_str(), &st), 0);
    EXPECT_GT(st.st_mtim.tv_sec, 2000);

    // O_TRUNC of an empty file is a change all the same.
    put(p("empty"), "");
    ASSERT_EQ(::utimensat(AT_FDCWD, p("empty").c_str(), times, 0), 0);
    int fd = ::open(p("empty").c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(::stat(p("empty").c_str(), &st), 0);
    EXPECT_GT(st.st_mtim.tv_sec, 2000);

    // New nodes take the asked bits and this process's owner; root may give
    // them away, and the owner sticks.
    fd = ::open(p("exe").c_str(), O_WRONLY | O_CREAT, 0750);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(perms(p("exe")), 0750u);
    ASSERT_EQ(::mkdir(p("private").c_str(), 0700), 0);
    EXPECT_EQ(perms(p("private")), 0700u);
    ASSERT_EQ(::stat(p("exe").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_gid, ::getegid());
    ASSERT_EQ(::chown(p("exe").c_str(), 12345, 23456), 0) << std::strerror(errno);
    ASSERT_EQ(::chown(p("private").c_str(), -1, 23456), 0) << std::strerror(errno);
    ASSERT_EQ(::stat(p("exe").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 12345u);
    EXPECT_EQ(st.st_gid, 23456u);
    EXPECT_EQ(perms(p("exe")), 0750u);
    ASSERT_EQ(::stat(p("private").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::geteuid()) << "an owner not given stays";
    EXPECT_EQ(st.st_gid, 23456u);
    if (GetParam() == "host") {
        ASSERT_EQ(::stat((host_ + "/exe").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 12345u) << "given on the host";
        EXPECT_EQ(perms(host_ + "/script"), 0755u);
        EXPECT_EQ(perms(host_ + "/exe"), 0750u);
        std::ofstream(host_ + "/own") << "x";
        ::chmod((host_ + "/own").c_str(), 0711);
        EXPECT_EQ(perms(p("own")), 0711u) << "a host file's own bits";
    }
    ::umask(mask);
}

// Every hidden name below `dir` on the host.
std::vector<std::string> hidden_below(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec))
        if (e.path().filename().string().starts_with(".halvo-unlinked-")) out.push_back(e.path().string());
    return out;
}

TEST_P(KernelTest, AFolderHoldingOnlyHiddenFilesIsEmpty) {
    ASSERT_EQ(::mkdir(p("d").c_str(), 0755), 0);
    put(p("d/a"), "kept");
    int fd = ::open(p("d/a").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::unlink(p("d/a").c_str()), 0);
    EXPECT_EQ(::rmdir(p("d").c_str()), 0) << std::strerror(errno);
    EXPECT_EQ(read_fd(fd), "kept");
    ::close(fd);

    // A pack replaced while open, then everything removed at once.
    ASSERT_EQ(::mkdir(p("repo").c_str(), 0755), 0);
    put(p("repo/pack"), "old");
    fd = ::open(p("repo/pack").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    put(p("repo/tmp"), "new");
    ASSERT_EQ(::rename(p("repo/tmp").c_str(), p("repo/pack").c_str()), 0);
    ::close(fd);
    std::error_code ec;
    std::filesystem::remove_all(p("repo"), ec);
    EXPECT_FALSE(ec) << ec.message();
    if (GetParam() == "host") {
        EXPECT_TRUE(eventually([&] { return hidden_below(host_).empty(); })) << "a hidden file stayed behind";
    }
}

TEST_P(KernelTest, NamesAreBytesOfAtMost255) {
    std::string longest(255, 'n');
    put(p(longest), "x");
    EXPECT_EQ(read_file(p(longest)), "x");
    EXPECT_EQ(::open(p(longest + "n").c_str(), O_WRONLY | O_CREAT, 0644), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(::mkdir(p(longest + "n").c_str(), 0755), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    if (GetParam() != "host") return;
    // Whatever the host holds can be listed, opened, renamed and removed.
    const std::string odd = "caf\xe9 \xff\xfe";
    std::ofstream(host_ + "/" + odd) << "latin-1";
    auto listed = dir_names(dir_);
    ASSERT_NE(std::find(listed.begin(), listed.end(), odd), listed.end());
    EXPECT_EQ(read_file(p(odd)), "latin-1");
    ASSERT_EQ(::rename(p(odd).c_str(), p(odd + "2").c_str()), 0);
    EXPECT_EQ(read_file(host_ + "/" + odd + "2"), "latin-1");
    EXPECT_EQ(::unlink(p(odd + "2").c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(host_ + "/" + odd + "2"));
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

TEST_F(MountTest, TwoMountsOfOneHostFolderKeepEachOpenFilesBytes) {
    std::string host = folder("shared");
    std::vector<std::unique_ptr<FuseTMount>> mounts;
    std::vector<std::string> points;
    for (const char* name : {"one", "two"}) {
        auto tree = std::make_unique<Directory>();
        ASSERT_TRUE(tree->mount("h", host));
        points.push_back(folder(name));
        auto m = FuseTMount::mount(std::move(tree), points.back());
        ASSERT_TRUE(m) << m.error().text();
        mounts.push_back(std::move(m).value());
    }
    // The same steps on each mount give the two files the same numbers.
    const std::string a = points[0] + "/h/a", b = points[1] + "/h/b";
    std::ofstream(a) << "from a";
    std::ofstream(b) << "from b";
    int fa = ::open(a.c_str(), O_RDONLY), fb = ::open(b.c_str(), O_RDONLY);
    ASSERT_GE(fa, 0);
    ASSERT_GE(fb, 0);
    ASSERT_EQ(::unlink(a.c_str()), 0);
    ASSERT_EQ(::unlink(b.c_str()), 0);
    char buf[16] = {};
    EXPECT_EQ(std::string(buf, std::max<ssize_t>(0, ::pread(fa, buf, sizeof buf, 0))), "from a");
    EXPECT_EQ(std::string(buf, std::max<ssize_t>(0, ::pread(fb, buf, sizeof buf, 0))), "from b");
    ::close(fa);
    ::close(fb);
    EXPECT_TRUE(eventually([&] { return dir_names(host).empty(); })) << "a hidden file stayed behind";
}

}  // namespace
}  // namespace halvo::fs::mount::test

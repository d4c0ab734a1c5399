#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "fs/filesystem/impl/passthrough.hpp"
#include "fs_test_util.hpp"

using namespace halvo;
using namespace halvo::fs::filesystem;
using namespace halvo::fs::filesystem::impl;
using namespace halvo::fs::test;

namespace {

void link(const std::string& target, const std::string& at) { ASSERT_EQ(::symlink(target.c_str(), at.c_str()), 0) << at; }

// root/ holds file ("hello"), sub/x, links in and out, and a chain of links
// c0 -> c1 -> ... -> c40 -> sub; outside/ lies beside root/.
struct LinkFolder {
    TempDir tmp;
    std::string root = tmp / "root";

    LinkFolder() {
        std::filesystem::create_directories(root + "/sub");
        std::filesystem::create_directories(tmp / "outside");
        write_host_file(tmp / "outside/secret", "secret");
        write_host_file(root + "/file", "hello");
        write_host_file(root + "/sub/x", "x");
        link(tmp / "outside", root + "/out_abs");
        link("../outside", root + "/out_rel");
        link("sub/../../outside/secret", root + "/out_climb");
        link("sub", root + "/in_dir");
        link(std::filesystem::canonical(root).string() + "/sub", root + "/abs_in");
        link("nowhere", root + "/dangling");
        for (int i = 0; i < 40; ++i) link("c" + std::to_string(i + 1), root + "/c" + std::to_string(i));
        link("sub", root + "/c40");
    }
};

}  // namespace

TEST(PassthroughFs, LinksNeverLeaveTheFolder) {
    LinkFolder f;
    PassthroughFs fs(f.root);
    std::uint8_t buf[16];
    auto v = [](auto r) -> IoResult<void> {
        if (!r) return fail(std::move(r).error());
        return {};
    };
    struct Case {
        const char* what;
        std::function<IoResult<void>()> op;
        std::optional<ErrorKind> want;  // nothing: success
    };
    const Case cases[] = {
        {"stat of a link out is of the link", [&] { return v(fs.stat("out_abs")); }, std::nullopt},
        {"stat below an absolute link out", [&] { return v(fs.stat("out_abs/secret")); }, ErrorKind::NotFound},
        {"read through a relative link out", [&] { return v(fs.read_at("out_rel/secret", buf, 0)); },
         ErrorKind::NotFound},
        {"list through a link out", [&] { return v(fs.list("out_rel")); }, ErrorKind::NotFound},
        {"read through a link that climbs out", [&] { return v(fs.read_at("out_climb", buf, 0)); },
         ErrorKind::NotFound},
        {"write through a link out", [&] { return v(fs.write_at("out_abs/secret", bytes("x"), 0)); },
         ErrorKind::NotFound},
        {"create below a link out", [&] { return v(fs.create("out_abs/new")); }, ErrorKind::NotFound},
        {"a link inside", [&] { return v(fs.stat("in_dir/x")); }, std::nullopt},
        // Absolute targets are never followed here, inside or not: the
        // kernel follows them on the mount's side.
        {"an absolute link inside", [&] { return v(fs.read_at("abs_in/x", buf, 0)); }, ErrorKind::NotFound},
        {"40 links", [&] { return v(fs.stat("c1/x")); }, std::nullopt},
        {"41 links", [&] { return v(fs.read_at("c0", buf, 0)); }, ErrorKind::NotFound},
        {"41 links, below", [&] { return v(fs.stat("c0/x")); }, ErrorKind::NotFound},
        {"dot-dot at depth 0", [&] { return v(fs.stat("..")); }, ErrorKind::InvalidFilename},
        {"dot-dot that climbs out", [&] { return v(fs.stat("sub/../../root")); }, ErrorKind::InvalidFilename},
        {"dot-dot that stays inside", [&] { return v(fs.stat("sub/../file")); }, std::nullopt},
        {"create over a dangling link", [&] { return v(fs.create("dangling")); }, ErrorKind::AlreadyExists},
        {"rmdir of a link to a directory", [&] { return fs.rmdir("in_dir"); }, ErrorKind::NotADirectory},
        {"unlink of a directory", [&] { return fs.unlink("sub"); }, ErrorKind::IsADirectory},
        {"write to a missing file does not create it", [&] { return v(fs.write_at("nope", bytes("x"), 0)); },
         ErrorKind::NotFound},
        {"list of a file", [&] { return v(fs.list("file")); }, ErrorKind::NotADirectory},
    };
    for (const auto& c : cases) EXPECT_EQ(kind_of(c.op()), c.want) << c.what;

    // Host refusals keep their own number; the tree's own checks are bare kinds.
    auto exists = fs.create("dangling");
    ASSERT_FALSE(exists);
    EXPECT_EQ(exists.error().os_errno, EEXIST);
    EXPECT_EQ(fs.rmdir("in_dir").error().os_errno, 0);

    // Removing a link out removes only the link.
    EXPECT_TRUE(fs.unlink("out_abs"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(f.root + "/out_abs")));
    EXPECT_EQ(read_file(f.tmp / "outside/secret"), "secret");
}

TEST(PassthroughFs, ListingsShowLinksAsLinks) {
    LinkFolder f;
    PassthroughFs fs(f.root);
    auto entries = fs.list("");
    ASSERT_TRUE(entries) << entries.error().text();
    std::map<std::string, FileType> type;
    for (const auto& e : *entries) {
        EXPECT_FALSE(e.stat) << e.name;
        type[e.name] = e.type;
    }
    EXPECT_EQ(type.at("sub"), FileType::Dir);
    EXPECT_EQ(type.at("file"), FileType::File);
    for (const char* n : {"in_dir", "abs_in", "c1", "out_abs", "dangling"}) EXPECT_EQ(type.at(n), FileType::Symlink) << n;
    EXPECT_EQ(ok(fs.list("in_dir")).value_or(std::vector<Dirent>{}).size(), 1u);
    EXPECT_EQ(ok(fs.readlink("out_rel")), "../outside");
    EXPECT_EQ(ok(fs.stat("in_dir")).value_or(Stat{}).type, FileType::Symlink);
}

TEST(PassthroughFs, NamesAreTheHostsBytesSortedByBytes) {
    TempDir tmp;
    for (const char* n : {"b", "ab", "\xff", "a", "B"}) write_host_file(tmp / n, "");
    ::mkdir((tmp / "a.d").c_str(), 0777);
    PassthroughFs fs(tmp.path());
    auto entries = fs.list("/");
    ASSERT_TRUE(entries);
    EXPECT_EQ(names(*entries), (std::vector<std::string>{"B", "a", "a.d", "ab", "b", "\xff"}));
    EXPECT_TRUE((*entries)[2].is_dir());
}

TEST(PassthroughFs, HostCalls) {
    TempDir tmp;
    std::string root = tmp / "root";
    ::mkdir(root.c_str(), 0777);
    PassthroughFs fs(root);

    auto created = fs.create("f");
    ASSERT_TRUE(created);
    EXPECT_FALSE(created->is_dir());
    EXPECT_EQ(created->size, 0u);
    auto mode = std::filesystem::status(root + "/f").permissions();
    mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(static_cast<mode_t>(mode), 0666 & ~mask);

    EXPECT_EQ(ok(fs.write_at("f", bytes("hello"), 0)), std::size_t{5});
    EXPECT_EQ(ok(fs.write_at("f", bytes("XY"), 7)), std::size_t{2});
    EXPECT_EQ(read_file(root + "/f"), std::string("hello\0\0XY", 9));
    std::uint8_t buf[4];
    EXPECT_EQ(ok(fs.read_at("/f", buf, 3)), std::size_t{4});
    EXPECT_EQ(ok(fs.read_at("f", buf, 9)), std::size_t{0});
    EXPECT_TRUE(fs.truncate("f", 2));
    EXPECT_EQ(read_file(root + "/f"), "he");
    EXPECT_TRUE(fs.flush("f"));
    EXPECT_TRUE(fs.forget("whatever"));

    auto st = fs.stat("f");
    ASSERT_TRUE(st);
    EXPECT_EQ(st->size, 2u);
    EXPECT_TRUE(st->modified && st->accessed && st->changed);
    EXPECT_EQ(st->mode, static_cast<std::uint32_t>(0666 & ~mask));

    auto dir = fs.mkdir("d");
    ASSERT_TRUE(dir);
    EXPECT_TRUE(dir->is_dir());
    EXPECT_EQ(fs.mkdir("d").error().os_errno, EEXIST);
    EXPECT_EQ(fs.mkdir("x/y").error().os_errno, ENOENT);  // parents are not made
    EXPECT_TRUE(fs.rename("f", "d/g"));
    EXPECT_EQ(read_file(root + "/d/g"), "he");
    EXPECT_EQ(fs.rmdir("d").error().os_errno, ENOTEMPTY);
    EXPECT_TRUE(fs.unlink("d/g"));
    EXPECT_TRUE(fs.rmdir("d"));

    // The empty path is the folder itself.
    EXPECT_TRUE(ok(fs.stat("")).value_or(Stat{}).is_dir());
    EXPECT_EQ(ok(fs.list("")).value_or(std::vector<Dirent>{{"x", FileType::File, std::nullopt}}).size(), 0u);
    EXPECT_TRUE(fs.rmdir(""));
    EXPECT_FALSE(std::filesystem::exists(root));
    EXPECT_EQ(fs.stat("").error().os_errno, ENOENT);
}

TEST(PassthroughFs, TheFolderIsOpenedOnceAndKeptWhereverItMoves) {
    // A relative root is resolved against the working directory of the
    // first call; later ones use the folder it found, also once renamed.
    TempDir tmp;
    std::filesystem::create_directories(tmp / "w/data");
    write_host_file(tmp / "w/data/f", "f");
    auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(tmp / "w");
    PassthroughFs fs("data");
    EXPECT_EQ(ok(read_all(fs, "f")), "f");
    std::filesystem::current_path(cwd);
    EXPECT_EQ(ok(read_all(fs, "f")), "f");
    std::filesystem::rename(tmp / "w/data", tmp / "w/moved");
    EXPECT_TRUE(fs.create("g"));
    EXPECT_TRUE(std::filesystem::exists(tmp / "w/moved/g"));
}

TEST(PassthroughFs, ResolvingBeneathTheFolderWithOrWithoutOpenat2) {
    LinkFolder f;
    int root = ::open(f.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(root, 0);
    platform::Fd owned(root);
    struct Case {
        const char* rel;
        int flags;
        int want;  // 0: opens
    };
    const Case cases[] = {
        {"", O_RDONLY | O_DIRECTORY, 0},
        {"file", O_RDONLY, 0},
        {"in_dir/x", O_RDONLY, 0},
        {"in_dir", O_RDONLY | O_DIRECTORY, 0},
        {"sub/../file", O_RDONLY, 0},
        {"c1/x", O_RDONLY, 0},
        {"c0/x", O_RDONLY, ELOOP},
        {"out_rel/secret", O_RDONLY, EXDEV},
        {"out_climb", O_RDONLY, EXDEV},
        {"out_abs", O_RDONLY, EXDEV},
        {"abs_in/x", O_RDONLY, EXDEV},
        {"..", O_RDONLY | O_DIRECTORY, EXDEV},
        {"dangling", O_RDONLY, ENOENT},
        {"file/x", O_RDONLY, ENOTDIR},
        {"in_dir", O_PATH | O_NOFOLLOW, 0},  // the link itself
        {"sub/new", O_WRONLY | O_CREAT | O_EXCL, 0},
    };
    using Open = IoResult<platform::Fd> (*)(int, std::string_view, int, mode_t);
    for (auto [name, open] : {std::pair<const char*, Open>{"openat2", platform::open_beneath},
                              std::pair<const char*, Open>{"walk", platform::open_beneath_by_walk}}) {
        for (const auto& c : cases) {
            auto r = open(root, c.rel, c.flags, 0600);
            EXPECT_EQ(r ? 0 : r.error().os_errno, c.want) << name << ": " << c.rel;
        }
        ::unlink((f.root + "/sub/new").c_str());
        auto link = open(root, "in_dir", O_PATH | O_NOFOLLOW, 0);
        ASSERT_TRUE(link);
        struct stat st;
        ASSERT_EQ(::fstat(link->get(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << name;
        auto file = open(root, "c1/x", O_RDONLY, 0);
        ASSERT_TRUE(file);
        char buf[2] = {};
        EXPECT_EQ(::read(file->get(), buf, 2), 1);
        EXPECT_EQ(buf[0], 'x') << name;
    }
}

namespace {

// Makes openat2 fail with `err` in this process for good, as a sandbox does.
bool refuse_openat2(int err) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(err) & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{static_cast<unsigned short>(std::size(filter)), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

}  // namespace

// Where openat2 is missing, refused or keeps asking to be tried again, the
// walk resolves instead; a path that leads out stays refused either way.
TEST(PassthroughFs, OpenBeneathFallsBackWhereOpenat2IsRefused) {
#if !defined(__x86_64__)
    GTEST_SKIP() << "the filter is written for x86_64";
#endif
    LinkFolder f;
    for (int refusal : {ENOSYS, EPERM, EAGAIN, EXDEV}) {
        // In a child: the filter cannot be taken off again.
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (!refuse_openat2(refusal)) ::_exit(2);
            int root = ::open(f.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (root < 0) ::_exit(3);
            auto in = platform::open_beneath(root, "in_dir/x", O_RDONLY);
            auto out = platform::open_beneath(root, "out_rel/secret", O_RDONLY);
            bool escapes_refused = !out && out.error().os_errno == EXDEV;
            if (refusal == EXDEV) ::_exit(!in && in.error().os_errno == EXDEV && escapes_refused ? 0 : 4);
            ::_exit(in && escapes_refused ? 0 : 5);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "openat2 answering " << refusal << ": status " << status;
    }
}

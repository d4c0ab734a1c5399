#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>

#include "fs/directory.hpp"
#include "fs_test_util.hpp"

using namespace halvo;
using namespace halvo::fs;
using namespace halvo::fs::test;
using filesystem::Dirent;
using filesystem::impl::kMaxFile;

namespace {

auto v = [](auto r) -> IoResult<void> {
    if (!r) return fail(std::move(r).error());
    return {};
};

// Host folders placed at a/b and m, with in-memory files top and a/c.
struct Mounted {
    TempDir host;
    TempDir host_m;
    Directory dir;

    Mounted() {
        write_host_file(host / "x", "host x");
        std::filesystem::create_directories(host / "sd");
        EXPECT_TRUE(dir.mount("a/b", host.path()));
        EXPECT_TRUE(dir.mount("/m/", host_m.path()));
        EXPECT_TRUE(dir.add_file("top", "T"));
        EXPECT_TRUE(dir.add_file("a/c", "C"));
    }
};

}  // namespace

TEST(Directory, KeysOrderComponentByComponent) {
    std::vector<std::string> keys{"a b", "a/y", "a", "a/x", "b", "a/x/z"};
    std::sort(keys.begin(), keys.end(), KeyLess{});
    EXPECT_EQ(keys, (std::vector<std::string>{"a", "a/x", "a/x/z", "a/y", "a b", "b"}));
}

TEST(Directory, Normalize) {
    EXPECT_EQ(ok(directory::normalize("/a/./b/../c")), "a/c");
    EXPECT_EQ(ok(directory::normalize("")), "");
    EXPECT_EQ(ok(directory::normalize("/")), "");
    EXPECT_EQ(ok(directory::normalize("a/..")), "");
    EXPECT_EQ(kind_of(directory::normalize("../a")), ErrorKind::InvalidFilename);
    EXPECT_EQ(kind_of(directory::normalize("a/../..")), ErrorKind::InvalidFilename);
    EXPECT_EQ(ok(directory::normalize("\xff")), "\xff");
    EXPECT_EQ(kind_of(directory::mount_key("a/\xff")), ErrorKind::InvalidFilename);
}

TEST(Directory, MountRefusals) {
    struct Case {
        const char* at;
        std::optional<ErrorKind> want;
    };
    const Case cases[] = {
        {"", ErrorKind::InvalidInput},
        {"/", ErrorKind::InvalidInput},
        {".", ErrorKind::InvalidInput},
        {"../x", ErrorKind::InvalidFilename},
        {"x/\xff", ErrorKind::InvalidFilename},
        {"a", ErrorKind::InvalidInput},
        {"a/b", ErrorKind::InvalidInput},
        {"a/b/c", ErrorKind::InvalidInput},
        {"a/b/../b", ErrorKind::InvalidInput},
        {"empty", ErrorKind::AlreadyExists},
        {"file", ErrorKind::AlreadyExists},
        {"file/x", ErrorKind::NotADirectory},
        {"a/c", std::nullopt},
        {"x/y/z", std::nullopt},
    };
    for (const auto& c : cases) {
        TempDir host;
        Directory dir;
        ASSERT_TRUE(dir.mount("a/b", host.path()));
        ASSERT_TRUE(dir.mkdir("empty"));
        ASSERT_TRUE(dir.add_file("file", ""));
        EXPECT_EQ(kind_of(dir.mount(c.at, host.path())), c.want) << c.at;
    }
}

TEST(Directory, MergedListings) {
    Mounted t;
    auto root = t.dir.list("");
    ASSERT_TRUE(root);
    // Names brought by keys first, in byte order, then the tree's own entries.
    ASSERT_EQ(names(*root), (std::vector<std::string>{"a", "m", "top"}));
    EXPECT_TRUE((*root)[0].is_dir());
    EXPECT_TRUE((*root)[0].stat);   // the in-memory directory a
    EXPECT_TRUE((*root)[1].is_dir());
    EXPECT_FALSE((*root)[1].stat);  // made up for the mount point m
    EXPECT_TRUE((*root)[2].stat);

    auto a = t.dir.list("a");
    ASSERT_TRUE(a);
    ASSERT_EQ(names(*a), (std::vector<std::string>{"b", "c"}));
    EXPECT_TRUE((*a)[0].is_dir());
    EXPECT_FALSE((*a)[0].stat);

    // The mount point itself lists the host folder.
    auto b = t.dir.list("a/b");
    ASSERT_TRUE(b);
    EXPECT_EQ(names(*b), (std::vector<std::string>{"sd", "x"}));

    ASSERT_TRUE(t.dir.mount("x/y/z", t.host.path()));
    auto x = t.dir.list("x");
    ASSERT_TRUE(x);
    ASSERT_EQ(names(*x), (std::vector<std::string>{"y"}));
    EXPECT_TRUE((*x)[0].stat);
    auto xy = t.dir.list("x/y");
    ASSERT_TRUE(xy);
    ASSERT_EQ(names(*xy), (std::vector<std::string>{"z"}));
    EXPECT_FALSE((*xy)[0].stat);
}

TEST(Directory, RefusalsAroundMountKeys) {
    Mounted t;
    std::uint8_t buf[8];
    struct Case {
        const char* what;
        std::function<IoResult<void>()> op;
        ErrorKind want;
        int os_errno = 0;
    };
    Directory& d = t.dir;
    const Case cases[] = {
        {"mkdir above", [&] { return v(d.mkdir("a")); }, ErrorKind::AlreadyExists},
        {"create above", [&] { return v(d.create("a")); }, ErrorKind::AlreadyExists},
        {"unlink above", [&] { return d.unlink("a"); }, ErrorKind::IsADirectory},
        {"rmdir above", [&] { return d.rmdir("a"); }, ErrorKind::DirectoryNotEmpty},
        {"read above", [&] { return v(d.read_at("a", buf, 0)); }, ErrorKind::IsADirectory},
        {"write above", [&] { return v(d.write_at("a", bytes("x"), 0)); }, ErrorKind::IsADirectory},
        {"truncate above", [&] { return d.truncate("a", 0); }, ErrorKind::IsADirectory},
        {"flush above", [&] { return d.flush("a"); }, ErrorKind::IsADirectory},
        {"read the root", [&] { return v(d.read_at("", buf, 0)); }, ErrorKind::IsADirectory},
        {"mkdir the root", [&] { return v(d.mkdir("/")); }, ErrorKind::AlreadyExists},
        {"rename above", [&] { return d.rename("a", "z"); }, ErrorKind::ReadOnlyFilesystem},
        {"rename a key", [&] { return d.rename("a/b", "z"); }, ErrorKind::ReadOnlyFilesystem},
        {"rename onto a key", [&] { return d.rename("top", "a/b"); }, ErrorKind::ReadOnlyFilesystem},
        {"rename the root", [&] { return d.rename("", "z"); }, ErrorKind::ReadOnlyFilesystem},
        {"rename out of a mount", [&] { return d.rename("a/b/x", "a/y"); }, ErrorKind::CrossesDevices},
        {"rename into a mount", [&] { return d.rename("top", "a/b/top"); }, ErrorKind::CrossesDevices},
        {"rename between mounts", [&] { return d.rename("a/b/x", "m/x"); }, ErrorKind::CrossesDevices},
        {"dot-dot above the root", [&] { return v(d.stat("a/../..")); }, ErrorKind::InvalidFilename},
        {"mkdir a key", [&] { return v(d.mkdir("a/b")); }, ErrorKind::AlreadyExists, EEXIST},
        {"create a key", [&] { return v(d.create("a/b")); }, ErrorKind::AlreadyExists, EEXIST},
        {"unlink a key", [&] { return d.unlink("a/b"); }, ErrorKind::IsADirectory},
    };
    for (const auto& c : cases) {
        auto r = c.op();
        ASSERT_FALSE(r) << c.what;
        EXPECT_EQ(r.error().kind, c.want) << c.what;
        EXPECT_EQ(r.error().os_errno, c.os_errno) << c.what;
    }
    // Nothing changed on either side.
    EXPECT_EQ(names(*d.list("")), (std::vector<std::string>{"a", "m", "top"}));
    EXPECT_EQ(names(*d.list("a/b")), (std::vector<std::string>{"sd", "x"}));
}

TEST(Directory, RoutesToTheDeepestMount) {
    Mounted t;
    Directory& d = t.dir;
    EXPECT_EQ(ok(read_all(d, "a/b/x")), "host x");
    EXPECT_EQ(ok(read_all(d, "/a/b/sd/../x")), "host x");
    EXPECT_EQ(ok(read_all(d, "a/b/../c")), "C");
    EXPECT_EQ(ok(read_all(d, "top")), "T");

    EXPECT_TRUE(d.rename("a/b/x", "a/b/sd/y"));
    EXPECT_EQ(read_file(t.host / "sd/y"), "host x");
    EXPECT_TRUE(d.create("a/b/new"));
    EXPECT_TRUE(d.write_at("a/b/new", bytes("n"), 0));
    EXPECT_TRUE(d.flush("a/b/new"));
    EXPECT_EQ(read_file(t.host / "new"), "n");
    EXPECT_TRUE(d.rename("top", "a/top"));
    EXPECT_EQ(ok(read_all(d, "a/top")), "T");
    EXPECT_TRUE(ok(d.stat("m")).value_or(filesystem::Stat{}).is_dir());

    // rmdir of a key asks the host to remove the (empty) folder itself.
    EXPECT_TRUE(d.rmdir("m"));
    EXPECT_FALSE(std::filesystem::exists(t.host_m.path()));
}

TEST(Directory, UnmountKeepsAncestors) {
    Mounted t;
    EXPECT_EQ(kind_of(t.dir.unmount("a")), ErrorKind::NotFound);
    EXPECT_EQ(kind_of(t.dir.unmount("nope")), ErrorKind::NotFound);
    EXPECT_TRUE(t.dir.unmount("/a/./b/"));
    EXPECT_TRUE(t.dir.stat("a"));
    EXPECT_EQ(kind_of(t.dir.stat("a/b")), ErrorKind::NotFound);
    EXPECT_EQ(names(*t.dir.list("a")), (std::vector<std::string>{"c"}));
    // Now the place is free for a plain directory.
    EXPECT_TRUE(t.dir.mkdir("a/b"));
}

TEST(Directory, AddAndRemoveFiles) {
    Mounted t;
    Directory& d = t.dir;
    EXPECT_EQ(kind_of(d.add_file("a/b", "x")), ErrorKind::InvalidInput);
    EXPECT_EQ(kind_of(d.add_file("a/b/y", "x")), ErrorKind::InvalidInput);
    EXPECT_EQ(kind_of(d.add_file("a", "x")), ErrorKind::IsADirectory);
    EXPECT_EQ(kind_of(d.add_file("", "x")), ErrorKind::InvalidFilename);
    EXPECT_EQ(kind_of(d.add_file("q/\xff", "x")), ErrorKind::InvalidFilename);
    EXPECT_EQ(kind_of(d.add_file("top/x", "x")), ErrorKind::NotADirectory);
    EXPECT_EQ(kind_of(d.add_file("../x", "x")), ErrorKind::InvalidFilename);

    // An existing file is replaced; missing directories are made.
    EXPECT_TRUE(d.add_file("top", "new"));
    EXPECT_EQ(ok(read_all(d, "top")), "new");
    EXPECT_TRUE(d.add_file("p/q/r", "deep"));
    EXPECT_EQ(ok(read_all(d, "p/q/r")), "deep");

    EXPECT_EQ(kind_of(d.remove_file("p")), ErrorKind::IsADirectory);
    EXPECT_EQ(kind_of(d.remove_file("a/b/x")), ErrorKind::InvalidInput);
    EXPECT_EQ(kind_of(d.remove_file("nope")), ErrorKind::NotFound);
    EXPECT_EQ(kind_of(d.remove_file("")), ErrorKind::InvalidFilename);
    EXPECT_TRUE(d.remove_file("p/q/r"));
    EXPECT_EQ(kind_of(d.stat("p/q/r")), ErrorKind::NotFound);
    EXPECT_TRUE(std::filesystem::exists(t.host / "x"));
}

TEST(Directory, AddFileTakesExactlyOneGibibyte) {
    // Untouched anonymous pages read as zeros and cost nothing until copied.
    const std::size_t len = kMaxFile + 1;
    void* p = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    std::string_view content(static_cast<const char*>(p), len);
    Directory d;
    EXPECT_EQ(kind_of(d.add_file("big", content)), ErrorKind::FileTooLarge);
    EXPECT_EQ(kind_of(d.stat("big")), ErrorKind::NotFound);
    EXPECT_TRUE(d.add_file("big", content.substr(0, kMaxFile)));
    EXPECT_EQ(d.stat("big")->size, kMaxFile);
    ::munmap(p, len);
}

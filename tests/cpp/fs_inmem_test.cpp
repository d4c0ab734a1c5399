#include <gtest/gtest.h>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <tuple>

#include "fs/filesystem/impl/inmem.hpp"
#include "fs_test_util.hpp"

using namespace halvo;
using namespace halvo::fs::filesystem;
using namespace halvo::fs::filesystem::impl;
using namespace halvo::fs::test;

namespace {

// Every node with its kind, size and times, to see that a failure changed nothing.
using Snapshot = std::map<std::string, std::tuple<bool, std::uint64_t, WallTime, WallTime>>;

void snap(InMemFs& fs, const std::string& dir, Snapshot& out) {
    auto st = fs.stat(dir);
    ASSERT_TRUE(st);
    out[dir] = {st->is_dir(), st->size, *st->modified, *st->created};
    if (!st->is_dir()) return;
    auto entries = fs.list(dir);
    ASSERT_TRUE(entries);
    for (const auto& e : *entries) snap(fs, dir + "/" + e.name, out);
}

Snapshot snapshot(InMemFs& fs) {
    Snapshot s;
    snap(fs, "", s);
    return s;
}

// d/ holding f ("hello"), e/ holding s/ holding x, and a top-level file f.
void populate(InMemFs& fs) {
    ASSERT_TRUE(fs.mkdir("d"));
    ASSERT_TRUE(fs.create("d/f"));
    ASSERT_TRUE(fs.write_at("d/f", bytes("hello"), 0));
    ASSERT_TRUE(fs.mkdir("e"));
    ASSERT_TRUE(fs.mkdir("e/s"));
    ASSERT_TRUE(fs.create("e/s/x"));
    ASSERT_TRUE(fs.create("f"));
}

std::uint8_t buf[16];

}  // namespace

TEST(InMemFs, RefusalsLeaveTheTreeUnchanged) {
    using Op = std::function<IoResult<void>(InMemFs&)>;
    auto v = [](auto r) -> IoResult<void> {
        if (!r) return fail(std::move(r).error());
        return {};
    };
    struct Case {
        const char* what;
        Op op;
        ErrorKind want;
    };
    const std::uint64_t gib = kMaxFile;
    const Case cases[] = {
        {"dot-dot anywhere", [&](InMemFs& fs) { return v(fs.stat("d/../d")); }, ErrorKind::InvalidFilename},
        {"dot-dot at the start", [&](InMemFs& fs) { return v(fs.stat("../d")); }, ErrorKind::InvalidFilename},
        {"name not UTF-8", [&](InMemFs& fs) { return v(fs.create("d/\xff")); }, ErrorKind::InvalidFilename},
        {"mkdir root", [&](InMemFs& fs) { return v(fs.mkdir("")); }, ErrorKind::InvalidFilename},
        {"create root", [&](InMemFs& fs) { return v(fs.create("/")); }, ErrorKind::InvalidFilename},
        {"rmdir root", [&](InMemFs& fs) { return fs.rmdir(""); }, ErrorKind::InvalidFilename},
        {"unlink root", [&](InMemFs& fs) { return fs.unlink("/"); }, ErrorKind::InvalidFilename},
        {"read root", [&](InMemFs& fs) { return v(fs.read_at("", buf, 0)); }, ErrorKind::IsADirectory},
        {"missing", [&](InMemFs& fs) { return v(fs.stat("nope")); }, ErrorKind::NotFound},
        {"through a file", [&](InMemFs& fs) { return v(fs.stat("f/x")); }, ErrorKind::NotADirectory},
        {"create over a directory", [&](InMemFs& fs) { return v(fs.create("d")); }, ErrorKind::AlreadyExists},
        {"mkdir over a file", [&](InMemFs& fs) { return v(fs.mkdir("f")); }, ErrorKind::AlreadyExists},
        {"create inside a file", [&](InMemFs& fs) { return v(fs.create("f/x")); }, ErrorKind::NotADirectory},
        {"unlink a directory", [&](InMemFs& fs) { return fs.unlink("d"); }, ErrorKind::IsADirectory},
        {"rmdir a file", [&](InMemFs& fs) { return fs.rmdir("f"); }, ErrorKind::NotADirectory},
        {"rmdir non-empty", [&](InMemFs& fs) { return fs.rmdir("d"); }, ErrorKind::DirectoryNotEmpty},
        {"unlink missing", [&](InMemFs& fs) { return fs.unlink("d/nope"); }, ErrorKind::NotFound},
        {"list a file", [&](InMemFs& fs) { return v(fs.list("f")); }, ErrorKind::NotADirectory},
        {"write past 1 GiB", [&](InMemFs& fs) { return v(fs.write_at("f", bytes("x"), gib)); },
         ErrorKind::FileTooLarge},
        {"write past 1 GiB, missing path", [&](InMemFs& fs) { return v(fs.write_at("nope", bytes("x"), gib)); },
         ErrorKind::FileTooLarge},
        {"write offset overflow", [&](InMemFs& fs) { return v(fs.write_at("f", bytes("xy"), ~std::uint64_t{0})); },
         ErrorKind::FileTooLarge},
        {"truncate past 1 GiB, missing path", [&](InMemFs& fs) { return fs.truncate("nope", gib + 1); },
         ErrorKind::FileTooLarge},
        {"truncate a directory", [&](InMemFs& fs) { return fs.truncate("d", 0); }, ErrorKind::IsADirectory},
        {"rename into itself", [&](InMemFs& fs) { return fs.rename("e", "e/s/y"); }, ErrorKind::InvalidInput},
        {"rename the root", [&](InMemFs& fs) { return fs.rename("", "x"); }, ErrorKind::InvalidInput},
        {"rename onto the root", [&](InMemFs& fs) { return fs.rename("f", "/"); }, ErrorKind::InvalidFilename},
        {"rename missing", [&](InMemFs& fs) { return fs.rename("nope", "x"); }, ErrorKind::NotFound},
        {"rename from inside a file", [&](InMemFs& fs) { return fs.rename("f/x", "y"); }, ErrorKind::NotADirectory},
        {"rename into a file", [&](InMemFs& fs) { return fs.rename("d/f", "f/x"); }, ErrorKind::NotADirectory},
        {"rename a file onto its non-empty parent", [&](InMemFs& fs) { return fs.rename("d/f", "d"); },
         ErrorKind::IsADirectory},
        {"rename a directory onto its non-empty parent", [&](InMemFs& fs) { return fs.rename("e/s", "e"); },
         ErrorKind::DirectoryNotEmpty},
        {"rename a directory onto a file", [&](InMemFs& fs) { return fs.rename("d", "f"); },
         ErrorKind::NotADirectory},
        {"rename a file onto a directory", [&](InMemFs& fs) { return fs.rename("f", "d"); },
         ErrorKind::IsADirectory},
        {"rename dot-dot", [&](InMemFs& fs) { return fs.rename("f", "d/../g"); }, ErrorKind::InvalidFilename},
    };
    for (const auto& c : cases) {
        InMemFs fs;
        populate(fs);
        Snapshot before = snapshot(fs);
        auto r = c.op(fs);
        EXPECT_EQ(kind_of(r), c.want) << c.what;
        EXPECT_EQ(snapshot(fs), before) << c.what;
    }
}

TEST(InMemFs, PathsAndAttributes) {
    InMemFs fs;
    populate(fs);
    for (const char* root : {"", "/", ".", "//./"}) {
        auto st = fs.stat(root);
        ASSERT_TRUE(st) << root;
        EXPECT_TRUE(st->is_dir());
        EXPECT_EQ(st->size, 0u);
    }
    auto f = fs.stat("./d//f/");
    ASSERT_TRUE(f);
    EXPECT_FALSE(f->is_dir());
    EXPECT_EQ(f->size, 5u);
    EXPECT_TRUE(f->modified && f->created && f->accessed && f->changed);
    EXPECT_EQ(f->mode, 0644u);
    EXPECT_EQ(fs.stat("d")->mode, 0755u);
    EXPECT_EQ(ok(fs.stat("/d/f")), *f);

    auto entries = fs.list("/");
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 3u);
    for (const auto& e : *entries) {
        ASSERT_TRUE(e.stat) << e.name;
        EXPECT_EQ(e.is_dir(), e.stat->is_dir()) << e.name;
        EXPECT_EQ(e.is_dir(), e.name != "f") << e.name;
    }

    // flush and forget look at nothing.
    EXPECT_TRUE(fs.flush("no/such/path"));
    EXPECT_TRUE(fs.forget("no/such/path"));
}

TEST(InMemFs, ReadsAndWrites) {
    InMemFs fs;
    populate(fs);
    EXPECT_EQ(ok(read_all(fs, "d/f")), "hello");
    std::uint8_t small[3];
    EXPECT_EQ(ok(fs.read_at("d/f", small, 3)), std::size_t{2});
    EXPECT_EQ(small[0], 'l');
    EXPECT_EQ(ok(fs.read_at("d/f", small, 5)), std::size_t{0});
    EXPECT_EQ(ok(fs.read_at("d/f", small, 500)), std::size_t{0});

    // An empty write past the end fills with zeros and touches the time.
    auto node = fs.file_at("f");
    ASSERT_TRUE(node);
    (*node)->modified = WallTime{1, 0};
    EXPECT_EQ(ok(fs.write_at("f", {}, 10)), std::size_t{0});
    EXPECT_EQ(ok(read_all(fs, "f")), std::string(10, '\0'));
    EXPECT_NE((*node)->modified, (WallTime{1, 0}));

    // Truncating sets the times also when the size stays, as O_TRUNC does.
    (*node)->modified = (*node)->changed = WallTime{1, 0};
    EXPECT_TRUE(fs.truncate("f", 10));
    EXPECT_NE((*node)->modified, (WallTime{1, 0}));
    EXPECT_NE((*node)->changed, (WallTime{1, 0}));
    (*node)->modified = WallTime{1, 0};
    EXPECT_TRUE(fs.truncate("f", 12));
    EXPECT_NE((*node)->modified, (WallTime{1, 0}));
    EXPECT_TRUE(fs.write_at("f", bytes("ab"), 1));
    EXPECT_EQ(ok(read_all(fs, "f")), std::string("\0ab", 3) + std::string(9, '\0'));
    EXPECT_TRUE(fs.truncate("f", 2));
    EXPECT_EQ(ok(read_all(fs, "f")), std::string("\0a", 2));
}

TEST(InMemFs, ExactlyOneGibibyteFits) {
    InMemFs fs;
    ASSERT_TRUE(fs.create("big"));
    EXPECT_EQ(ok(fs.write_at("big", bytes("x"), kMaxFile - 1)), std::size_t{1});
    EXPECT_EQ(fs.stat("big")->size, kMaxFile);
    EXPECT_EQ(kind_of(fs.write_at("big", bytes("x"), kMaxFile)), ErrorKind::FileTooLarge);
    EXPECT_EQ(kind_of(fs.truncate("big", kMaxFile + 1)), ErrorKind::FileTooLarge);
    EXPECT_TRUE(fs.truncate("big", 0));
}

TEST(InMemFs, Renames) {
    InMemFs fs;
    populate(fs);
    // The same names: nothing changes, times included.
    Snapshot before = snapshot(fs);
    EXPECT_TRUE(fs.rename("d/f", "/d/./f"));
    EXPECT_EQ(snapshot(fs), before);

    // A file onto a file replaces it and keeps its own times but the
    // change time.
    auto d = fs.parent_of("d/f");
    ASSERT_TRUE(d);
    d->first->modified = WallTime{1, 0};
    auto moved = ok(fs.stat("d/f"));
    ASSERT_TRUE(moved);
    EXPECT_TRUE(fs.rename("d/f", "f"));
    auto now = ok(fs.stat("f"));
    ASSERT_TRUE(now);
    EXPECT_EQ(now->modified, moved->modified);
    EXPECT_EQ(now->created, moved->created);
    EXPECT_EQ(now->accessed, moved->accessed);
    EXPECT_EQ(ok(read_all(fs, "f")), "hello");
    EXPECT_EQ(kind_of(fs.stat("d/f")), ErrorKind::NotFound);
    // Both parents were touched: d and the root.
    EXPECT_NE(d->first->modified, (WallTime{1, 0}));
    EXPECT_NE(fs.stat("")->modified, std::get<2>(before[""]));

    // A directory onto an empty directory replaces it.
    ASSERT_TRUE(fs.mkdir("empty"));
    EXPECT_TRUE(fs.rename("e", "empty"));
    EXPECT_TRUE(fs.stat("empty/s/x"));
    EXPECT_EQ(kind_of(fs.stat("e")), ErrorKind::NotFound);
}

TEST(InMemFs, LinksAreNodesOfTheirOwn) {
    InMemFs fs;
    populate(fs);
    auto soft = fs.symlink("d/soft", "../f");
    ASSERT_TRUE(soft);
    EXPECT_EQ(soft->type, FileType::Symlink);
    EXPECT_EQ(soft->size, 4u);
    EXPECT_EQ(ok(fs.readlink("d/soft")), "../f");
    std::uint8_t buf[4];
    EXPECT_EQ(fs.read_at("d/soft", buf, 0).error().os_errno, ELOOP) << "never followed here";
    EXPECT_EQ(fs.readlink("d/f").error().os_errno, EINVAL);
    EXPECT_EQ(kind_of(fs.symlink("d/soft", "x")), ErrorKind::AlreadyExists);

    // A hard link is the same node under a second name.
    auto hard = fs.link("d/f", "e/hard");
    ASSERT_TRUE(hard);
    EXPECT_EQ(hard->nlink, 2u);
    EXPECT_EQ(hard->id, ok(fs.stat("d/f")).value_or(Stat{}).id);
    ASSERT_TRUE(fs.write_at("e/hard", bytes("J"), 0));
    EXPECT_EQ(ok(read_all(fs, "d/f")), "Jello");
    EXPECT_EQ(fs.link("d", "dir2").error().os_errno, EPERM);
    EXPECT_TRUE(fs.rename("d/f", "e/hard")) << "two names of one file: nothing moves";
    EXPECT_EQ(ok(fs.stat("d/f")).value_or(Stat{}).nlink, 2u);
    ASSERT_TRUE(fs.unlink("d/f"));
    EXPECT_EQ(ok(fs.stat("e/hard")).value_or(Stat{}).nlink, 1u);
    EXPECT_EQ(ok(read_all(fs, "e/hard")), "Jello");

    auto fifo = fs.mknod("fifo", FileType::Fifo, 0640);
    ASSERT_TRUE(fifo);
    EXPECT_EQ(fifo->type, FileType::Fifo);
    EXPECT_EQ(fifo->mode, 0640u);
    EXPECT_EQ(fs.mknod("dev", FileType::File, 0600).error().os_errno, EPERM);
}

SetAttr owner(std::optional<std::uint32_t> uid, std::optional<std::uint32_t> gid) {
    SetAttr a;
    a.uid = uid;
    a.gid = gid;
    return a;
}

SetAttr bits(std::uint32_t mode) {
    SetAttr a;
    a.mode = mode;
    return a;
}

// What `change` answers (0 or its errno) when run by uid and gid 4321, with no
// other groups, on a file of its own or on one root owns.
int as_other_user(bool owns, const std::function<IoResult<void>(InMemFs&)>& change) {
    InMemFs fs;
    if (!fs.create("f")) return -1;
    if (owns && !fs.set_attr("f", owner(4321, 4321))) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(4321, 4321, 4321) != 0 || ::setresuid(4321, 4321, 4321) != 0)
            ::_exit(100);
        auto r = change(fs);
        ::_exit(r ? 0 : r.error().os_errno);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(InMemFs, OwnersChangeAsOnAPlainFolder) {
    InMemFs fs;
    ASSERT_TRUE(fs.create("f"));
    auto st = ok(fs.stat("f")).value_or(Stat{});
    EXPECT_EQ(st.uid, ::geteuid());
    EXPECT_EQ(st.gid, ::getegid());
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file away needs root";
    ASSERT_TRUE(fs.set_attr("f", bits(06755)));
    ASSERT_TRUE(fs.set_attr("f", owner(501, 502)));
    st = ok(fs.stat("f")).value_or(Stat{});
    EXPECT_EQ(st.uid, 501u);
    EXPECT_EQ(st.gid, 502u);
    EXPECT_EQ(st.mode, 0755u) << "a file changing hands loses its set-id bits";

    struct Case {
        const char* what;
        bool owns;
        SetAttr change;
        int want;
    };
    const Case cases[] = {
        {"give its file to another", true, owner(4242, std::nullopt), EPERM},
        {"keep its own owner", true, owner(4321, std::nullopt), 0},
        {"move its file to a group it is not in", true, owner(std::nullopt, 4242), EPERM},
        {"move its file to its own group", true, owner(std::nullopt, 4321), 0},
        {"change its file's bits", true, bits(0700), 0},
        {"change the bits of root's file", false, bits(0777), EPERM},
        {"move root's file to its own group", false, owner(std::nullopt, 4321), EPERM},
        {"take root's file", false, owner(4321, std::nullopt), EPERM},
    };
    for (const auto& c : cases)
        EXPECT_EQ(as_other_user(c.owns, [&](InMemFs& f) { return f.set_attr("f", c.change); }), c.want) << c.what;
}

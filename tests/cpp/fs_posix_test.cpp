#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <set>
#include <thread>

#include "fs/directory.hpp"
#include "fs/filesystem/posix.hpp"
#include "fs_test_util.hpp"

using namespace halvo;
using namespace halvo::fs;
using namespace halvo::fs::filesystem;
using namespace halvo::fs::test;

namespace {

// Forwards to a Directory, counting some calls and failing others on request.
class Tap : public FileSystem {
public:
    Directory dir;
    int flushes = 0;
    int truncates = 0;
    int lists = 0;
    std::optional<IoError> hide_error;  // refuses renames to a hidden name
    std::function<std::optional<IoError>(std::string_view from)> rename_hook;
    std::size_t max_write = SIZE_MAX;  // 0: accept nothing
    std::optional<IoError> unlink_error;

    IoResult<Stat> stat(std::string_view p) override { return dir.stat(p); }
    IoResult<std::vector<Dirent>> list(std::string_view p) override {
        ++lists;
        return dir.list(p);
    }
    IoResult<std::size_t> read_at(std::string_view p, std::span<std::uint8_t> b, std::uint64_t o) override {
        return dir.read_at(p, b, o);
    }
    IoResult<Stat> create(std::string_view p) override { return dir.create(p); }
    IoResult<Stat> mkdir(std::string_view p) override { return dir.mkdir(p); }
    IoResult<void> unlink(std::string_view p) override {
        if (unlink_error) return fail(*unlink_error);
        return dir.unlink(p);
    }
    IoResult<void> rmdir(std::string_view p) override { return dir.rmdir(p); }
    IoResult<std::size_t> write_at(std::string_view p, std::span<const std::uint8_t> d, std::uint64_t o) override {
        if (max_write == 0) return std::size_t{0};
        return dir.write_at(p, d.first(std::min(d.size(), max_write)), o);
    }
    IoResult<void> truncate(std::string_view p, std::uint64_t s) override {
        ++truncates;
        return dir.truncate(p, s);
    }
    IoResult<void> rename(std::string_view f, std::string_view t) override {
        if (auto e = refusal(f, t)) return fail(*e);
        return dir.rename(f, t);
    }
    IoResult<void> rename_noreplace(std::string_view f, std::string_view t) override {
        if (auto e = refusal(f, t)) return fail(*e);
        return dir.rename_noreplace(f, t);
    }
    IoResult<void> set_attr(std::string_view p, const SetAttr& a) override { return dir.set_attr(p, a); }
    IoResult<Stat> symlink(std::string_view p, std::string_view t) override { return dir.symlink(p, t); }
    IoResult<std::string> readlink(std::string_view p) override { return dir.readlink(p); }
    IoResult<Stat> link(std::string_view e, std::string_view p) override { return dir.link(e, p); }
    std::string tree_root(std::string_view p) override { return dir.tree_root(p); }
    bool sole_writer(std::string_view p) override { return dir.sole_writer(p); }
    IoResult<void> flush(std::string_view p) override {
        ++flushes;
        return dir.flush(p);
    }

private:
    std::optional<IoError> refusal(std::string_view f, std::string_view t) {
        if (hide_error && t.find(kHiddenPrefix) != std::string_view::npos) return hide_error;
        if (rename_hook) return rename_hook(f);
        return std::nullopt;
    }
};

constexpr OpenFlags kRead{.read = true};
constexpr OpenFlags kWrite{.write = true};
constexpr OpenFlags kReadWrite{.read = true, .write = true};

int err(const IoError& e) { return posix::host_errno(e); }

struct Adapter {
    Tap* tap;
    Posix px;

    Adapter() : Adapter(std::make_unique<Tap>()) {}
    explicit Adapter(std::unique_ptr<Tap> t) : tap(t.get()), px(std::move(t)) {}

    std::uint64_t lookup(std::uint64_t parent, std::string_view name) {
        auto e = px.lookup_child(parent, name);
        EXPECT_TRUE(e) << name;
        return e ? e->inode : 0;
    }
    std::uint64_t open(std::uint64_t parent, std::string_view name, OpenFlags flags) {
        auto h = px.open_inode(lookup(parent, name), flags);
        EXPECT_TRUE(h) << name;
        return h ? *h : 0;
    }
    std::string read(std::uint64_t handle, std::uint64_t offset = 0, std::size_t size = 4096) {
        std::string out(size, '\0');
        auto n = px.read_handle(handle, offset, {reinterpret_cast<std::uint8_t*>(out.data()), out.size()});
        if (!n) return "<" + n.error().text() + ">";
        out.resize(*n);
        return out;
    }
    std::uint64_t opendir(std::uint64_t inode) {
        auto h = px.open_dir(inode);
        EXPECT_TRUE(h);
        return h ? *h : 0;
    }
    // Every entry of the directory handle from `offset` on, with the reply
    // full after `room` entries.
    std::vector<std::tuple<std::uint64_t, std::string, std::uint32_t, std::int64_t>> readdir(
        std::uint64_t dir_handle, std::uint64_t offset, std::size_t room = SIZE_MAX) {
        std::vector<std::tuple<std::uint64_t, std::string, std::uint32_t, std::int64_t>> out;
        auto r = px.for_each_dirent(dir_handle, offset, [&](std::uint64_t n, const char* name, std::uint32_t mode,
                                                            std::int64_t next) {
            out.emplace_back(n, name, mode, next);
            return out.size() >= room;
        });
        EXPECT_TRUE(r);
        return out;
    }
    std::vector<std::string> listed(std::uint64_t inode) {
        auto dh = opendir(inode);
        std::vector<std::string> names;
        for (const auto& e : readdir(dh, 0)) names.push_back(std::get<1>(e));
        px.release_dir(dh);
        return names;
    }
    // The hidden names in a directory of the tree.
    std::vector<std::string> hidden_in(std::string_view dir) {
        std::vector<std::string> out;
        for (const auto& n : names(*tap->dir.list(dir)))
            if (n.starts_with(kHiddenPrefix)) out.push_back(std::string(dir.empty() ? "" : std::string(dir) + "/") + n);
        return out;
    }
};

}  // namespace

TEST(Posix, LookupOfDotAndDotDot) {
    Adapter a;
    ASSERT_TRUE(a.tap->dir.add_file("d/f", "hello"));
    auto d = a.lookup(kRootInode, "d");
    auto dot = a.px.lookup_child(d, ".");
    ASSERT_TRUE(dot);
    EXPECT_EQ(dot->inode, d);
    auto up = a.px.lookup_child(d, "..");
    ASSERT_TRUE(up);
    EXPECT_NE(up->inode, d);
    EXPECT_NE(up->inode, kRootInode);
    EXPECT_EQ(up->stat, *a.tap->dir.stat(""));
    EXPECT_EQ(err(a.px.lookup_child(kRootInode, "..").error()), EINVAL);
    EXPECT_EQ(err(a.px.lookup_child(d, "missing").error()), ENOENT);
    EXPECT_EQ(err(a.px.stat_inode(12345).error()), ENOENT);
    EXPECT_EQ(err(a.px.open_inode(12345, kRead).error()), ENOENT);

    // Failed lookups intern nothing: the next number is the next one.
    auto f = a.lookup(d, "f");
    EXPECT_EQ(f, up->inode + 1);
    EXPECT_EQ(a.px.stat_inode(f)->size, 5u);
    EXPECT_EQ(a.px.setattr_inode(f, 2)->size, 2u);
    EXPECT_EQ(a.px.setattr_inode(f, std::nullopt)->size, 2u);
}

TEST(Posix, OpenAndCreateFlags) {
    Adapter a;
    ASSERT_TRUE(a.tap->dir.add_file("f", "hello"));

    // create without create_new on an existing file opens it as it is.
    auto c = a.px.create_child(kRootInode, "f", {.read = true, .create = true});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->stat.size, 5u);
    EXPECT_EQ(c->inode, a.lookup(kRootInode, "f"));
    EXPECT_EQ(a.read(c->handle), "hello");

    auto excl = a.px.create_child(kRootInode, "f", {.write = true, .create = true, .create_new = true});
    EXPECT_EQ(err(excl.error()), EEXIST);

    // A new file made with create and truncate is not truncated again.
    auto n = a.px.create_child(kRootInode, "new", {.write = true, .truncate = true, .create = true});
    ASSERT_TRUE(n);
    EXPECT_EQ(a.tap->truncates, 0);
    EXPECT_FALSE(n->stat.is_dir());
    EXPECT_NE(n->handle, c->handle);

    // Opening with truncate empties an existing file, whatever the access mode.
    auto h = a.open(kRootInode, "f", {.read = true, .truncate = true});
    EXPECT_EQ(a.tap->truncates, 1);
    EXPECT_EQ(a.read(h), "");

    // A failed create leaves both tables alone.
    auto bad = a.px.create_child(kRootInode, "f/x", {.write = true, .create = true});
    EXPECT_EQ(err(bad.error()), ENOTDIR);
    EXPECT_EQ(a.px.create_child(kRootInode, "g", {.write = true, .create = true})->handle, n->handle + 2);
}

TEST(Posix, ReadsAndWritesThroughHandles) {
    Adapter a;
    ASSERT_TRUE(a.tap->dir.add_file("f", "0123456789"));
    auto r = a.open(kRootInode, "f", kRead);
    auto w = a.open(kRootInode, "f", kWrite);
    EXPECT_EQ(a.read(r), "0123456789");  // 4096 asked, 10 answered
    EXPECT_EQ(a.read(r, 8, 5), "89");
    EXPECT_EQ(a.read(r, 100), "");

    auto data = bytes("abcdefgh");
    EXPECT_EQ(err(a.px.write_handle(r, 0, data).error()), EBADF);
    std::uint8_t buf[4];
    EXPECT_EQ(err(a.px.read_handle(w, 0, buf).error()), EBADF);
    EXPECT_EQ(err(a.px.read_handle(999, 0, buf).error()), EBADF);
    EXPECT_EQ(err(a.px.write_handle(999, 0, data).error()), EBADF);
    EXPECT_EQ(err(a.px.flush_handle(999).error()), EBADF);

    // Short writes are repeated until everything is taken.
    a.tap->max_write = 3;
    EXPECT_EQ(ok(a.px.write_handle(w, 6, data)), std::size_t{8});
    EXPECT_EQ(a.read(r), "012345abcdefgh");
    a.tap->max_write = 0;
    EXPECT_EQ(ok(a.px.write_handle(w, 0, {})), std::size_t{0});
    auto zero = a.px.write_handle(w, 0, data);
    EXPECT_EQ(zero.error().kind, ErrorKind::WriteZero);
    EXPECT_EQ(err(zero.error()), EIO);
}

// As any user may, a creator without root makes a read-only file and
// writes it through the open that made it.
TEST(Posix, ACreatorWritesTheReadOnlyFileItMade) {
    const uid_t nobody = 65534;
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    // Not below the tests' own temporary folder, which that user may not pass.
    std::string base = "/tmp/halvo-posix-XXXXXX";
    ASSERT_TRUE(::mkdtemp(base.data()));
    struct Gone {
        std::string path;
        ~Gone() { std::filesystem::remove_all(path); }
    } gone{base};
    ::chmod(base.c_str(), 0755);
    const std::string host = base + "/host";
    ASSERT_EQ(::mkdir(host.c_str(), 0755), 0);
    ASSERT_EQ(::chown(host.c_str(), nobody, nobody), 0);
    pid_t child = ::fork();
    if (child == 0) {
        // Never back into the test runner from here.
        if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(2);
        auto dir = std::make_unique<Directory>();
        if (!dir->mount("h", host)) ::_exit(3);
        Posix px(std::move(dir));
        auto h = px.lookup_child(kRootInode, "h");
        if (!h) ::_exit(4);
        auto c = px.create_child(h->inode, "ro", {.write = true, .create = true, .create_new = true}, 0444);
        if (!c) ::_exit(5);
        const std::uint8_t data[] = {'x'};
        if (!px.write_handle(c->handle, 0, data) || (c->stat.mode & 07777) != 0444) ::_exit(6);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(read_file(host + "/ro"), "x");
}

TEST(Posix, FlushSyncsOnlyWhatWasOpenForWriting) {
    TempDir host;
    write_host_file(host / "ro", "r");
    auto tap = std::make_unique<Tap>();
    ASSERT_TRUE(tap->dir.mount("h", host.path()));
    Adapter a(std::move(tap));
    auto h = a.lookup(kRootInode, "h");
    auto r = a.open(h, "ro", kRead);
    EXPECT_TRUE(a.px.flush_handle(r));
    EXPECT_EQ(a.tap->flushes, 0);
    auto w = a.open(h, "ro", kReadWrite);
    EXPECT_TRUE(a.px.flush_handle(w));
    EXPECT_EQ(a.tap->flushes, 1);
}

TEST(Posix, UnlinkWhileOpenHidesTheFile) {
    Adapter a;
    ASSERT_TRUE(a.tap->dir.add_file("d/f", "kept"));
    ASSERT_TRUE(a.tap->dir.add_file("d/other", ""));
    auto d = a.lookup(kRootInode, "d");
    auto f = a.lookup(d, "f");
    auto h1 = a.open(d, "f", kReadWrite);
    auto h2 = a.open(d, "f", kRead);

    ASSERT_TRUE(a.px.unlink_child(d, "f"));
    auto hiddens = a.hidden_in("d");
    ASSERT_EQ(hiddens.size(), 1u);
    std::string hidden = hiddens[0];
    EXPECT_TRUE(hidden.starts_with("d/.halvo-unlinked-" + std::to_string(f) + "-" + std::to_string(::getpid()) + "-"))
        << hidden;
    EXPECT_EQ(err(a.px.lookup_child(d, "f").error()), ENOENT);
    EXPECT_EQ(a.listed(d), (std::vector<std::string>{".", "..", "other"}));
    EXPECT_EQ(a.read(h2), "kept");
    EXPECT_TRUE(a.px.write_handle(h1, 4, bytes("!")));
    EXPECT_EQ(a.read(h2), "kept!");
    EXPECT_TRUE(a.px.flush_handle(h1));

    // A new file of the old name is a different file.
    auto n = a.px.create_child(d, "f", {.write = true, .create = true, .create_new = true});
    ASSERT_TRUE(n);
    EXPECT_NE(n->inode, f);
    EXPECT_EQ(a.read(h2), "kept!");

    // The hidden file goes with its last handle.
    EXPECT_TRUE(a.px.release_handle(h1));
    EXPECT_TRUE(a.tap->dir.stat(hidden));
    EXPECT_TRUE(a.px.release_handle(h2));
    EXPECT_EQ(kind_of(a.tap->dir.stat(hidden)), ErrorKind::NotFound);
    EXPECT_TRUE(a.px.release_handle(h2));  // unknown handles release fine

    // A file that is not open goes at once.
    ASSERT_TRUE(a.px.unlink_child(d, "other"));
    EXPECT_EQ(kind_of(a.tap->dir.stat("d/other")), ErrorKind::NotFound);
    EXPECT_EQ(names(*a.tap->dir.list("d")), (std::vector<std::string>{"f"}));
}

TEST(Posix, AFailedRemovalOfAHiddenFileIsRetried) {
    Adapter a;
    ASSERT_TRUE(a.tap->dir.add_file("f", "x"));
    auto f = a.lookup(kRootInode, "f");
    auto h = a.open(kRootInode, "f", kRead);
    ASSERT_TRUE(a.px.unlink_child(kRootInode, "f"));
    auto hiddens = a.hidden_in("");
    ASSERT_EQ(hiddens.size(), 1u);
    std::string hidden = hiddens[0];
    a.tap->unlink_error = IoError::os(EIO);
    EXPECT_EQ(err(a.px.release_handle(h).error()), EIO);
    EXPECT_TRUE(a.tap->dir.stat(hidden));
    // The kernel still knows the inode; the next last release tries again.
    a.tap->unlink_error.reset();
    auto again = a.px.open_inode(f, kRead);
    ASSERT_TRUE(again);
    EXPECT_EQ(a.read(*again), "x");
    EXPECT_TRUE(a.px.release_handle(*again));
    EXPECT_EQ(kind_of(a.tap->dir.stat(hidden)), ErrorKind::NotFound);
}

TEST(Posix, UnlinkFallsBackWhenHidingIsRefused) {
    for (auto refusal : {IoError(ErrorKind::Unsupported), IoError::os(EROFS), IoError::os(EOPNOTSUPP)}) {
        Adapter a;
        ASSERT_TRUE(a.tap->dir.add_file("f", "x"));
        auto h = a.open(kRootInode, "f", kRead);
        a.tap->hide_error = refusal;
        ASSERT_TRUE(a.px.unlink_child(kRootInode, "f")) << refusal.text();
        EXPECT_EQ(kind_of(a.tap->dir.stat("f")), ErrorKind::NotFound);
        EXPECT_EQ(a.listed(kRootInode), (std::vector<std::string>{".", ".."}));
        EXPECT_TRUE(a.px.release_handle(h));
    }
    // Any other refusal of the hiding rename is the unlink's answer.
    Adapter a;
    ASSERT_TRUE(a.tap->dir.add_file("f", "x"));
    auto h = a.open(kRootInode, "f", kRead);
    a.tap->hide_error = IoError::os(EACCES);
    EXPECT_EQ(err(a.px.unlink_child(kRootInode, "f").error()), EACCES);
    EXPECT_EQ(a.read(h), "x");
}

TEST(Posix, RenameOverAnOpenFileKeepsTheOldBytes) {
    Adapter a;
    ASSERT_TRUE(a.tap->dir.add_file("d/target", "old"));
    auto d = a.lookup(kRootInode, "d");
    auto old_inode = a.lookup(d, "target");
    auto h = a.open(d, "target", kReadWrite);

    // The atomic-save pattern: write a new file, rename it over the old one.
    auto tmp = a.px.create_child(d, "tmp", {.write = true, .create = true});
    ASSERT_TRUE(tmp);
    ASSERT_TRUE(a.px.write_handle(tmp->handle, 0, bytes("new")));
    ASSERT_TRUE(a.px.release_handle(tmp->handle));
    ASSERT_TRUE(a.px.rename_child(d, "tmp", d, "target"));

    EXPECT_EQ(a.read(h), "old");
    ASSERT_TRUE(a.px.write_handle(h, 0, bytes("OLD")));
    auto now = a.px.lookup_child(d, "target");
    ASSERT_TRUE(now);
    EXPECT_EQ(now->inode, tmp->inode);
    EXPECT_NE(now->inode, old_inode);
    EXPECT_EQ(ok(read_all(a.tap->dir, "d/target")), "new");
    EXPECT_EQ(a.listed(d), (std::vector<std::string>{".", "..", "target"}));

    ASSERT_TRUE(a.px.release_handle(h));
    EXPECT_EQ(names(*a.tap->dir.list("d")), (std::vector<std::string>{"target"}));
}

TEST(Posix, FailedRenameOverAnOpenFilePutsItBack) {
    Adapter a;
    ASSERT_TRUE(a.tap->dir.add_file("target", "old"));
    ASSERT_TRUE(a.tap->dir.add_file("dir/x", ""));
    ASSERT_TRUE(a.tap->dir.add_file("tmp", "new"));
    auto target = a.lookup(kRootInode, "target");
    auto h = a.open(kRootInode, "target", kRead);

    // A directory cannot replace a file, open or not.
    EXPECT_EQ(err(a.px.rename_child(kRootInode, "dir", kRootInode, "target").error()), ENOTDIR);
    EXPECT_EQ(err(a.px.rename_child(kRootInode, "nope", kRootInode, "target").error()), ENOENT);

    // The tree refuses the rename itself after the target was hidden.
    a.tap->rename_hook = [](std::string_view from) -> std::optional<IoError> {
        if (from.ends_with("tmp")) return IoError::os(EACCES);
        return std::nullopt;
    };
    EXPECT_EQ(err(a.px.rename_child(kRootInode, "tmp", kRootInode, "target").error()), EACCES);
    EXPECT_EQ(a.lookup(kRootInode, "target"), target);
    auto listed = a.listed(kRootInode);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{".", "..", "dir", "target", "tmp"}));
    EXPECT_EQ(a.read(h), "old");
    EXPECT_TRUE(a.px.release_handle(h));
    // The target is no hidden file: its last release leaves it alone.
    EXPECT_EQ(ok(read_all(a.tap->dir, "target")), "old");
}

TEST(Posix, RenameWhenHidingIsRefusedDetachesTheOldHandles) {
    Adapter a;
    ASSERT_TRUE(a.tap->dir.add_file("target", "old"));
    ASSERT_TRUE(a.tap->dir.add_file("tmp", "new"));
    auto h = a.open(kRootInode, "target", kRead);
    auto tmp = a.lookup(kRootInode, "tmp");
    a.tap->hide_error = IoError(ErrorKind::Unsupported);
    ASSERT_TRUE(a.px.rename_child(kRootInode, "tmp", kRootInode, "target"));
    // The old handle must not reach the new file's bytes.
    std::uint8_t buf[8];
    EXPECT_EQ(err(a.px.read_handle(h, 0, buf).error()), ENOENT);
    EXPECT_EQ(a.lookup(kRootInode, "target"), tmp);
    EXPECT_EQ(ok(read_all(a.tap->dir, "target")), "new");
    EXPECT_TRUE(a.px.release_handle(h));
    EXPECT_EQ(ok(read_all(a.tap->dir, "target")), "new");
}

TEST(Posix, RenamedDirectoryKeepsItsNumbersAndHiddenFiles) {
    Adapter a;
    ASSERT_TRUE(a.tap->dir.add_file("d/sub/f", "f"));
    ASSERT_TRUE(a.tap->dir.add_file("d/gone", "g"));
    auto d = a.lookup(kRootInode, "d");
    auto sub = a.lookup(d, "sub");
    auto f = a.lookup(sub, "f");
    auto h = a.open(d, "gone", kRead);
    ASSERT_TRUE(a.px.unlink_child(d, "gone"));

    ASSERT_TRUE(a.px.rename_child(kRootInode, "d", kRootInode, "e"));
    auto e = a.lookup(kRootInode, "e");
    EXPECT_EQ(e, d);
    EXPECT_EQ(a.lookup(e, "sub"), sub);
    EXPECT_EQ(a.lookup(sub, "f"), f);
    EXPECT_EQ(a.px.stat_inode(f)->size, 1u);
    EXPECT_EQ(a.read(h), "g");
    EXPECT_EQ(err(a.px.lookup_child(kRootInode, "d").error()), ENOENT);

    // The hidden file moved with its directory and still goes with its handle.
    ASSERT_TRUE(a.px.release_handle(h));
    EXPECT_EQ(names(*a.tap->dir.list("e")), (std::vector<std::string>{"sub"}));
    EXPECT_EQ(err(a.px.rmdir_child(e, "sub").error()), ENOTEMPTY);
    ASSERT_TRUE(a.px.unlink_child(sub, "f"));
    ASSERT_TRUE(a.px.rmdir_child(e, "sub"));
    EXPECT_EQ(err(a.px.lookup_child(e, "sub").error()), ENOENT);
}

TEST(Posix, ReaddirOffsetsOverALargeDirectory) {
    Adapter a;
    std::set<std::string> want;
    for (int i = 0; i < 3000; ++i) {
        std::string name = "file-" + std::to_string(i);
        ASSERT_TRUE(a.tap->dir.add_file("big/" + name, ""));
        want.insert(name);
        if (i % 500 == 0) {
            ASSERT_TRUE(a.tap->dir.add_file("big/.halvo-unlinked-" + std::to_string(i), ""));
        }
    }
    ASSERT_TRUE(a.tap->dir.add_file("big/sub/x", ""));
    want.insert("sub");
    auto big = a.lookup(kRootInode, "big");
    auto dh = a.opendir(big);

    auto all = a.readdir(dh, 0);
    ASSERT_EQ(all.size(), want.size() + 2);
    EXPECT_EQ(all[0], std::make_tuple(big, std::string("."), std::uint32_t{S_IFDIR | 0755}, std::int64_t{1}));
    EXPECT_EQ(all[1], std::make_tuple(big, std::string(".."), std::uint32_t{S_IFDIR | 0755}, std::int64_t{2}));
    for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(std::get<3>(all[i]), std::int64_t(i + 1));

    // Resuming from the last offset of each full reply gives every entry once,
    // with the numbers of the first listing.
    std::vector<std::tuple<std::uint64_t, std::string, std::uint32_t, std::int64_t>> paged;
    std::uint64_t offset = 0;
    for (;;) {
        auto page = a.readdir(dh, offset, 97);
        if (page.empty()) break;
        offset = static_cast<std::uint64_t>(std::get<3>(page.back()));
        paged.insert(paged.end(), page.begin(), page.end());
    }
    EXPECT_EQ(paged, all);

    std::set<std::string> seen;
    for (std::size_t i = 2; i < all.size(); ++i) {
        const auto& [n, name, mode, next] = all[i];
        EXPECT_TRUE(seen.insert(name).second) << name;
        EXPECT_EQ(mode, name == "sub" ? std::uint32_t{S_IFDIR | 0755} : std::uint32_t{S_IFREG | 0644}) << name;
        EXPECT_NE(n, big);
    }
    EXPECT_EQ(seen, want);

    auto from2 = a.readdir(dh, 2, 1);
    ASSERT_EQ(from2.size(), 1u);
    EXPECT_EQ(from2[0], all[2]);
    EXPECT_TRUE(a.readdir(dh, all.size()).empty());
    EXPECT_TRUE(a.readdir(dh, ~std::uint64_t{0}).empty());

    // A lookup after the listing takes its reference on the listed number.
    EXPECT_EQ(a.lookup(big, std::get<1>(all[5])), std::get<0>(all[5]));
}

// A directory is listed once per handle, however many requests read it:
// listing stays linear in its size.
TEST(Posix, AHandleListsItsDirectoryOnce) {
    Adapter a;
    constexpr int kEntries = 50000;
    for (int i = 0; i < kEntries; ++i) ASSERT_TRUE(a.tap->dir.add_file("huge/f" + std::to_string(i), ""));
    auto huge = a.lookup(kRootInode, "huge");
    auto dh = a.opendir(huge);
    std::size_t seen = 0;
    std::uint64_t offset = 0;
    for (;;) {
        auto page = a.readdir(dh, offset, 100);
        if (page.empty()) break;
        seen += page.size();
        offset = static_cast<std::uint64_t>(std::get<3>(page.back()));
    }
    EXPECT_EQ(seen, kEntries + 2u);
    EXPECT_EQ(a.tap->lists, 1);
    // A rewind lists afresh.
    EXPECT_EQ(a.readdir(dh, 0, 1).size(), 1u);
    EXPECT_EQ(a.tap->lists, 2);
    a.px.release_dir(dh);
    EXPECT_EQ(err(a.px.for_each_dirent(dh, 5, [](auto...) { return false; }).error()), EBADF);
}

TEST(Posix, ReaddirRefusesNamesWithNul) {
    Adapter a;
    ASSERT_TRUE(a.tap->dir.add_file(std::string("a\0b", 3), ""));
    auto r = a.px.for_each_dirent(a.opendir(kRootInode), 0, [](auto...) { return false; });
    EXPECT_EQ(err(r.error()), EINVAL);
    EXPECT_EQ(err(a.px.open_dir(999).error()), ENOENT);
    EXPECT_EQ(err(a.px.for_each_dirent(999, 0, [](auto...) { return false; }).error()), EBADF);
}

TEST(Posix, ForgetDropsNumbersButNeverTheRoot) {
    Adapter a;
    ASSERT_TRUE(a.tap->dir.add_file("f", ""));
    auto f = a.lookup(kRootInode, "f");
    EXPECT_EQ(a.lookup(kRootInode, "f"), f);
    a.px.forget_inode(f, 1);
    EXPECT_TRUE(a.px.stat_inode(f));
    a.px.forget_inode(f, 1);
    EXPECT_EQ(err(a.px.stat_inode(f).error()), ENOENT);
    a.px.forget_inode(kRootInode, 10);
    a.px.forget_inode(12345, 1);
    EXPECT_TRUE(a.px.stat_inode(kRootInode));
    EXPECT_GT(a.lookup(kRootInode, "f"), f);
}

// What only the mount changes may be cached long, and only when the kernel
// can be told of the changes it does not make itself; a host folder changes
// beside the mount, and keeps the short time-out for its entries, its
// attributes and its missing names.
TEST(Posix, TimeOutsFollowWhoCanChangeAPath) {
    TempDir host;
    write_host_file(host.path() + "/x", "x");
    for (bool told : {false, true}) {
        Adapter a;
        ASSERT_TRUE(a.tap->dir.add_file("d/f", "f"));
        ASSERT_TRUE(a.tap->dir.mount("h", host.path()));
        if (told) a.px.set_notify([](std::uint64_t) {});
        const double lasting = told ? kLastingTimeout : kChangingTimeout;
        auto d = a.px.lookup_child(kRootInode, "d");
        auto h = a.px.lookup_child(kRootInode, "h");
        ASSERT_TRUE(d && h);
        auto f = a.px.lookup_child(d->inode, "f");
        auto x = a.px.lookup_child(h->inode, "x");
        ASSERT_TRUE(f && x);
        auto created = a.px.create_child(d->inode, "new", {.write = true, .create = true});
        auto made = a.px.mkdir_child(h->inode, told ? "sub2" : "sub1");
        ASSERT_TRUE(created && made);
        struct Case {
            const char* what;
            double got, want;
        } cases[] = {
            {"root", a.px.timeout_of(kRootInode), lasting},
            {"d", d->timeout, lasting},
            {"d/f", f->timeout, lasting},
            {"d/f again", a.px.timeout_of(f->inode), lasting},
            {"d/new", created->timeout, lasting},
            {"missing d/nope", a.px.missing_timeout(d->inode, "nope"), lasting},
            {"h", h->timeout, kChangingTimeout},
            {"h/x", x->timeout, kChangingTimeout},
            {"h/sub", made->timeout, kChangingTimeout},
            {"missing h/nope", a.px.missing_timeout(h->inode, "nope"), kChangingTimeout},
            {"unknown inode", a.px.timeout_of(999999), 0},
        };
        for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what << (told ? " told" : " not told");
    }
}

// The kernel keeps an in-memory folder's listing (it drops it on the changes
// it makes); a host folder's only while its times stay those read as it was
// last listed from the start, and never when they were within a tick of it.
TEST(Posix, ListingsAreKeptWhileNothingBesideTheMountChangedThem) {
    TempDir host;
    write_host_file(host.path() + "/x", "x");
    Adapter a;
    ASSERT_TRUE(a.tap->dir.add_file("d/f", "f"));
    ASSERT_TRUE(a.tap->dir.mount("h", host.path()));
    auto d = a.lookup(kRootInode, "d");
    auto h = a.lookup(kRootInode, "h");
    auto settle = [] { ::usleep(120'000); };
    EXPECT_TRUE(a.px.keeps_listing(d));
    EXPECT_FALSE(a.px.keeps_listing(h)) << "never listed";
    a.listed(h);
    EXPECT_FALSE(a.px.keeps_listing(h)) << "listed within a tick of its last change";
    settle();
    a.listed(h);
    EXPECT_TRUE(a.px.keeps_listing(h));
    EXPECT_TRUE(a.px.keeps_listing(h)) << "still unchanged";
    write_host_file(host.path() + "/y", "y");
    EXPECT_FALSE(a.px.keeps_listing(h)) << "changed beside the mount";
    settle();
    EXPECT_FALSE(a.px.keeps_listing(h)) << "the kernel still holds the old listing";
    a.listed(h);
    EXPECT_TRUE(a.px.keeps_listing(h));
    EXPECT_FALSE(a.px.keeps_listing(999999));
}

// Hidden files move and go where the kernel cannot see it; the folders whose
// times that changes are named to it.
TEST(Posix, HousekeepingOfHiddenFilesNamesTheFoldersItChanged) {
    Adapter a;
    std::vector<std::uint64_t> told;
    a.px.set_notify([&](std::uint64_t inode) { told.push_back(inode); });
    ASSERT_TRUE(a.tap->dir.add_file("a/d/f", "f"));
    ASSERT_TRUE(a.tap->dir.add_file("a/g", "g"));
    auto dir_a = a.lookup(kRootInode, "a");
    auto dir_d = a.lookup(dir_a, "d");

    // Open and unlinked: its folder is the kernel's own doing.
    auto hf = a.open(dir_d, "f", kRead);
    ASSERT_TRUE(a.px.unlink_child(dir_d, "f"));
    EXPECT_EQ(told, std::vector<std::uint64_t>{});
    // The emptied folder goes; the hidden file moves to the root.
    ASSERT_TRUE(a.px.rmdir_child(dir_a, "d"));
    EXPECT_EQ(told, std::vector<std::uint64_t>{kRootInode});
    // Its last close deletes it there.
    told.clear();
    EXPECT_TRUE(a.px.release_handle(hf));
    EXPECT_EQ(told, std::vector<std::uint64_t>{kRootInode});

    // A hidden file deleted in its own folder.
    told.clear();
    auto hg = a.open(dir_a, "g", kRead);
    ASSERT_TRUE(a.px.unlink_child(dir_a, "g"));
    EXPECT_TRUE(a.px.release_handle(hg));
    EXPECT_EQ(told, std::vector<std::uint64_t>{dir_a});
}

TEST(Posix, EveryHiddenNameOfALinkedFileGoesAndItsOtherNamesStay) {
    Adapter a;
    ASSERT_TRUE(a.tap->dir.add_file("a", "bytes"));
    auto f = a.lookup(kRootInode, "a");
    auto b = a.px.link_child(f, kRootInode, "b");
    ASSERT_TRUE(b);
    ASSERT_EQ(b->inode, f);

    // The open name goes, and with its handle the hidden file.
    auto h = a.open(kRootInode, "a", kRead);
    ASSERT_TRUE(a.px.unlink_child(kRootInode, "a"));
    EXPECT_EQ(a.read(h), "bytes");
    ASSERT_TRUE(a.px.release_handle(h));
    EXPECT_EQ(a.hidden_in(""), std::vector<std::string>{});
    // The number the names share now answers by the one left.
    auto st = a.px.stat_inode(f);
    ASSERT_TRUE(st) << st.error().text();
    EXPECT_EQ(st->size, 5u);
    auto again = a.px.open_inode(f, kRead);
    ASSERT_TRUE(again);
    EXPECT_EQ(a.read(*again), "bytes");

    // Both names of a file still open hidden in turn: both go with it.
    ASSERT_TRUE(a.px.link_child(f, kRootInode, "c"));
    ASSERT_TRUE(a.px.unlink_child(kRootInode, "b"));
    ASSERT_TRUE(a.px.unlink_child(kRootInode, "c"));
    EXPECT_EQ(a.hidden_in("").size(), 2u);
    EXPECT_EQ(a.read(*again), "bytes");
    ASSERT_TRUE(a.px.release_handle(*again));
    EXPECT_EQ(a.hidden_in(""), std::vector<std::string>{});
}

namespace {

// A host folder served through the adapter, as a mount serves one.
struct HostAdapter {
    TempDir tmp;
    std::string root = tmp / "root";
    std::unique_ptr<Posix> px;

    HostAdapter() {
        std::filesystem::create_directories(root);
        px = std::make_unique<Posix>(std::make_unique<impl::PassthroughFs>(root));
    }
};

// Serves one file through a fresh adapter: the in-memory tree or a host folder.
struct Served {
    std::optional<Adapter> mem;
    std::optional<HostAdapter> host;
    Posix* px = nullptr;
    std::string host_path;  // the host file, for a host folder

    explicit Served(bool on_host) {
        if (on_host) {
            host.emplace();
            px = host->px.get();
            host_path = host->root + "/f";
            write_host_file(host_path, std::string(100, '\0'));
        } else {
            mem.emplace();
            px = &mem->px;
            EXPECT_TRUE(mem->tap->dir.add_file("f", std::string(100, '\0')));
        }
    }
    std::uint64_t open(OpenFlags flags) {
        auto e = px->lookup_child(kRootInode, "f");
        EXPECT_TRUE(e);
        auto h = px->open_inode(e ? e->inode : 0, flags);
        EXPECT_TRUE(h) << (h ? "" : h.error().text());
        return h ? *h : 0;
    }
};

constexpr std::uint64_t kOwner = 7;
constexpr std::uint64_t kOtherOwner = 8;

platform::RangeLock range(int type) { return platform::RangeLock{type, 0, 10, 0}; }

// Runs `check` in a child as uid and gid `id`, without supplementary groups,
// so this process keeps root; what it returns.
std::string as_user(std::uint32_t id, const std::function<std::string()>& check) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe";
    pid_t pid = ::fork();
    if (pid < 0) return "fork";
    if (pid == 0) {
        ::close(fds[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) ::_exit(2);
        std::string out = check();
        (void)!::write(fds[1], out.data(), out.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        out += "child status " + std::to_string(status);
    return out;
}

}  // namespace

class PosixLocks : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Trees, PosixLocks, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "host" : "mem"; });

// An owner's locks live in one description for all its handles of the file:
// the handle it first locked through must not decide what it may lock later.
TEST_P(PosixLocks, AWriteLockThroughAWritableHandleAfterAReadOnlyOne) {
    Served s(GetParam());
    auto ro = s.open(kRead);
    ASSERT_TRUE(s.px->set_lock(ro, kOwner, range(F_RDLCK)));
    auto rw = s.open(kReadWrite);
    auto wr = s.px->set_lock(rw, kOwner, range(F_WRLCK));
    ASSERT_TRUE(wr) << wr.error().text();
    auto probe = range(F_RDLCK);
    ASSERT_TRUE(s.px->test_lock(rw, kOtherOwner, probe));
    EXPECT_EQ(probe.type, F_WRLCK);
    // flock locks too, whichever handle came first.
    auto wo = s.open(kWrite);
    ASSERT_TRUE(s.px->flock_handle(ro, LOCK_SH));
    ASSERT_TRUE(s.px->flock_handle(ro, LOCK_UN));
    EXPECT_TRUE(s.px->flock_handle(wo, LOCK_EX));
    for (auto h : {ro, rw, wo}) ASSERT_TRUE(s.px->release_handle(h));
}

// A lock request retried on its own thread while the file's last handle is
// released must leave nothing held once both are done. The race has no
// hook to hold it open, so many rounds start both sides together.
TEST_P(PosixLocks, ALockRacingTheLastReleaseLeavesNothingHeld) {
    Served s(GetParam());
    std::string leaks;
    for (int round = 0; round < 400 && leaks.empty(); ++round) {
        auto h = s.open(kReadWrite);
        std::atomic<int> ready{0};
        auto go = [&] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
        };
        std::thread locker([&] {
            go();
            (void)s.px->set_lock(h, kOwner, range(F_WRLCK));
            (void)s.px->flock_handle(h, LOCK_EX);
        });
        go();
        ASSERT_TRUE(s.px->release_handle(h));
        locker.join();
        // A new handle of another owner takes both at once.
        auto next = s.open(kReadWrite);
        if (!s.px->set_lock(next, kOtherOwner, range(F_WRLCK)) || !s.px->flock_handle(next, LOCK_EX | LOCK_NB))
            leaks = "round " + std::to_string(round);
        ASSERT_TRUE(s.px->release_handle(next));
    }
    EXPECT_EQ(leaks, "") << "a lock outlived the file's last handle";
    if (!s.host_path.empty()) {
        // Nor is anything left on the host file.
        platform::Fd fd(::open(s.host_path.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(fd);
        auto probe = range(F_WRLCK);
        ASSERT_TRUE(platform::test_range_lock(fd.get(), probe));
        EXPECT_EQ(probe.type, F_UNLCK);
        EXPECT_TRUE(platform::whole_file_lock(fd.get(), LOCK_EX));
    }
}

// A host file swapped for a FIFO (or a folder) behind the kernel's cache is
// opened through the old number: it must not be opened for real, where a
// read or a lock description would wait for a writer on a serving thread.
TEST(Posix, AHandleOpensOnlyARegularHostFile) {
    HostAdapter a;
    write_host_file(a.root + "/fifo", "x");
    write_host_file(a.root + "/dir", "x");
    for (auto name : {"fifo", "dir"}) {
        auto e = a.px->lookup_child(kRootInode, name);
        ASSERT_TRUE(e);
        std::string path = a.root + "/" + name;
        ASSERT_EQ(::unlink(path.c_str()), 0);
        ASSERT_EQ(std::string(name) == "fifo" ? ::mkfifo(path.c_str(), 0644) : ::mkdir(path.c_str(), 0755), 0);
        for (auto flags : {kRead, kWrite, kReadWrite}) {
            auto h = a.px->open_inode(e->inode, flags);
            ASSERT_FALSE(h) << name << " opened";
            EXPECT_EQ(err(h.error()), std::string(name) == "fifo" ? ENXIO : EISDIR) << name;
        }
    }
}

// access(2) as the kernel answers it for a caller who is not root: the
// owner's bits for the owner, the group's for a member, else the others'.
TEST(Posix, AccessReadsOwnerGroupAndOtherBits) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    constexpr std::uint32_t kMe = 1000, kSomeone = 2000, kTheirGroup = 3000;
    struct Case {
        const char* name;
        std::uint32_t uid, gid, mode;
        int mask;
        int want;  // 0 or EACCES
    };
    const Case cases[] = {
        {"mine_r", kMe, kTheirGroup, 0400, R_OK, 0},
        {"mine_not_w", kMe, kTheirGroup, 0477, W_OK, EACCES},  // the owner gets the owner's bits only
        {"group_r", kSomeone, kMe, 0040, R_OK, 0},
        {"group_not_w", kSomeone, kMe, 0747, W_OK, EACCES},
        {"other_rx", kSomeone, kTheirGroup, 0005, R_OK | X_OK, 0},
        {"other_not_r", kSomeone, kTheirGroup, 0770, R_OK, EACCES},
        {"other_not_w", kSomeone, kTheirGroup, 0664, W_OK, EACCES},
    };
    Adapter a;
    std::vector<std::uint64_t> inodes;
    for (const auto& c : cases) {
        ASSERT_TRUE(a.tap->dir.add_file(c.name, "x"));
        SetAttr attr;
        attr.uid = c.uid;
        attr.gid = c.gid;
        attr.mode = c.mode;
        ASSERT_TRUE(a.tap->dir.set_attr(c.name, attr));
        inodes.push_back(a.lookup(kRootInode, c.name));
    }
    std::string wrong = as_user(kMe, [&] {
        std::string out;
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            auto r = a.px.access_inode(inodes[i], cases[i].mask);
            int got = r ? 0 : err(r.error());
            if (got != cases[i].want) out += std::string(cases[i].name) + " ";
            // Opening asks the same question.
            auto h = a.px.open_inode(inodes[i], cases[i].mask & W_OK ? kWrite : kRead);
            if (!(cases[i].mask & X_OK) && (h ? 0 : err(h.error())) != cases[i].want)
                out += std::string(cases[i].name) + "(open) ";
        }
        return out;
    });
    EXPECT_EQ(wrong, "");
}

// A file its owner may only read still takes that owner's read locks: the
// description falls back to the handle's own mode.
TEST(Posix, LocksOfAFileOpenOnlyForReading) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    HostAdapter a;
    write_host_file(a.root + "/f", "x");
    ASSERT_EQ(::chown(a.root.c_str(), 1000, 1000), 0);
    ASSERT_EQ(::chown((a.root + "/f").c_str(), 1000, 1000), 0);
    ASSERT_EQ(::chmod((a.root + "/f").c_str(), 0444), 0);
    // Opened by root first: the folders above may be closed to the user.
    ASSERT_TRUE(a.px->lookup_child(kRootInode, "f"));
    std::string wrong = as_user(1000, [&]() -> std::string {
        auto e = a.px->lookup_child(kRootInode, "f");
        if (!e) return "lookup";
        auto h = a.px->open_inode(e->inode, kRead);
        if (!h) return "open: " + h.error().text();
        auto r = a.px->set_lock(*h, kOwner, range(F_RDLCK));
        if (!r) return "lock: " + r.error().text();
        return "";
    });
    EXPECT_EQ(wrong, "");
}

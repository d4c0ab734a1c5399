#include <gtest/gtest.h>

#include <cerrno>

#include "fs/filesystem/posix.hpp"
#include "fs_test_util.hpp"

using namespace halvo;
using namespace halvo::fs::filesystem;

TEST(InodeTable, NumbersAreNeverReused) {
    InodeTable t;
    EXPECT_EQ(t.path_of(1), "/");
    EXPECT_EQ(t.number_of("/"), 1u);
    EXPECT_EQ(t.number_of(""), 1u);

    auto a = t.intern("/a");
    EXPECT_EQ(a, 2u);
    EXPECT_EQ(t.intern("/a/."), a);
    EXPECT_EQ(t.lookups_of(a), 2u);
    EXPECT_NE(t.intern("/a/.."), a);  // a key of its own, not the root
    EXPECT_NE(t.number_of("/a/.."), 1u);

    t.forget(a, 1);
    EXPECT_EQ(t.path_of(a), "/a");
    t.forget(a, 5);  // floors at 0, drops it
    EXPECT_EQ(t.path_of(a), std::nullopt);
    EXPECT_EQ(t.number_of("/a"), std::nullopt);
    EXPECT_GT(t.intern("/a"), a + 1);

    // The root and unknown numbers are never touched.
    t.forget(1, 100);
    t.forget(9999, 1);
    EXPECT_EQ(t.path_of(1), "/");
    EXPECT_EQ(t.lookups_of(1), 1u);
}

TEST(InodeTable, ListedNumbersTakeNoReference) {
    InodeTable t;
    auto a = t.intern("/a");
    EXPECT_EQ(t.number_for("/a"), a);
    EXPECT_EQ(t.lookups_of(a), 1u);
    auto b = t.number_for("/b");
    EXPECT_EQ(t.lookups_of(b), 0u);
    EXPECT_EQ(t.number_for("/b/"), b);
    // A lookup after the listing takes its reference on the same number.
    EXPECT_EQ(t.intern("/b"), b);
    EXPECT_EQ(t.lookups_of(b), 1u);
}

TEST(InodeTable, ListingFifoHoldsAtMost65536) {
    for (bool looked_up : {false, true}) {
        InodeTable t;
        auto first = t.number_for("/n0");
        if (looked_up) t.intern("/n0");
        for (std::size_t i = 1; i < kListedInodes; ++i) t.number_for("/n" + std::to_string(i));
        EXPECT_EQ(t.path_of(first), "/n0");  // 65,536 fit
        auto last = t.number_for("/one-more");
        EXPECT_EQ(last, first + kListedInodes);
        EXPECT_EQ(t.path_of(first).has_value(), looked_up);
        EXPECT_EQ(t.number_of("/n0").has_value(), looked_up);
        EXPECT_EQ(t.path_of(first + 1), "/n1");
        // Whatever was dropped, the next number is still new.
        EXPECT_EQ(t.intern("/n0"), looked_up ? first : last + 1);
    }
}

TEST(InodeTable, EvictionsKeepRecords) {
    InodeTable t;
    auto f = t.intern("/d/f");
    auto d = t.intern("/d");
    auto g = t.intern("/d/sub/g");
    auto other = t.intern("/dx");
    t.evict_path("/d/f");
    EXPECT_EQ(t.path_of(f), "/d/f");
    EXPECT_EQ(t.number_of("/d/f"), std::nullopt);
    EXPECT_GT(t.intern("/d/f"), other);

    t.evict_subtree("/d");
    EXPECT_EQ(t.number_of("/d"), std::nullopt);
    EXPECT_EQ(t.number_of("/d/sub/g"), std::nullopt);
    EXPECT_EQ(t.number_of("/dx"), other);
    EXPECT_EQ(t.path_of(d), "/d");
    EXPECT_EQ(t.path_of(g), "/d/sub/g");
}

TEST(InodeTable, RekeyMovesTheSubtree) {
    InodeTable t;
    auto d = t.intern("/d");
    auto f = t.intern("/d/f");
    auto deep = t.intern("/d/x/y");
    auto dx = t.intern("/dx");
    auto e = t.intern("/e");
    auto ez = t.intern("/e/z");

    // Into or out of itself: nothing moves.
    t.rekey_subtree("/d", "/d/x");
    t.rekey_subtree("/d/x", "/d");
    EXPECT_EQ(t.path_of(deep), "/d/x/y");
    EXPECT_EQ(t.number_of("/d/x/y"), deep);

    t.rekey_subtree("/d", "/e");
    EXPECT_EQ(t.number_of("/e"), d);
    EXPECT_EQ(t.number_of("/e/f"), f);
    EXPECT_EQ(t.number_of("/e/x/y"), deep);
    EXPECT_EQ(t.path_of(d), "/e");
    EXPECT_EQ(t.path_of(deep), "/e/x/y");
    EXPECT_EQ(t.number_of("/d"), std::nullopt);
    EXPECT_EQ(t.number_of("/d/f"), std::nullopt);
    EXPECT_EQ(t.number_of("/dx"), dx);  // a sibling with a common prefix stays
    // What the rename replaced lost its entries but keeps its records.
    EXPECT_EQ(t.number_of("/e/z"), std::nullopt);
    EXPECT_EQ(t.path_of(e), "/e");
    EXPECT_EQ(t.path_of(ez), "/e/z");

    // Reclaiming the replaced number leaves the entry that now names another.
    t.forget(e, 1);
    EXPECT_EQ(t.path_of(e), std::nullopt);
    EXPECT_EQ(t.number_of("/e"), d);
}

TEST(InodeTable, DetachedRecordNamesNothing) {
    InodeTable t;
    auto a = t.intern("/a");
    t.detach(a);
    EXPECT_EQ(t.path_of(a), std::nullopt);
    EXPECT_EQ(t.number_of("/a"), std::nullopt);
    EXPECT_EQ(t.lookups_of(a), 1u);
    t.forget(a, 1);
    EXPECT_EQ(t.lookups_of(a), std::nullopt);
}

TEST(InodeTable, NamesOfOneFileShareItsNumber) {
    InodeTable t;
    const NodeId id{3, 77};
    auto a = t.intern("/d/a");
    t.add_name(a, "/e/b", id);
    EXPECT_EQ(t.number_of("/e/b"), a);
    EXPECT_EQ(t.lookups_of(a), 2u);
    EXPECT_EQ(t.intern("/c", id), a) << "a third name looked up";
    EXPECT_EQ(t.intern("/other", NodeId{3, 78}), a + 1);

    // The name the record goes by goes: another name answers for it.
    t.evict_path("/d/a");
    auto p = t.path_of(a);
    ASSERT_TRUE(p);
    EXPECT_TRUE(*p == "/e/b" || *p == "/c") << *p;
    t.rekey_subtree("/e", "/f");
    t.evict_path("/c");
    EXPECT_EQ(t.path_of(a), "/f/b");
    EXPECT_EQ(t.number_of("/f/b"), a);

    // Forgotten for good: the file's next lookup gets a new number.
    t.forget(a, 3);
    EXPECT_EQ(t.lookups_of(a), std::nullopt);
    EXPECT_GT(t.intern("/f/b", id), a + 1);
}

TEST(OpenTable, HandlesStartAtOneAndAreNeverReused) {
    OpenTable t;
    auto h1 = t.insert({7, {.read = true}, nullptr});
    auto h2 = t.insert({7, {.write = true}, nullptr});
    EXPECT_EQ(h1, 1u);
    EXPECT_EQ(h2, 2u);
    EXPECT_TRUE(t.get(h2)->flags.write);
    EXPECT_EQ(t.remove(99), std::nullopt);
    EXPECT_EQ(t.remove(h1)->inode, 7u);
    EXPECT_TRUE(t.any_on(7));
    EXPECT_TRUE(t.remove(h2));
    EXPECT_FALSE(t.any_on(7));
    EXPECT_EQ(t.insert({7, {}, nullptr}), 3u);
}

TEST(Posix, HostErrno) {
    struct Case {
        IoError error;
        int want;
    };
    const Case cases[] = {
        {IoError::os(EACCES), EACCES},
        {IoError::os(ENOSYS), ENOSYS},  // an OS number passes unchanged
        {IoError(ErrorKind::NotFound), ENOENT},
        {IoError(ErrorKind::PermissionDenied), EACCES},
        {IoError(ErrorKind::AlreadyExists), EEXIST},
        {IoError(ErrorKind::NotADirectory), ENOTDIR},
        {IoError(ErrorKind::IsADirectory), EISDIR},
        {IoError(ErrorKind::DirectoryNotEmpty), ENOTEMPTY},
        {IoError(ErrorKind::ReadOnlyFilesystem), EROFS},
        {IoError(ErrorKind::InvalidInput), EINVAL},
        {IoError(ErrorKind::InvalidFilename), EINVAL},
        {IoError(ErrorKind::StorageFull), ENOSPC},
        {IoError(ErrorKind::FileTooLarge), EFBIG},
        {IoError(ErrorKind::CrossesDevices), EXDEV},
        {IoError(ErrorKind::Unsupported), EOPNOTSUPP},
        {IoError(ErrorKind::WriteZero), EIO},
        {IoError(ErrorKind::OutOfMemory), EIO},
        {IoError(ErrorKind::NotFound, "with a message"), ENOENT},
        {posix::bad_handle(), EBADF},
    };
    for (const auto& c : cases) EXPECT_EQ(posix::host_errno(c.error), c.want) << c.error.text();
}

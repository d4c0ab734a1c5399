#include <gtest/gtest.h>

#include "base/pathx.hpp"

using namespace halvo;

TEST(Pathx, ComponentsCollapseSeparatorsDropDotsAndKeepDotDot) {
    struct Case {
        const char* path;
        std::vector<std::string_view> want;
    };
    const Case cases[] = {
        {"", {}},
        {"/", {}},
        {"//a///b/", {"a", "b"}},
        {"./a/./b/.", {"a", "b"}},
        {"a/../b", {"a", "..", "b"}},
        {"/..", {".."}},
        {"a/.../b", {"a", "...", "b"}},
    };
    for (const auto& c : cases) EXPECT_EQ(pathx::components(c.path), c.want) << c.path;
}

TEST(Pathx, KeysAndNesting) {
    EXPECT_EQ(pathx::key("/a/./b//"), "/a/b");
    EXPECT_EQ(pathx::key("a"), "/a");
    EXPECT_EQ(pathx::key("/a/.."), "/a/..");
    EXPECT_EQ(pathx::key(""), "/");
    EXPECT_EQ(pathx::join("/", "x"), "/x");
    EXPECT_EQ(pathx::join("/d", "x"), "/d/x");

    EXPECT_TRUE(pathx::at_or_under("/a", "/a"));
    EXPECT_TRUE(pathx::at_or_under("/a/b", "/a"));
    EXPECT_FALSE(pathx::at_or_under("/ab", "/a"));
    EXPECT_FALSE(pathx::at_or_under("/a", "/a/b"));
    EXPECT_TRUE(pathx::at_or_under("/a", "/"));
    EXPECT_TRUE(pathx::at_or_under("a/b", ""));
    EXPECT_EQ(pathx::remainder("/a/b/c", "/a"), "b/c");
    EXPECT_EQ(pathx::remainder("/a", "/a"), "");
    EXPECT_EQ(pathx::remainder("/a/b", "/"), "a/b");
    EXPECT_EQ(pathx::remainder("a/b", ""), "a/b");
}

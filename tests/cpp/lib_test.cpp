#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "install/cache.hpp"
#include "test_util.hpp"

using halvo::test::EnvVar;

TEST(CacheRoot, Table) {
    struct Case {
        const char* halvo_home;
        const char* home;
        std::optional<std::string> root;
    } cases[] = {
        {"/opt/h", "/home/u", "/opt/h"},
        {"", "/home/u", ""},
        {nullptr, "/home/u/", "/home/u/Library/Caches/halvo"},
        {nullptr, "/home/u", "/home/u/Library/Caches/halvo"},
        {nullptr, "", "Library/Caches/halvo"},
        {nullptr, nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        EnvVar a("HALVO_HOME", c.halvo_home), b("HOME", c.home);
        EXPECT_EQ(halvo::cache_root(), c.root) << (c.halvo_home ? c.halvo_home : "-") << " " << (c.home ? c.home : "-");
    }
    EXPECT_EQ(halvo::join_path("", "bin"), "bin");
}

#pragma once
// What the mount tests share: a fixture with its own TMPDIR (so the registry
// is private) and its own mount root, and a safety net that lazily unmounts
// anything a failed test leaves under that root.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fs/directory.hpp"
#include "fs/mount/impl/fuse_t.hpp"
#include "fs/mount/table.hpp"
#include "base/pathx.hpp"
#include "platform/fuse_shim.hpp"
#include "platform/process.hpp"
#include "test_util.hpp"

namespace halvo::fs::mount::test {

using impl::FuseTMount;
using impl::MountTimings;

// Short waits for the cases that would otherwise wait out the full limits.
inline MountTimings quick_timings() {
    MountTimings t;
    t.mount_wait = std::chrono::milliseconds(1000);
    t.thread_wait = std::chrono::milliseconds(1000);
    t.settle_wait = std::chrono::milliseconds(300);
    t.command_limit = std::chrono::milliseconds(1000);
    return t;
}

template <class Pred>
bool eventually(Pred p, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!p()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline bool listed(const std::string& mp) {
    for (const auto& e : platform::mount_table())
        if (e.mount_point == mp) return true;
    return false;
}

using halvo::test::read_file;

inline std::vector<std::string> dir_names(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

class MountTest : public ::testing::Test {
protected:
    void SetUp() override {
        // These tests must run wherever they are built: no silent skip.
        struct stat st;
        ASSERT_TRUE(::stat("/dev/fuse", &st) == 0 && S_ISCHR(st.st_mode))
            << "the mount tests need /dev/fuse (load the fuse module)";
        ASSERT_EQ(platform::halvo_fuse_t_status(), 1) << "the mount tests need libfuse.so.2";
        char tmpl[] = "/tmp/halvo-mount-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        tmp_ = root_ + "/tmp";
        std::filesystem::create_directory(tmp_);
        tmpdir_.emplace("TMPDIR", tmp_.c_str());
    }

    void TearDown() override {
        // The safety net: deepest first, so nested mounts come off in order.
        auto left = table::mounts_under(root_);
        for (auto it = left.rbegin(); it != left.rend(); ++it) {
            ADD_FAILURE() << "left mounted: " << *it;
            (void)platform::run_command("umount", {"-l", *it}, std::chrono::seconds(5), std::chrono::milliseconds(20));
        }
        for (pid_t pid : children_) ::kill(pid, SIGKILL);
        tmpdir_.reset();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    // A fresh empty folder under the mount root.
    std::string folder(const std::string& name) {
        std::string p = root_ + "/" + name;
        std::filesystem::create_directories(p);
        return p;
    }

    std::string registry() const { return tmp_ + "/halvo-mounts"; }
    std::vector<std::string> records() const { return dir_names(registry()); }

    // A process to SIGKILL at the end whatever happens.
    void own_child(pid_t pid) { children_.push_back(pid); }

    std::string root_, tmp_;
    std::optional<halvo::test::EnvVar> tmpdir_;
    std::vector<pid_t> children_;
};

}  // namespace halvo::fs::mount::test

// When a mount's owner dies: the watchdog takes its mounts down, and the
// next mount's reclaim takes down what the watchdog could not. The owners
// here are helper processes that mount and are then killed.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <sstream>

#include "fs/mount/claim.hpp"
#include "mount_test_util.hpp"
#include "base/quote.hpp"

namespace halvo::fs::mount::test {
namespace {

std::string helper_path() {
    auto exe = std::filesystem::read_symlink("/proc/self/exe");
    return (exe.parent_path() / "halvo_fs_helper").string();
}

// "KEY pid=1 watchdog=2" -> {pid: 1, watchdog: 2}
std::map<std::string, long> fields(const std::string& line) {
    std::map<std::string, long> out;
    std::istringstream in(line);
    std::string word;
    while (in >> word)
        if (auto eq = word.find('='); eq != std::string::npos) out[word.substr(0, eq)] = std::stol(word.substr(eq + 1));
    return out;
}

// Whether the process ignores INT, TERM, HUP, QUIT and PIPE.
bool ignores_signals(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (in >> key) {
        if (key != "SigIgn:") continue;
        std::string hex;
        in >> hex;
        unsigned long long mask = std::stoull(hex, nullptr, 16);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
            if (!(mask & (1ull << (sig - 1)))) return false;
        return true;
    }
    return false;
}

class OwnerTest : public MountTest {
protected:
    void TearDown() override {
        for (auto& h : helpers_) {
            ::killpg(h.pid(), SIGKILL);
            (void)h.wait_for(std::chrono::seconds(5));
        }
        helpers_.clear();
        // Dead mounts of killed helpers come down with the watchdog; wait
        // for it before the safety net looks.
        eventually([&] { return table::mounts_under(root_).empty(); });
        MountTest::TearDown();
    }

    // Starts the helper in a process group of its own and returns its pipe.
    platform::Child& start(std::vector<std::string> args) {
        args.insert(args.begin(), "mount");
        platform::Command cmd(helper_path(), std::move(args));
        cmd.out = platform::Stdio::piped();
        cmd.own_process_group = true;
        auto child = platform::spawn(std::move(cmd));
        EXPECT_TRUE(child) << child.error().text();
        helpers_.push_back(std::move(child).value());
        return helpers_.back();
    }

    // The next line of the helper's output, waiting up to 20 s.
    std::string line(platform::Child& h) {
        std::string out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{h.stdout_pipe().get(), POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char c;
            if (::read(h.stdout_pipe().get(), &c, 1) != 1) break;
            if (c == '\n') return out;
            out.push_back(c);
        }
        ADD_FAILURE() << "the helper said nothing; so far: " << out;
        return out;
    }

    void kill_and_reap(platform::Child& h) {
        ::kill(h.pid(), SIGKILL);
        ASSERT_TRUE(h.wait_for(std::chrono::seconds(5)));
    }

    std::vector<platform::Child> helpers_;
};

TEST_F(OwnerTest, KilledOwnerLeavesNoMountAndNoRecord) {
    std::string mp = folder("mnt");
    auto& h = start({mp});
    auto ready = fields(line(h));
    ASSERT_GT(ready["watchdog"], 0);
    pid_t wd = static_cast<pid_t>(ready["watchdog"]);
    ASSERT_TRUE(listed(mp));
    ASSERT_EQ(records(), std::vector<std::string>{std::to_string(ready["pid"]) + "-0"});

    // Deaf to the signals a terminal or a process-group kill sends, once its
    // first line has run.
    EXPECT_TRUE(eventually([&] { return ignores_signals(wd); }));
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) ASSERT_EQ(::kill(wd, sig), 0);
    EXPECT_NE(::getpgid(wd), ::getpgid(h.pid()));
    ::killpg(h.pid(), SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(::kill(wd, 0), 0) << "the watchdog must survive its owner's group";
    ASSERT_TRUE(h.wait_for(std::chrono::seconds(5)));

    EXPECT_TRUE(eventually([&] { return !listed(mp); }));
    EXPECT_TRUE(eventually([&] { return records().empty(); }));
}

// A child spawned carelessly after mounting inherits whatever lacks
// close-on-exec; neither /dev/fuse nor the watchdog's pipe may be among it.
TEST_F(OwnerTest, ChildThatInheritedNothingDoesNotKeepTheMountAlive) {
    std::string mp = folder("mnt");
    auto& h = start({mp, "--spawn-child"});
    auto ready = fields(line(h));
    ASSERT_GT(ready["child"], 0);
    kill_and_reap(h);
    EXPECT_TRUE(eventually([&] { return !listed(mp); })) << "a child's copy kept the mount";
    EXPECT_TRUE(eventually([&] { return records().empty(); }));
    EXPECT_EQ(::kill(static_cast<pid_t>(ready["child"]), 0), 0) << "the child itself lives on";
}

TEST_F(OwnerTest, OneWatchdogPerProcessAndAForkedChildGetsItsOwn) {
    std::string a = folder("a"), b = folder("b"), c = folder("c");
    auto& h = start({a, b, "--fork-mount", c});
    auto ready = fields(line(h));
    auto forked = fields(line(h));
    ASSERT_GT(ready["watchdog"], 0);
    ASSERT_GT(forked["watchdog"], 0);
    EXPECT_NE(forked["watchdog"], ready["watchdog"]);
    std::string p = std::to_string(ready["pid"]), f = std::to_string(forked["pid"]);
    std::vector<std::string> want = {p + "-0", p + "-1", f + "-0"};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(records(), want);

    ::kill(static_cast<pid_t>(forked["pid"]), SIGKILL);
    EXPECT_TRUE(eventually([&] { return !listed(c); }));
    EXPECT_TRUE(listed(a)) << "the parent's mounts stay with the parent";
    kill_and_reap(h);
    EXPECT_TRUE(eventually([&] { return !listed(a) && !listed(b); }));
    EXPECT_TRUE(eventually([&] { return records().empty(); }));
}

// A forked child keeps /dev/fuse, and no one answers on it any more: the
// watchdog's unmount must not wait on it.
TEST_F(OwnerTest, AForkedChildHoldingTheConnectionDoesNotStopTheWatchdog) {
    std::string mp = folder("mnt");
    auto& h = start({mp, "--fork-holder"});
    auto ready = fields(line(h));
    ASSERT_GT(ready["child"], 0);
    // Past the attribute time-out, so an unmount that looks first must ask.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    kill_and_reap(h);
    EXPECT_TRUE(eventually([&] { return !listed(mp); }, std::chrono::seconds(3)));
    EXPECT_TRUE(eventually([&] { return records().empty(); }, std::chrono::seconds(3)));
}

// Killed while a file of its own mount is open on a descriptor closed
// before the mount's own: its exit would wait on a mount nobody serves.
TEST_F(OwnerTest, AnOwnerHoldingAFileOfItsOwnMountStillDies) {
    std::string mp = folder("mnt");
    auto& h = start({mp, "--hold-own-file"});
    (void)line(h);
    ::kill(h.pid(), SIGKILL);
    auto status = h.wait_for(std::chrono::seconds(3));
    ASSERT_TRUE(status && *status) << "the owner is stuck in its exit";
    EXPECT_TRUE(eventually([&] { return !listed(mp); }, std::chrono::seconds(3)));
    EXPECT_TRUE(eventually([&] { return records().empty(); }, std::chrono::seconds(3)));
}

// Killed while some of its threads wait on answers of its own mount: a
// thread whose request a serving thread had taken when the kill came can
// never end, and the connection must be aborted from outside. Which kill
// catches one is chance, so there are many.
TEST_F(OwnerTest, AnOwnerKilledWhileWaitingOnItsOwnMountStillDies) {
    for (int round = 0; round < 20; ++round) {
        std::string mp = folder("mnt" + std::to_string(round));
        auto& h = start({mp, "--stat-own-mount"});
        (void)line(h);
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + 10 * round));
        ::kill(h.pid(), SIGKILL);
        auto status = h.wait_for(std::chrono::seconds(3));
        if (!status || !*status) {
            // Freed, so the failure is reported rather than hanging the run.
            (void)platform::run_command("umount", {"-f", "-c", mp}, std::chrono::seconds(3),
                                        std::chrono::milliseconds(50));
            FAIL() << "the owner is stuck, round " << round;
        }
        EXPECT_TRUE(eventually([&] { return !listed(mp); }, std::chrono::seconds(3)));
        EXPECT_TRUE(eventually([&] { return records().empty(); }, std::chrono::seconds(3)));
        helpers_.clear();
    }
}

// Whenever the owner dies, a mount it made is recorded, so the watchdog
// and reclaim find it.
TEST_F(OwnerTest, AKillWhileMountingLeavesNothingUnrecorded) {
    std::string mp = folder("mnt");
    for (int delay_us = 0; delay_us <= 6000; delay_us += 200) {
        auto& h = start({"--announce", mp});
        ASSERT_EQ(line(h), "MOUNTING");
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(delay_us);
        while (std::chrono::steady_clock::now() < until) {
        }
        kill_and_reap(h);
        // The owner is gone, so nothing new is mounted or recorded: a mount
        // seen now existed when the records were read.
        auto recs = records();
        if (listed(mp)) {
            bool found = false;
            for (const auto& r : recs) found = found || claim::parse_record(read_file(registry() + "/" + r)).mountpoint == mp;
            EXPECT_TRUE(found) << "a mount without a record, killed " << delay_us << " us after starting";
        }
        ASSERT_TRUE(eventually([&] { return !listed(mp) && records().empty(); })) << delay_us << " us";
        helpers_.clear();
    }
}

TEST_F(OwnerTest, ReclaimTakesDownDeadOwnersMountsFourAtATime) {
    std::vector<std::string> mps;
    for (int i = 0; i < 5; ++i) mps.push_back(folder("m" + std::to_string(i)));
    std::vector<std::string> args = mps;
    args.push_back("--kill-watchdog");
    auto& h = start(args);
    (void)line(h);
    kill_and_reap(h);
    ASSERT_EQ(records().size(), 5u);
    ASSERT_EQ(table::mounts_under(root_).size(), 5u) << "no watchdog: the dead mounts stay";

    EXPECT_TRUE(claim::reclaim_abandoned().empty());
    EXPECT_EQ(records().size(), 1u);
    EXPECT_EQ(table::mounts_under(root_).size(), 1u);
    EXPECT_TRUE(claim::reclaim_abandoned().empty());
    EXPECT_TRUE(records().empty());
    EXPECT_TRUE(table::mounts_under(root_).empty());
}

TEST_F(OwnerTest, ReclaimJudgesRecordsByNameOwnerAndContent) {
    auto reg = claim::registry();
    ASSERT_TRUE(reg);
    auto dead = platform::spawn(platform::Command("true"));
    ASSERT_TRUE(dead);
    std::string gone = std::to_string(dead->pid());
    ASSERT_TRUE(dead->wait_for(std::chrono::seconds(5)));
    std::string me = std::to_string(::getpid());
    struct Case {
        std::string name, content;
        bool kept;
    };
    const std::vector<Case> cases = {
        {"abc", "/x", false},
        {"0-3", "/x", false},
        {"-5-1", "/x", false},
        {"\xff", "/x", false},
        {"+" + me + "-1", root_, true},  // a sign is allowed
        {me + "-9", root_, true},
        {"1-4", root_, true},             // alive, though not ours to signal
        {gone + "-0", "", false},         // empty
        {gone + "-1", root_ + "/none", false},
        {gone + "-2", "/", false},        // never acted on
        {gone + "-3", "relative", false},
    };
    for (const auto& c : cases) std::ofstream(registry() + "/" + c.name) << c.content;
    std::filesystem::create_directory(registry() + "/" + gone + "-dir");
    std::filesystem::create_symlink(root_, registry() + "/" + gone + "-link");

    // No command may run for any of them.
    std::string bin = folder("bin"), log = root_ + "/log";
    std::ofstream(bin + "/umount") << "#!/bin/sh\necho \"$*\" >>" << log << "\n";
    ::chmod((bin + "/umount").c_str(), 0755);
    std::string path = std::getenv("PATH");
    ::setenv("PATH", (bin + ":" + path).c_str(), 1);
    auto stuck = claim::reclaim_abandoned();
    ::setenv("PATH", path.c_str(), 1);

    EXPECT_TRUE(stuck.empty());
    EXPECT_FALSE(std::filesystem::exists(log));
    for (const auto& c : cases)
        EXPECT_EQ(std::filesystem::exists(registry() + "/" + c.name), c.kept) << quoted(c.name);
    EXPECT_TRUE(std::filesystem::is_directory(registry() + "/" + gone + "-dir"));
    EXPECT_TRUE(std::filesystem::is_symlink(registry() + "/" + gone + "-link"));
}

TEST_F(MountTest, RegistryIsUsedOnlyWhenItIsPrivate) {
    struct Case {
        std::string name;
        std::function<void(const std::string& reg)> prepare;
        bool usable;
    };
    const std::vector<Case> cases = {
        {"missing", [](const std::string&) {}, true},
        {"0755", [](const std::string& r) { ::mkdir(r.c_str(), 0755); }, true},
        {"0775", [](const std::string& r) { ::mkdir(r.c_str(), 0775); ::chmod(r.c_str(), 0775); }, false},
        {"other owner", [](const std::string& r) { ::mkdir(r.c_str(), 0700); (void)::chown(r.c_str(), 65534, 65534); },
         false},
        {"symlink", [](const std::string& r) {
             std::string target = r + "-target";
             ::mkdir(target.c_str(), 0700);
             ::symlink(target.c_str(), r.c_str());
         }, false},
    };
    std::string mp = folder("mnt");
    for (const auto& c : cases) {
        std::string tmp = folder("tmp-" + c.name);
        std::string reg = tmp + "/halvo-mounts";
        c.prepare(reg);
        ::setenv("TMPDIR", tmp.c_str(), 1);
        EXPECT_EQ(claim::registry().has_value(), c.usable) << c.name;
        {
            auto m = FuseTMount::mount(std::make_unique<Directory>(), mp);
            ASSERT_TRUE(m) << c.name << ": " << m.error().text();
            std::string target = std::filesystem::is_symlink(reg) ? reg + "-target" : reg;
            EXPECT_EQ(dir_names(target).size(), c.usable ? 1u : 0u) << c.name;
        }
        EXPECT_FALSE(listed(mp));
    }
    struct stat st;
    ASSERT_EQ(::stat((root_ + "/tmp-missing/halvo-mounts").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
}  // namespace halvo::fs::mount::test

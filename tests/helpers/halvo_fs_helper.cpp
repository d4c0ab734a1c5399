// A process that mounts and then waits to be killed, for the tests of what
// happens when a mount's owner dies; and the support check in a fresh
// process, for the tests of the loader.
//
//   halvo_fs_helper mount [--announce] MP... [--kill-watchdog] [--spawn-child]
//                   [--fork-holder] [--hold-own-file] [--stat-own-mount]
//                   [--fork-mount MP2]
//     prints "READY pid=P watchdog=W child=C" (and, with --fork-mount, a
//     line "FORKED pid=P watchdog=W" from the forked child) and blocks.
//     --announce prints "MOUNTING" just before each mount; --fork-holder
//     forks a child that keeps every descriptor (the mount's /dev/fuse
//     among them) without exec; --hold-own-file keeps "hello" of the first
//     mount open on a descriptor below the mount's own; --stat-own-mount
//     keeps threads looking up names in the first mount, so a kill finds
//     some of them waiting on the mount's own serving threads.
//   halvo_fs_helper support
//     prints "status=S api=A release=R" and a second line: "usable" or the
//     advice text.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fs/mount/claim.hpp"
#include "fs/mount/impl/fuse_t.hpp"
#include "fs/mount/support.hpp"
#include "platform/fuse_shim.hpp"

using namespace halvo;
using halvo::fs::mount::impl::FuseTMount;

namespace {

std::vector<std::unique_ptr<FuseTMount>> g_mounts;
bool g_announce = false;

bool mount_one(const std::string& mp) {
    auto tree = std::make_unique<fs::Directory>();
    (void)tree->add_file("hello", "hi");
    if (g_announce) {
        std::printf("MOUNTING\n");
        std::fflush(stdout);
    }
    auto m = FuseTMount::mount(std::move(tree), mp);
    if (!m) {
        std::fprintf(stderr, "mount %s: %s\n", mp.c_str(), m.error().text().c_str());
        return false;
    }
    g_mounts.push_back(std::move(m).value());
    return true;
}

long watchdog() { return fs::mount::claim::watchdog_pid().value_or(-1); }

// Waits until every other thread waits in epoll: the serving threads of a
// mount made just now may still be starting, and the sanitizer's allocator
// is not fork-safe, so a fork then leaves its lock held in the child.
void settle_threads() {
    const std::string me = std::to_string(::gettid());
    for (int round = 0; round < 1000; ++round) {
        bool idle = true;
        for (const auto& t : std::filesystem::directory_iterator("/proc/self/task")) {
            if (t.path().filename() == me) continue;
            std::ifstream in(t.path() / "wchan");
            std::string wchan;
            std::getline(in, wchan);
            idle = idle && wchan.find("epoll") != std::string::npos;
        }
        if (idle) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

[[noreturn]] void block() {
    for (;;) ::pause();
}

int support() {
    std::printf("status=%d api=%d release=%s\n", platform::halvo_fuse_t_status(), platform::halvo_fuse_t_api(),
                platform::halvo_fuse_t_release());
    auto r = fs::mount::support::mount_support();
    std::printf("%s\n", r ? "usable" : r.error().text().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "support") return support();
    if (args.empty() || args[0] != "mount") {
        std::fprintf(stderr, "usage: halvo_fs_helper mount MP... | support\n");
        return 2;
    }
    bool kill_watchdog = false, spawn_child = false, fork_holder = false, hold_own_file = false,
         stat_own_mount = false;
    std::string fork_mp;
    // Taken before mounting, so it lies below the mount's own descriptor.
    int low = ::open("/dev/null", O_RDONLY);
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--announce")
            g_announce = true;
        else if (args[i] == "--kill-watchdog")
            kill_watchdog = true;
        else if (args[i] == "--spawn-child")
            spawn_child = true;
        else if (args[i] == "--fork-holder")
            fork_holder = true;
        else if (args[i] == "--hold-own-file")
            hold_own_file = true;
        else if (args[i] == "--stat-own-mount")
            stat_own_mount = true;
        else if (args[i] == "--fork-mount" && i + 1 < args.size())
            fork_mp = args[++i];
        else if (!mount_one(args[i]))
            return 1;
    }
    if (hold_own_file && !g_mounts.empty()) {
        int fd = ::open((g_mounts.front()->mountpoint() + "/hello").c_str(), O_RDONLY);
        if (fd < 0 || ::dup2(fd, low) < 0) return 1;
        ::close(fd);
    }
    if (stat_own_mount && !g_mounts.empty()) {
        const std::string mp = g_mounts.front()->mountpoint();
        for (int t = 0; t < 8; ++t)
            std::thread([mp, t] {
                struct stat st;
                // Names never seen before: each is a request to the mount.
                for (long i = 0;; ++i) (void)::stat((mp + "/none-" + std::to_string(t) + "-" + std::to_string(i)).c_str(), &st);
            }).detach();
    }
    long child = -1;
    if (fork_holder) {
        pid_t pid = ::fork();
        if (pid == 0) block();
        child = pid;
    }
    if (spawn_child) {
        // A plain fork and exec, inheriting every descriptor that lacks
        // close-on-exec, as any careless child would.
        pid_t pid = ::fork();
        if (pid == 0) {
            ::execlp("sleep", "sleep", "1000", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        child = pid;
    }
    long wd = watchdog();
    if (kill_watchdog && wd > 0) {
        ::kill(static_cast<pid_t>(wd), SIGKILL);
        ::waitpid(static_cast<pid_t>(wd), nullptr, 0);
    }
    std::printf("READY pid=%ld watchdog=%ld child=%ld\n", static_cast<long>(::getpid()), wd, child);
    std::fflush(stdout);
    if (!fork_mp.empty()) {
        settle_threads();
        pid_t pid = ::fork();
        if (pid == 0) {
            if (!mount_one(fork_mp)) ::_exit(1);
            std::printf("FORKED pid=%ld watchdog=%ld\n", static_cast<long>(::getpid()), watchdog());
            std::fflush(stdout);
            block();
        }
    }
    block();
}

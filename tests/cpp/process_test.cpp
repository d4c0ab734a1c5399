#include "platform/process.hpp"

#include <gtest/gtest.h>

#include "base/quote.hpp"
#include "rt/runtime.hpp"
#include "test_util.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <thread>

using namespace halvo;
using namespace halvo::platform;
using namespace std::chrono_literals;

namespace {

Command sh(std::string script) { return Command("sh", {"-c", std::move(script)}); }

Child start(Command cmd) {
    auto c = spawn(std::move(cmd));
    if (!c) throw std::runtime_error("spawn: " + c.error().text());
    return std::move(c).value();
}

ExitStatus finish(Child& c) {
    auto s = c.wait_for(30s);
    if (!s || !*s) throw std::runtime_error("the child did not end");
    return **s;
}

std::string read_all(Fd& fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return out;
        out.append(buf, n);
    }
}

// A field of /proc/<pid>/status, such as "SigIgn".
std::string status_field(pid_t pid, const std::string& name) {
    std::istringstream in(halvo::test::read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0) return line.substr(name.size() + 1 + line.substr(name.size() + 1).find_first_not_of(" \t"));
    return "";
}

bool gone(pid_t pid) {
    for (int i = 0; i < 1000; ++i) {
        if (!std::filesystem::exists("/proc/" + std::to_string(pid))) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::size_t open_fds() {
    std::size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

}  // namespace

TEST(ProcessExitStatus, Texts) {
    struct Case {
        ExitStatus status;
        const char* text;
        bool success;
    } cases[] = {
        {ExitStatus::exited(0), "exit status: 0", true},
        {ExitStatus::exited(3), "exit status: 3", false},
        {ExitStatus::signalled(SIGTERM, false), "signal: 15 (SIGTERM)", false},
        {ExitStatus::signalled(SIGSEGV, true), "signal: 11 (SIGSEGV) (core dumped)", false},
        {ExitStatus::signalled(SIGRTMIN + 1, false), nullptr, false},
        {ExitStatus::unknown(), "exit status: unknown", true},
    };
    for (const auto& c : cases) {
        if (c.text) {
            EXPECT_EQ(c.status.text(), c.text);
        }
        EXPECT_EQ(c.status.success(), c.success) << c.status.text();
    }
    // A signal without a name shows its number alone.
    EXPECT_EQ(ExitStatus::signalled(SIGRTMIN + 1, false).text(), "signal: " + std::to_string(SIGRTMIN + 1));
}

TEST(ProcessSpawn, ExitCodesAndSignalsOfRealChildren) {
    struct Case {
        const char* script;
        const char* text;
    } cases[] = {
        {"exit 0", "exit status: 0"},
        {"exit 3", "exit status: 3"},
        {"kill -TERM $$", "signal: 15 (SIGTERM)"},
        {"kill -KILL $$", "signal: 9 (SIGKILL)"},
    };
    for (const auto& c : cases) {
        auto child = start(sh(c.script));
        EXPECT_EQ(finish(child).text(), c.text) << c.script;
        // Reaped once; asking again gives the same answer.
        auto again = child.try_wait();
        ASSERT_TRUE(again && *again);
        EXPECT_EQ((*again)->text(), c.text);
    }
}

TEST(ProcessSpawn, WaitWithALimitThatExpiresThenKill) {
    auto child = start(Command("sleep", {"30"}));
    auto s = child.wait_for(100ms);
    ASSERT_TRUE(s);
    EXPECT_FALSE(*s);
    auto polled = child.try_wait();
    ASSERT_TRUE(polled);
    EXPECT_FALSE(*polled);
    ASSERT_TRUE(child.kill(SIGKILL));
    EXPECT_EQ(finish(child), ExitStatus::signalled(SIGKILL, false));
    EXPECT_TRUE(gone(child.pid()));
    // Killing a reaped child is quietly nothing.
    EXPECT_TRUE(child.kill(SIGKILL));
}

TEST(ProcessSpawn, PipesCarryAllThreeStreams) {
    Command cmd = sh("cat; echo oops >&2");
    cmd.in = cmd.out = cmd.err = Stdio::piped();
    auto child = start(std::move(cmd));
    ASSERT_TRUE(child.stdin_pipe() && child.stdout_pipe() && child.stderr_pipe());
    ASSERT_EQ(::write(child.stdin_pipe().get(), "hello", 5), 5);
    child.stdin_pipe().reset();
    EXPECT_EQ(read_all(child.stdout_pipe()), "hello");
    EXPECT_EQ(read_all(child.stderr_pipe()), "oops\n");
    EXPECT_TRUE(finish(child).success());
}

TEST(ProcessSpawn, NullAndGivenDescriptors) {
    auto p = make_pipe();
    ASSERT_TRUE(p);
    Command cmd = sh("echo to-out; echo to-err >&2; cat");
    cmd.in = Stdio::null();
    cmd.out = Stdio::from_fd(p->write.get());
    cmd.err = Stdio::null();
    auto child = start(std::move(cmd));
    p->write.reset();
    // stdin at /dev/null: cat ends at once; stderr went nowhere.
    EXPECT_EQ(read_all(p->read), "to-out\n");
    EXPECT_TRUE(finish(child).success());
}

TEST(ProcessSpawn, MissingProgramIsENOENTAndLeaksNothing) {
    auto before = open_fds();
    for (const char* program : {"halvo-no-such-program", "/nonexistent/halvo", ""}) {
        Command cmd(program);
        cmd.in = cmd.out = cmd.err = Stdio::piped();
        auto c = spawn(std::move(cmd));
        ASSERT_FALSE(c) << program;
        EXPECT_EQ(c.error().os_errno, ENOENT) << program;
        EXPECT_EQ(c.error().kind, ErrorKind::NotFound);
    }
    EXPECT_EQ(open_fds(), before);
}

TEST(ProcessSpawn, NulInTheCommandLineIsRefusedBeforeAnythingRuns) {
    using namespace std::string_literals;
    test::TempDir dir;
    const std::string mark = dir / "ran";
    struct Case {
        Command cmd;
        std::string shown;
    };
    Case cases[] = {
        {Command("sh\0junk"s, {"-c", "touch " + mark}), R"("sh\0junk")"},
        {Command("sh", {"-c", "touch " + mark + "\0; false"s}), halvo::quoted("touch " + mark + "\0; false"s)},
        {Command("sh", {"-c", "touch " + mark, "\0"s}), R"("\0")"},
    };
    auto before = open_fds();
    for (auto& c : cases) {
        auto child = spawn(std::move(c.cmd));
        ASSERT_FALSE(child) << c.shown;
        EXPECT_EQ(child.error().kind, ErrorKind::InvalidInput);
        EXPECT_EQ(child.error().text(), "a command line cannot hold a NUL byte: " + c.shown);
    }
    EXPECT_EQ(open_fds(), before);
    // A child started anyway would have left its mark by now.
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(std::filesystem::exists(mark));
}

TEST(ProcessSpawn, EnvironmentSnapshotAndItsPathReachTheChild) {
    // A program found only on the snapshot's PATH.
    auto dir = std::filesystem::temp_directory_path() / ("halvo-proc-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        std::ofstream f(dir / "halvo-hello");
        f << "#!/bin/sh\nprintf '%s|%s' \"$HALVO_TEST_VAR\" \"$HALVO_GONE\"\n";
    }
    std::filesystem::permissions(dir / "halvo-hello", std::filesystem::perms::owner_all);

    ::setenv("HALVO_GONE", "still here", 1);
    Env env = environ_snapshot();
    ::unsetenv("HALVO_GONE");
    env.set("HALVO_TEST_VAR", "a b=c");
    env.set("PATH", dir.string() + ":/usr/bin:/bin");
    EXPECT_EQ(env.get("HALVO_TEST_VAR"), "a b=c");

    Command cmd("halvo-hello");
    cmd.env = env;
    cmd.out = Stdio::piped();
    auto child = start(std::move(cmd));
    EXPECT_EQ(read_all(child.stdout_pipe()), "a b=c|still here");
    EXPECT_TRUE(finish(child).success());

    // Without the folder on its PATH the program is not found.
    Command other("halvo-hello");
    other.env = env.unset("PATH").set("PATH", "/usr/bin:/bin");
    auto missing = spawn(std::move(other));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().os_errno, ENOENT);
    std::filesystem::remove_all(dir);
}

TEST(ProcessSpawn, WorkingFolderAndOwnProcessGroup) {
    Command cmd = sh("pwd; exec sleep 30");
    cmd.cwd = "/";
    cmd.out = Stdio::piped();
    cmd.own_process_group = true;
    auto child = start(std::move(cmd));
    char line[3] = {};
    ASSERT_EQ(::read(child.stdout_pipe().get(), line, 2), 2);
    EXPECT_STREQ(line, "/\n");
    EXPECT_EQ(::getpgid(child.pid()), child.pid());
    ASSERT_TRUE(child.kill(SIGKILL));
    finish(child);
}

TEST(ProcessSpawn, ChildGetsDefaultSignalsAndAnEmptyMask) {
    // The runner ignores SIGPIPE (like Python); block another signal too.
    auto old_pipe = ::signal(SIGPIPE, SIG_IGN);
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    auto child = start(Command("sleep", {"30"}));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::signal(SIGPIPE, old_pipe);

    // Wait for the exec: until then /proc shows the parent's copy.
    for (int i = 0; i < 500 && halvo::test::read_file("/proc/" + std::to_string(child.pid()) + "/comm") != "sleep\n"; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(std::stoull(status_field(child.pid(), "SigBlk"), nullptr, 16), 0u);
    auto ignored = std::stoull(status_field(child.pid(), "SigIgn"), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u);
    EXPECT_EQ(ignored & (1ull << (SIGXFSZ - 1)), 0u);
    ASSERT_TRUE(child.kill(SIGKILL));
    finish(child);
}

TEST(ProcessSpawn, NoChildInheritsAnotherChildsPipes) {
    Command a("sleep", {"30"});
    a.in = a.out = a.err = Stdio::piped();
    auto first = start(std::move(a));
    Command b("sleep", {"30"});
    b.in = b.out = b.err = Stdio::piped();
    auto second = start(std::move(b));

    auto pipe_name = [](Fd& fd) {
        struct stat st;
        ::fstat(fd.get(), &st);
        return "pipe:[" + std::to_string(st.st_ino) + "]";
    };
    std::set<std::string> firsts = {pipe_name(first.stdin_pipe()), pipe_name(first.stdout_pipe()),
                                    pipe_name(first.stderr_pipe())};
    std::set<std::string> seconds_own = {pipe_name(second.stdin_pipe()), pipe_name(second.stdout_pipe()),
                                         pipe_name(second.stderr_pipe())};
    std::set<std::string> seen;
    for (auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(second.pid()) + "/fd")) {
        std::error_code ec;
        auto target = std::filesystem::read_symlink(e.path(), ec);
        if (!ec) seen.insert(target.string());
    }
    for (const auto& p : firsts) EXPECT_FALSE(seen.count(p)) << "the second child holds " << p;
    for (const auto& p : seconds_own) EXPECT_TRUE(seen.count(p)) << "the second child lacks its own " << p;
    ASSERT_TRUE(first.kill(SIGKILL));
    ASSERT_TRUE(second.kill(SIGKILL));
    finish(first);
    finish(second);
}

TEST(ProcessReaping, DroppedRunningChildIsReapedNotKilled) {
    auto p = make_pipe();
    ASSERT_TRUE(p);
    pid_t pid;
    {
        Command cmd = sh("sleep 0.3; echo finished");
        cmd.out = Stdio::from_fd(p->write.get());
        auto child = start(std::move(cmd));
        pid = child.pid();
    }  // dropped while it runs
    p->write.reset();
    EXPECT_EQ(read_all(p->read), "finished\n");
    EXPECT_TRUE(gone(pid)) << "the child was left a zombie";
    siginfo_t si{};
    EXPECT_EQ(::waitid(P_PID, pid, &si, WEXITED | WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(ProcessReaping, ChildReapedBySomeoneElseEndsQuietly) {
    auto child = start(sh("exit 7"));
    // What a script's own child watcher does.
    int st;
    ASSERT_EQ(::waitpid(child.pid(), &st, 0), child.pid());
    auto s = child.try_wait();
    ASSERT_TRUE(s);
    ASSERT_TRUE(*s);
    EXPECT_FALSE((*s)->known());
    EXPECT_TRUE(child.kill(SIGKILL));
}

namespace {

// Whether the process is there and has not ended (a zombie has ended).
bool running(pid_t pid) {
    const std::string stat = halvo::test::read_file("/proc/" + std::to_string(pid) + "/stat");
    auto paren = stat.rfind(')');
    return paren != std::string::npos && stat.size() > paren + 2 && stat[paren + 2] != 'Z';
}

}  // namespace

TEST(ProcessEndAtExit, TheExitClosesInputsThenKillsWhatIsStillRunning) {
    // In a forked child, which exits as a program does; its children outlive
    // it unless ended.
    test::TempDir dir;
    const std::string said = dir / "said";
    struct Case {
        const char* name;
        const char* script;  // run with its input piped
        bool marked, held, ended;
    };
    const Case cases[] = {
        // Sees its input end before the kill, and says so.
        {"reads to the end", "cat >/dev/null; echo ended >> '{}'", true, true, true},
        {"deaf to the end of its input", "exec sleep 30", true, true, true},
        // Let go to the reaper, which never ran: still ours.
        {"let go, not reaped", "exec sleep 30", true, false, true},
        {"not marked", "exec sleep 30", false, true, false},
    };
    constexpr std::size_t n = std::size(cases);
    auto p = make_pipe();
    ASSERT_TRUE(p);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::vector<Child> held;
        pid_t pids[n];
        for (std::size_t i = 0; i < n; ++i) {
            std::string script = cases[i].script;
            if (auto at = script.find("{}"); at != std::string::npos) script.replace(at, 2, said);
            Command cmd = sh(script);
            cmd.in = Stdio::piped();
            auto c = spawn(std::move(cmd));
            if (!c) std::_Exit(1);
            pids[i] = c->pid();
            if (cases[i].marked) c->end_at_exit(c->stdin_pipe().get());
            if (cases[i].held) held.push_back(std::move(*c));
        }
        if (::write(p->write.get(), pids, sizeof pids) != sizeof pids) std::_Exit(1);
        std::exit(0);
    }
    p->write.reset();
    pid_t pids[n];
    ASSERT_EQ(::read(p->read.get(), pids, sizeof pids), static_cast<ssize_t>(sizeof pids));
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    for (std::size_t i = 0; i < n; ++i) {
        for (int t = 0; t < 300 && cases[i].ended && running(pids[i]); ++t) std::this_thread::sleep_for(10ms);
        EXPECT_EQ(!running(pids[i]), cases[i].ended) << cases[i].name;
        ::kill(pids[i], SIGKILL);
    }
    EXPECT_EQ(test::read_file(said), "ended\n") << "its input was not closed before the kill";
}

TEST(ProcessEndAtExit, AForkedChildEndsNoneOfItsParentsChildren) {
    Command cmd("sleep", {"30"});
    cmd.in = Stdio::piped();
    Child held = start(std::move(cmd));
    held.end_at_exit(held.stdin_pipe().get());
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        rt::stop();
        std::_Exit(0);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    std::this_thread::sleep_for(100ms);
    auto s = held.try_wait();
    ASSERT_TRUE(s);
    EXPECT_FALSE(*s) << "killed by the forked child: " << (*s)->text();
    ASSERT_TRUE(held.kill(SIGKILL));
    finish(held);
}

TEST(ProcessEndAtExit, AForkedChildsCopyOfAChildSignalsNothing) {
    Child held = start(Command("sleep", {"30"}));
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const bool copy = !held.started_here();
        const bool sent = bool(held.kill(SIGKILL));
        { Child gone = std::move(held); }
        std::_Exit(copy && sent ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_TRUE(held.started_here());
    std::this_thread::sleep_for(100ms);
    auto s = held.try_wait();
    ASSERT_TRUE(s);
    EXPECT_FALSE(*s) << "killed by the forked child: " << (*s)->text();
    ASSERT_TRUE(held.kill(SIGKILL));
    finish(held);
}

TEST(ProcessAsyncWait, WaitsOnTheRuntimeAndCancelLeavesTheChildAlone) {
    auto child = start(sh("sleep 0.2; exit 5"));
    std::promise<std::string> got;
    rt::spawn_detached([](Child* c, std::promise<std::string>* got) -> asio::awaitable<void> {
        auto s = co_await c->wait();
        got->set_value(s ? s->text() : s.error().text());
    }(&child, &got));
    auto f = got.get_future();
    ASSERT_EQ(f.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(f.get(), "exit status: 5");

    auto sleeper = start(Command("sleep", {"30"}));
    auto sig = std::make_shared<rt::CancelSignal>();
    std::promise<bool> aborted;
    rt::spawn([](Child* c) -> asio::awaitable<void> { (void)co_await c->wait(); }(&sleeper), sig,
              [&](std::exception_ptr e) { aborted.set_value(e != nullptr); });
    std::this_thread::sleep_for(50ms);
    sig->cancel();
    auto a = aborted.get_future();
    ASSERT_EQ(a.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(a.get());
    auto still = sleeper.try_wait();
    ASSERT_TRUE(still);
    EXPECT_FALSE(*still) << "cancelling the wait ended the child";
    ASSERT_TRUE(sleeper.kill(SIGKILL));
    EXPECT_EQ(finish(sleeper), ExitStatus::signalled(SIGKILL, false));
}

TEST(ProcessRunCommand, ShortCommands) {
    auto ok = run_command("true", {}, 3s, 50ms);
    ASSERT_TRUE(ok);
    EXPECT_FALSE(ok->killed);
    EXPECT_EQ(ok->status, ExitStatus::exited(0));

    auto code = run_command("sh", {"-c", "echo hidden; exit 4"}, 3s, 50ms);
    ASSERT_TRUE(code);
    EXPECT_EQ(code->status, ExitStatus::exited(4));

    auto hung = run_command("sleep", {"30"}, 200ms, 50ms);
    ASSERT_TRUE(hung);
    EXPECT_TRUE(hung->killed);
    EXPECT_EQ(hung->status, ExitStatus::signalled(SIGKILL, false));

    auto missing = run_command("halvo-no-such-program", {}, 3s, 50ms);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().os_errno, ENOENT);
}

#include "platform/process.hpp"

#include <asio/posix/stream_descriptor.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <fstream>
#include <sstream>

#include "base/quote.hpp"
#include "rt/runtime.hpp"
#include "base/utf8.hpp"

extern char** environ;

namespace halvo::platform {

// ---- environment ----

namespace {

bool names(std::string_view entry, std::string_view name) {
    return entry.size() > name.size() && entry.substr(0, name.size()) == name && entry[name.size()] == '=';
}

}  // namespace

Env& Env::set(std::string_view name, std::string_view value) {
    std::string entry;
    entry.reserve(name.size() + 1 + value.size());
    entry.append(name).append("=").append(value);
    for (auto& e : entries_)
        if (names(e, name)) {
            e = std::move(entry);
            return *this;
        }
    entries_.push_back(std::move(entry));
    return *this;
}

Env& Env::unset(std::string_view name) {
    std::erase_if(entries_, [&](const std::string& e) { return names(e, name); });
    return *this;
}

std::optional<std::string_view> Env::get(std::string_view name) const {
    for (const auto& e : entries_)
        if (names(e, name)) return std::string_view(e).substr(name.size() + 1);
    return std::nullopt;
}

std::optional<std::string> Env::text(std::string_view name) const {
    auto v = get(name);
    if (!v || v->empty() || !utf8::valid(*v)) return std::nullopt;
    return std::string(*v);
}

Env environ_snapshot() {
    std::vector<std::string> entries;
    for (char** e = environ; e && *e; ++e) entries.emplace_back(*e);
    return Env(std::move(entries));
}

// ---- exit status ----

std::string ExitStatus::text() const {
    switch (kind_) {
        case Kind::Exited:
            return "exit status: " + std::to_string(value_);
        case Kind::Signalled: {
            std::string t = "signal: " + std::to_string(value_);
            if (const char* name = ::sigabbrev_np(value_)) t.append(" (SIG").append(name).append(")");
            if (core_) t += " (core dumped)";
            return t;
        }
        case Kind::Unknown:
            break;
    }
    return "exit status: unknown";
}

// ---- spawning ----

namespace {

int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

struct FileActions {
    posix_spawn_file_actions_t fa;
    FileActions() { posix_spawn_file_actions_init(&fa); }
    ~FileActions() { posix_spawn_file_actions_destroy(&fa); }
};

struct Attrs {
    posix_spawnattr_t attr;
    Attrs() { posix_spawnattr_init(&attr); }
    ~Attrs() { posix_spawnattr_destroy(&attr); }
};

IoError from_rc(int rc) { return IoError::os(rc); }

IoResult<ExitStatus> status_of(const siginfo_t& si) {
    switch (si.si_code) {
        case CLD_EXITED:
            return ExitStatus::exited(si.si_status);
        case CLD_KILLED:
            return ExitStatus::signalled(si.si_status, false);
        case CLD_DUMPED:
            return ExitStatus::signalled(si.si_status, true);
    }
    return fail(IoError(ErrorKind::Other, "unexpected child state " + std::to_string(si.si_code)));
}

}  // namespace

IoResult<std::string> find_program(const std::string& program, const Env& env) {
    if (program.empty()) return fail(IoError::os(ENOENT));
    if (program.find('/') != std::string::npos) return program;
    std::string_view dirs = env.get("PATH").value_or("/bin:/usr/bin");
    int err = ENOENT;
    for (;;) {
        auto colon = dirs.find(':');
        std::string_view dir = dirs.substr(0, colon);
        std::string candidate = dir.empty() ? std::string(".") : std::string(dir);
        candidate.append("/").append(program);
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (::faccessat(AT_FDCWD, candidate.c_str(), X_OK, AT_EACCESS) == 0) return candidate;
            err = EACCES;
        }
        if (colon == std::string_view::npos) break;
        dirs.remove_prefix(colon + 1);
    }
    return fail(IoError::os(err));
}

namespace {

// exec takes C strings, which end at their first NUL: such a command line
// would run another program, or the right one with other arguments.
IoResult<void> check_no_nul(const Command& cmd) {
    auto holds_nul = [](const std::string& s) { return s.find('\0') != std::string::npos; };
    const std::string* bad = holds_nul(cmd.program) ? &cmd.program : nullptr;
    for (auto it = cmd.args.begin(); !bad && it != cmd.args.end(); ++it)
        if (holds_nul(*it)) bad = &*it;
    if (!bad) return {};
    return fail(IoError(ErrorKind::InvalidInput, "a command line cannot hold a NUL byte: " + quoted(*bad)));
}

}  // namespace

IoResult<Child> spawn(Command cmd) {
    HALVO_CHECK(check_no_nul(cmd));
    Env env = cmd.env ? std::move(*cmd.env) : environ_snapshot();
    HALVO_TRY(std::string path, find_program(cmd.program, env));

    FileActions actions;
    Fd parent_end[3];
    Fd child_end[3];  // closed here once the child has its copies
    const Stdio* streams[3] = {&cmd.in, &cmd.out, &cmd.err};
    for (int i = 0; i < 3; ++i) {
        int src = -1;
        switch (streams[i]->kind) {
            case Stdio::Kind::Inherit:
                continue;
            case Stdio::Kind::Null: {
                int rc = posix_spawn_file_actions_addopen(&actions.fa, i, "/dev/null", i == 0 ? O_RDONLY : O_WRONLY, 0);
                if (rc != 0) return fail(from_rc(rc));
                continue;
            }
            case Stdio::Kind::Pipe: {
                HALVO_TRY(Pipe p, make_pipe());
                if (i == 0) {
                    child_end[i] = std::move(p.read);
                    parent_end[i] = std::move(p.write);
                } else {
                    child_end[i] = std::move(p.write);
                    parent_end[i] = std::move(p.read);
                }
                src = child_end[i].get();
                break;
            }
            case Stdio::Kind::Fd:
                src = streams[i]->fd;
                break;
        }
        // A source among 0..2 could be overwritten by an earlier dup2 of the
        // child: move it out of the way first.
        if (src < 3 && src != i) {
            int moved = ::fcntl(src, F_DUPFD_CLOEXEC, 3);
            if (moved < 0) return fail(IoError::last_os());
            child_end[i].reset(moved);
            src = moved;
        }
        int rc = posix_spawn_file_actions_adddup2(&actions.fa, src, i);
        if (rc != 0) return fail(from_rc(rc));
    }
    if (cmd.cwd) {
        int rc = posix_spawn_file_actions_addchdir_np(&actions.fa, cmd.cwd->c_str());
        if (rc != 0) return fail(from_rc(rc));
    }

    Attrs attrs;
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    sigset_t mask, defaults;
    sigemptyset(&mask);
    sigemptyset(&defaults);
    // Python ignores these, and an ignored disposition survives exec.
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigmask(&attrs.attr, &mask);
    posix_spawnattr_setsigdefault(&attrs.attr, &defaults);
    if (cmd.own_process_group) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attrs.attr, 0);
    }
    posix_spawnattr_setflags(&attrs.attr, flags);

    std::vector<char*> argv;
    argv.push_back(cmd.program.data());
    for (auto& a : cmd.args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env.entries()) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, path.c_str(), &actions.fa, &attrs.attr, argv.data(), envp.data());
    if (rc != 0) return fail(from_rc(rc));

    Fd pidfd(pidfd_open(pid));
    if (!pidfd) {
        int err = errno;
        if (err != ESRCH) {
            // Without a pidfd the child cannot be watched: end it here.
            ::kill(pid, SIGKILL);
            siginfo_t si;
            while (::waitid(P_PID, pid, &si, WEXITED) != 0 && errno == EINTR) {
            }
            return fail(IoError::os(err));
        }
    }
    Child child(pid, std::move(pidfd));
    // ESRCH: it has already ended and someone else reaped it.
    if (!child.pidfd_) child.status_ = ExitStatus::unknown();
    child.in_ = std::move(parent_end[0]);
    child.out_ = std::move(parent_end[1]);
    child.err_ = std::move(parent_end[2]);
    return child;
}

// ---- the child ----

Child::Child(Child&& o) noexcept
    : pid_(o.pid_),
      origin_(o.origin_),
      pidfd_(std::move(o.pidfd_)),
      status_(o.status_),
      in_(std::move(o.in_)),
      out_(std::move(o.out_)),
      err_(std::move(o.err_)),
      kept_(std::move(o.kept_)),
      at_exit_(std::move(o.at_exit_)) {}

Child& Child::operator=(Child&& o) noexcept {
    if (this != &o) {
        reap_later();
        pid_ = o.pid_;
        origin_ = o.origin_;
        pidfd_ = std::move(o.pidfd_);
        status_ = o.status_;
        in_ = std::move(o.in_);
        out_ = std::move(o.out_);
        err_ = std::move(o.err_);
        kept_ = std::move(o.kept_);
        at_exit_ = std::move(o.at_exit_);
    }
    return *this;
}

Child::~Child() { reap_later(); }

IoResult<std::optional<ExitStatus>> Child::try_wait() {
    if (status_) return status_;
    siginfo_t si{};
    int r;
    while ((r = ::waitid(P_PIDFD, pidfd_.get(), &si, WEXITED | WNOHANG)) != 0 && errno == EINTR) {
    }
    if (r != 0) {
        // A script's child watcher calling waitpid(-1) may have taken it.
        if (errno != ECHILD) return fail(IoError::last_os());
        status_ = ExitStatus::unknown();
    } else if (si.si_pid == 0) {
        return std::optional<ExitStatus>();
    } else {
        HALVO_TRY(ExitStatus s, status_of(si));
        status_ = s;
    }
    pidfd_.reset();
    kept_.clear();
    at_exit_.reset();
    return status_;
}

IoResult<std::optional<ExitStatus>> Child::wait_for(std::chrono::nanoseconds limit) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + limit;
    for (;;) {
        HALVO_TRY(auto s, try_wait());
        if (s) return s;
        auto left = deadline - steady_clock::now();
        if (left <= nanoseconds::zero()) return s;
        auto ms = duration_cast<milliseconds>(left + milliseconds(1) - nanoseconds(1)).count();
        pollfd p{pidfd_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::min<long long>(ms, 1 << 30))) < 0 && errno != EINTR)
            return fail(IoError::last_os());
    }
}

asio::awaitable<IoResult<ExitStatus>> Child::wait() {
    for (;;) {
        auto s = try_wait();
        if (!s) co_return fail(std::move(s).error());
        if (*s) co_return **s;
        int fd = ::fcntl(pidfd_.get(), F_DUPFD_CLOEXEC, 0);
        if (fd < 0) co_return fail(IoError::last_os());
        auto ex = co_await asio::this_coro::executor;
        asio::posix::stream_descriptor d(ex, fd);
        asio::error_code ec;
        co_await d.async_wait(asio::posix::descriptor_base::wait_read, asio::redirect_error(asio::use_awaitable, ec));
        if (ec == asio::error::operation_aborted) throw asio::system_error(ec);
        if (ec) co_return fail(IoError::os(ec.value()));
    }
}

IoResult<void> Child::kill(int sig) {
    if (status_ || !origin_.here()) return {};
    if (::syscall(SYS_pidfd_send_signal, pidfd_.get(), sig, nullptr, 0) != 0 && errno != ESRCH)
        return fail(IoError::last_os());
    return {};
}

void Child::keep_until_reaped(std::shared_ptr<const void> v) {
    if (v && pidfd_ && !status_) kept_.push_back(std::move(v));
}

void Child::reap_later() {
    if (!pidfd_ || status_) return;
    if (!origin_.here()) {
        // Not this process's child: its parent reaps it, and the memory it
        // may still read is the parent's copy.
        pidfd_.reset();
        kept_.clear();
        at_exit_.reset();
        return;
    }
    if (auto s = try_wait(); s && *s) return;
    rt::spawn_detached([](Fd pidfd, std::vector<std::shared_ptr<const void>> kept,
                          std::unique_ptr<EndAtExit> at_exit) -> asio::awaitable<void> {
        auto ex = co_await asio::this_coro::executor;
        asio::posix::stream_descriptor d(ex, pidfd.release());
        asio::error_code ec;
        co_await d.async_wait(asio::posix::descriptor_base::wait_read, asio::redirect_error(asio::use_awaitable, ec));
        siginfo_t si;
        while (::waitid(P_PIDFD, d.native_handle(), &si, WEXITED) != 0 && errno == EINTR) {
        }
        kept.clear();
        at_exit.reset();
    }(std::move(pidfd_), std::move(kept_), std::move(at_exit_)));
}

// ---- children ended at exit ----

// One child that the exit ends. Its pidfd is a duplicate of its own, so it
// never signals a descriptor reused after the child was reaped; the input is
// checked to be the same pipe before it is closed, in case its holder closed
// it without saying so.
class EndAtExit {
public:
    EndAtExit(const Fd& pidfd, int input);
    EndAtExit(const EndAtExit&) = delete;
    EndAtExit& operator=(const EndAtExit&) = delete;
    ~EndAtExit();

    void input_closing();

private:
    friend void end_children();
    Fd pidfd_;
    int input_ = -1;  // under the registry's mutex
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

namespace {

struct Endings {
    std::mutex mu;
    std::vector<EndAtExit*> children;
};

}  // namespace

void end_children();

namespace {

// Never freed: a reaper may drop its entry while the process exits.
Endings& endings() {
    static Endings* e = [] {
        rt::at_stop(&end_children);
        // A forked child ends none of its parent's children.
        pthread_atfork([] { endings().mu.lock(); }, [] { endings().mu.unlock(); },
                       [] {
                           endings().children.clear();
                           endings().mu.unlock();
                       });
        return new Endings;
    }();
    return *e;
}

}  // namespace

EndAtExit::EndAtExit(const Fd& pidfd, int input) : pidfd_(::fcntl(pidfd.get(), F_DUPFD_CLOEXEC, 0)) {
    struct stat st;
    if (input >= 0 && ::fstat(input, &st) == 0) {
        input_ = input;
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
    Endings& e = endings();
    std::lock_guard lk(e.mu);
    e.children.push_back(this);
}

EndAtExit::~EndAtExit() {
    Endings& e = endings();
    std::lock_guard lk(e.mu);
    std::erase(e.children, this);
}

void EndAtExit::input_closing() {
    Endings& e = endings();
    std::lock_guard lk(e.mu);
    input_ = -1;
}

// Runs once the runtime's threads have stopped. The inputs are closed by
// putting /dev/null in their place, so their holders' numbers stay theirs
// and nothing else gets them.
void end_children() {
    using namespace std::chrono;
    Endings& e = endings();
    std::lock_guard lk(e.mu);
    if (e.children.empty()) return;
    Fd devnull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    std::vector<pollfd> running;
    for (EndAtExit* c : e.children) {
        struct stat st;
        if (devnull && c->input_ >= 0 && ::fstat(c->input_, &st) == 0 && st.st_dev == c->dev_ &&
            st.st_ino == c->ino_)
            ::dup3(devnull.get(), c->input_, O_CLOEXEC);
        if (c->pidfd_) running.push_back({c->pidfd_.get(), POLLIN, 0});
    }
    // A pidfd turns readable when its process ends.
    const auto deadline = steady_clock::now() + kExitGrace;
    for (;;) {
        std::erase_if(running, [](const pollfd& p) { return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0; });
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (running.empty() || left <= 0) break;
        if (::poll(running.data(), running.size(), static_cast<int>(left)) < 0 && errno != EINTR) break;
    }
    for (const pollfd& p : running) ::syscall(SYS_pidfd_send_signal, p.fd, SIGKILL, nullptr, 0);
}

Child::Child(pid_t pid, Fd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}

void Child::end_at_exit(int input) {
    if (pidfd_ && !status_ && !at_exit_) at_exit_ = std::make_unique<EndAtExit>(pidfd_, input);
}

void Child::input_closing() {
    if (at_exit_) at_exit_->input_closing();
}

// ---- other processes ----

bool process_exists(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

namespace {

// PF_EXITING in the flags field of /proc/<pid>/task/<tid>/stat.
constexpr unsigned long kExitingFlag = 0x4;

// SIGKILL waiting for a thread (bit 9 of its pending masks): one killed
// while it waits on an answer of its own mount never gets to its exit.
bool task_killed(const std::string& status_path) {
    std::ifstream in(status_path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.starts_with("SigPnd:") && !line.starts_with("ShdPnd:")) continue;
        unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
        if (mask & (1ull << (SIGKILL - 1))) return true;
    }
    return false;
}

// A thread that has ended or is ending.
bool task_ending(const std::string& task) {
    std::ifstream in(task + "/stat");
    std::string line;
    if (!std::getline(in, line)) return true;
    // The command name may hold anything up to its closing parenthesis.
    auto close = line.rfind(')');
    if (close == std::string::npos) return true;
    std::istringstream rest(line.substr(close + 1));
    std::string state, field;
    rest >> state;
    for (int i = 0; i < 5; ++i) rest >> field;  // ppid pgrp session tty_nr tpgid
    unsigned long flags = 0;
    rest >> flags;
    return state == "Z" || state == "X" || (flags & kExitingFlag) != 0 || task_killed(task + "/status");
}

}  // namespace

bool process_ending(pid_t pid) {
    if (!process_exists(pid)) return true;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = ::opendir(tasks.c_str());
    if (!d) return !process_exists(pid);
    bool ending = true;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        if (!task_ending(tasks + "/" + e->d_name)) {
            ending = false;
            break;
        }
    }
    ::closedir(d);
    return ending;
}

// ---- short commands ----

IoResult<RunOutcome> run_command(std::string program, std::vector<std::string> args,
                                 std::chrono::milliseconds limit, std::chrono::milliseconds poll,
                                 std::optional<Env> env) {
    using namespace std::chrono;
    Command cmd(std::move(program), std::move(args));
    cmd.env = std::move(env);
    cmd.out = Stdio::null();
    cmd.err = Stdio::null();
    HALVO_TRY(Child child, spawn(std::move(cmd)));
    const auto deadline = steady_clock::now() + limit;
    for (;;) {
        // The pidfd wakes the poll as soon as the child ends.
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        auto s = child.wait_for(std::max(milliseconds::zero(), std::min(poll, left)));
        if (!s) break;
        if (*s) return RunOutcome{**s, false};
        if (steady_clock::now() >= deadline) break;
    }
    (void)child.kill(SIGKILL);
    // A child stuck in the kernel may outlive even SIGKILL; the reaper takes it then.
    auto s = child.wait_for(seconds(1));
    return RunOutcome{s ? *s : std::nullopt, true};
}

}  // namespace halvo::platform

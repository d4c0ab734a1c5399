#pragma once
// Child processes: spawned with posix_spawn, watched and signalled through a
// pidfd, reaped only by their own pid. No SIGCHLD handler and no
// waitpid(-1) anywhere: both would break Python's subprocess module.
#include <asio/awaitable.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "base/error.hpp"
#include "platform/fd.hpp"
#include "rt/fork.hpp"

namespace halvo::platform {

// A child's environment, "NAME=value" entries.
class Env {
public:
    Env() = default;
    explicit Env(std::vector<std::string> entries) : entries_(std::move(entries)) {}

    // Adds or replaces a variable.
    Env& set(std::string_view name, std::string_view value);
    Env& unset(std::string_view name);
    std::optional<std::string_view> get(std::string_view name) const;
    // The value when it is set, not empty and UTF-8; none otherwise.
    std::optional<std::string> text(std::string_view name) const;
    const std::vector<std::string>& entries() const { return entries_; }

private:
    std::vector<std::string> entries_;
};

// A copy of this process's environment. Take it on the calling (script)
// thread: glibc's getenv/setenv race with writes to os.environ.
Env environ_snapshot();

// The program's path, searched on env's PATH like execvp does when it holds
// no "/"; the search reads the snapshot, never this process's environment.
IoResult<std::string> find_program(const std::string& program, const Env& env);

// Where one of the child's standard streams goes.
struct Stdio {
    enum class Kind { Inherit, Pipe, Null, Fd };
    Kind kind = Kind::Inherit;
    int fd = -1;  // Kind::Fd: the caller's descriptor, duplicated into the child

    static Stdio inherit() { return {}; }
    static Stdio piped() { return {Kind::Pipe}; }
    static Stdio null() { return {Kind::Null}; }
    static Stdio from_fd(int fd) { return {Kind::Fd, fd}; }
};

struct Command {
    // Looked up on the PATH of the child's environment when it holds no "/".
    std::string program;
    std::vector<std::string> args;  // after argv[0], which is the program
    // None: this process's environment, read at spawn time; only safe off
    // the runtime's threads.
    std::optional<Env> env;
    std::optional<std::string> cwd;
    Stdio in, out, err;
    bool own_process_group = false;

    explicit Command(std::string prog, std::vector<std::string> a = {})
        : program(std::move(prog)), args(std::move(a)) {}
};

class ExitStatus {
public:
    static ExitStatus exited(int code) { return ExitStatus(Kind::Exited, code, false); }
    static ExitStatus signalled(int sig, bool core) { return ExitStatus(Kind::Signalled, sig, core); }
    // The child ended but someone else reaped it (a script's own child
    // watcher), so nothing is known of how.
    static ExitStatus unknown() { return ExitStatus(Kind::Unknown, 0, false); }

    // An unknown status counts as success: nothing shows a failure.
    bool success() const { return kind_ == Kind::Unknown || (kind_ == Kind::Exited && value_ == 0); }
    std::optional<int> code() const { return kind_ == Kind::Exited ? std::optional(value_) : std::nullopt; }
    std::optional<int> signal() const { return kind_ == Kind::Signalled ? std::optional(value_) : std::nullopt; }
    bool core_dumped() const { return core_; }
    bool known() const { return kind_ != Kind::Unknown; }

    // "exit status: 3", "signal: 15 (SIGTERM)", "signal: 11 (SIGSEGV) (core dumped)".
    std::string text() const;
    bool operator==(const ExitStatus&) const = default;

private:
    enum class Kind { Exited, Signalled, Unknown };
    ExitStatus(Kind k, int v, bool core) : kind_(k), value_(v), core_(core) {}
    Kind kind_;
    int value_;
    bool core_;
};

class EndAtExit;

// A started child. Dropped while still running, it goes to a detached reaper
// on the runtime, so it never stays a zombie; it is not killed. A forked
// child's copy is not its child: it signals nothing, and lets go of its
// descriptors only.
class Child {
public:
    Child(Child&& o) noexcept;
    Child& operator=(Child&& o) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    pid_t pid() const { return pid_; }
    // Whether this process started it, rather than inheriting it through fork.
    bool started_here() const { return origin_.here(); }
    // The parent's ends of piped streams; empty when not piped or taken.
    Fd& stdin_pipe() { return in_; }
    Fd& stdout_pipe() { return out_; }
    Fd& stderr_pipe() { return err_; }

    // None while it runs; reaps it once it has ended.
    IoResult<std::optional<ExitStatus>> try_wait();
    // Blocks up to the limit; none when it is still running then.
    IoResult<std::optional<ExitStatus>> wait_for(std::chrono::nanoseconds limit);
    // Waits on the runtime (or the awaiting task's executor) without
    // blocking a thread. Cancelling the wait leaves the child alone.
    asio::awaitable<IoResult<ExitStatus>> wait();
    // Sends a signal; a child that has already been reaped, or that this
    // process did not start, is left alone.
    IoResult<void> kill(int sig);
    // Holds `v` until the child has been reaped, by this object or, after
    // it, by the reaper: memory the child may still read from.
    void keep_until_reaped(std::shared_ptr<const void> v);

    // From now until it is reaped, by this object or by the reaper, the end
    // of this process ends the child too, as a child let go is ended: when
    // the runtime stops at exit, `input` (our end of its standard input, or
    // -1) is closed, and the child is killed if it is still running after a
    // short wait, shared by all of them. For servers we own; never for a
    // helper meant to outlive us.
    void end_at_exit(int input);
    // Whoever holds that input is about to close it: the exit leaves the
    // descriptor alone from here on.
    void input_closing();

private:
    friend IoResult<Child> spawn(Command cmd);
    Child(pid_t pid, Fd pidfd);
    void reap_later();

    pid_t pid_ = -1;
    rt::Origin origin_;
    Fd pidfd_;  // empty once reaped
    std::optional<ExitStatus> status_;
    Fd in_, out_, err_;
    std::vector<std::shared_ptr<const void>> kept_;
    std::unique_ptr<EndAtExit> at_exit_;  // goes to the reaper with the pidfd
};

// How long the exit waits, for all its children together, between closing
// their inputs and killing those still running.
inline constexpr std::chrono::milliseconds kExitGrace{250};

// Starts a child. The child gets an empty signal mask and SIGPIPE and
// SIGXFSZ at their defaults (ignored dispositions survive exec, and Python
// ignores both). A failure to start, ENOENT for a missing program among
// them, is returned unchanged, and no descriptor is left behind. A NUL byte
// in the program or an argument is refused (invalid input) before anything
// starts.
IoResult<Child> spawn(Command cmd);

// What run_command saw: the status (none when the child would not end even
// when killed; it is then left to the reaper) and whether it was killed.
struct RunOutcome {
    std::optional<ExitStatus> status;
    bool killed = false;
};

// Runs a short command with stdin inherited and stdout/stderr discarded,
// polling it at once and then every poll interval; when it has not ended by
// the limit, or a poll fails, it is killed (SIGKILL) and reaped.
IoResult<RunOutcome> run_command(std::string program, std::vector<std::string> args,
                                 std::chrono::milliseconds limit, std::chrono::milliseconds poll,
                                 std::optional<Env> env = std::nullopt);

// Whether a process of that id exists; one we may not signal counts.
bool process_exists(pid_t pid);
// Whether the process is gone or every thread of it is on its way out: a
// process stuck in its own exit (waiting, say, on a file of a mount it served
// itself) counts as ending, though it still exists.
bool process_ending(pid_t pid);

}  // namespace halvo::platform

#include "rt/runtime.hpp"

#include <asio/detached.hpp>
#include <asio/steady_timer.hpp>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cxxabi.h>
#include <system_error>
#include <thread>

#include <unistd.h>

namespace halvo::rt {
namespace {

constexpr std::size_t kPoolCap = 512;
constexpr auto kIdleExpiry = std::chrono::seconds(10);
// How long stop() waits for the I/O threads to finish the handlers they run.
constexpr auto kStopWait = std::chrono::seconds(5);

// Where a thread of a stopped runtime stays. Only fault signals are
// unblocked on our threads, so pause() never returns.
[[noreturn]] void park() {
    for (;;) ::pause();
}

// Starts a detached thread with signals blocked, so they reach the
// interpreter's own threads; except those a fault raises on the thread
// itself, which must reach their handler (faulthandler, a sanitizer) or
// kill the process with the right status.
void start_thread(std::function<void()> body) {
    sigset_t all, old;
    sigfillset(&all);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, sig);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    std::thread(std::move(body)).detach();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

class Pool {
public:
    void submit(std::function<void()> job) {
        std::lock_guard lk(mu_);
        jobs_.push_back(std::move(job));
        // Kept and never run: dropping it here would run what its captures
        // do when released (a mount's tear-down, say) on the caller's thread.
        if (stopped_) return;
        if (jobs_.size() <= idle_) {
            cv_.notify_one();
        } else if (threads_ < kPoolCap) {
            ++threads_;
            try {
                start_thread([this] { work(); });
            } catch (const std::system_error&) {
                --threads_;  // the job waits for a thread that is already there
            }
        }
    }

    // A job running now ends on its own (it may block for good); then its
    // thread parks, as idle ones do at once.
    void stop() {
        std::lock_guard lk(mu_);
        stopped_ = true;
        cv_.notify_all();
    }

private:
    void work() {
        std::unique_lock lk(mu_);
        for (;;) {
            if (stopped_) {
                lk.unlock();
                park();
            }
            if (!jobs_.empty()) {
                auto job = std::move(jobs_.front());
                jobs_.pop_front();
                lk.unlock();
                try {
                    job();
                } catch (abi::__forced_unwind&) {
                    // A thread ended by pthread_exit (CPython 3.10-3.12 does that to
                    // a thread taking the GIL during finalisation) must unwind.
                    throw;
                } catch (...) {
                }
                job = nullptr;  // its captures go before the lock is taken again
                lk.lock();
                continue;
            }
            ++idle_;
            bool got = cv_.wait_for(lk, kIdleExpiry, [this] { return !jobs_.empty() || stopped_; });
            --idle_;
            if (!got) {
                --threads_;
                return;
            }
        }
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
    bool stopped_ = false;
};

class Runtime;
thread_local const Runtime* t_serving = nullptr;  // the runtime whose I/O thread this is

class Runtime {
public:
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> keep{io.get_executor()};
    Pool pool;
    std::atomic<bool> stopped{false};

    // Made stopped, it starts no thread: work given to it is kept and never run.
    explicit Runtime(bool run) : io(threads()) {
        if (!run) {
            stopped.store(true, std::memory_order_release);
            pool.stop();
            return;
        }
        for (unsigned i = 0, n = threads(); i < n; ++i) {
            std::lock_guard lk(mu_);
            start_thread([this] { serve(); });
            ++serving_;
        }
    }

    void stop() {
        stopped.store(true, std::memory_order_release);
        pool.stop();
        io.stop();
        std::unique_lock lk(mu_);
        // An exit from inside one of our handlers cannot wait for itself.
        const unsigned self = t_serving == this ? 1 : 0;
        left_.wait_for(lk, kStopWait, [&] { return serving_ <= self; });
    }

private:
    static unsigned threads() { return std::max(2u, std::thread::hardware_concurrency()); }

    void serve() {
        t_serving = this;
        io.run();  // returns once stopped: the work guard is never reset
        {
            std::lock_guard lk(mu_);
            --serving_;
        }
        left_.notify_all();
        park();
    }

    std::mutex mu_;
    std::condition_variable left_;
    unsigned serving_ = 0;  // I/O threads that may be running a handler
};

// All trivially destructible: nothing runs at process exit, and the
// runtime itself is never freed (threads may still be using it).
constinit std::mutex g_mu;
std::atomic<Runtime*> g_rt{nullptr};
std::atomic<bool> g_stopped{false};
constexpr std::size_t kMaxStopSteps = 8;
std::atomic<void (*)()> g_stop_steps[kMaxStopSteps] = {};
std::atomic<std::size_t> g_stop_step_count{0};

void prepare_fork() { g_mu.lock(); }
void parent_after_fork() { g_mu.unlock(); }
void child_after_fork() {
    // The parent's threads do not exist here; its runtime is abandoned.
    g_rt.store(nullptr, std::memory_order_release);
    g_stopped.store(false, std::memory_order_release);
    g_mu.unlock();
}

void stop_at_exit() { stop(); }

void register_exit_step() {
    static std::once_flag once;  // trivially destructible
    std::call_once(once, [] {
        // Exit steps run in the reverse order of their registration, and
        // static objects are destroyed as such steps: the error categories
        // a cancelled operation reads are made first, so they outlive the
        // step that stops the threads using them.
        (void)asio::error::get_system_category();
        (void)asio::error::get_netdb_category();
        (void)asio::error::get_addrinfo_category();
        (void)asio::error::get_misc_category();
        (void)std::system_category();
        (void)std::generic_category();
        std::atexit(stop_at_exit);
    });
}

Runtime& runtime() {
    Runtime* rt = g_rt.load(std::memory_order_acquire);
    if (rt) return *rt;
    std::lock_guard lk(g_mu);
    rt = g_rt.load(std::memory_order_acquire);
    if (!rt) {
        static std::once_flag atfork;  // trivially destructible
        std::call_once(atfork, [] { pthread_atfork(prepare_fork, parent_after_fork, child_after_fork); });
        register_exit_step();
        rt = new Runtime(!g_stopped.load(std::memory_order_acquire));
        g_rt.store(rt, std::memory_order_release);
    }
    return *rt;
}

}  // namespace

asio::io_context& io() { return runtime().io; }

bool started() {
    Runtime* rt = g_rt.load(std::memory_order_acquire);
    return rt && !rt->stopped.load(std::memory_order_acquire);
}

bool ours(const asio::execution_context& ctx) {
    Runtime* rt = g_rt.load(std::memory_order_acquire);
    return rt && &rt->io == &ctx;
}

void stop() {
    if (g_stopped.exchange(true, std::memory_order_acq_rel)) return;
    Runtime* rt;
    {
        std::lock_guard lk(g_mu);  // not while one is being made
        rt = g_rt.load(std::memory_order_acquire);
    }
    if (rt) rt->stop();
    const std::size_t n = std::min(g_stop_step_count.load(std::memory_order_acquire), kMaxStopSteps);
    for (std::size_t i = 0; i < n; ++i)
        if (auto step = g_stop_steps[i].load(std::memory_order_acquire)) step();
}

void at_stop(void (*step)()) {
    register_exit_step();
    const std::size_t i = g_stop_step_count.fetch_add(1, std::memory_order_acq_rel);
    if (i >= kMaxStopSteps) std::abort();  // a fixed, small set of callers
    g_stop_steps[i].store(step, std::memory_order_release);
}

Strand make_strand() { return asio::make_strand(io()); }

void blocking(std::function<void()> job) { runtime().pool.submit(std::move(job)); }

asio::awaitable<void> sleep(std::chrono::nanoseconds d) {
    auto ex = co_await asio::this_coro::executor;
    asio::steady_timer t(ex, d);
    co_await t.async_wait(asio::use_awaitable);
}

void spawn_detached(asio::awaitable<void> task) {
    asio::co_spawn(make_strand(), std::move(task), asio::detached);
}

void CancelSignal::cancel() {
    if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
    asio::post(strand_, [self = shared_from_this()] { self->signal_.emit(asio::cancellation_type::terminal); });
}

std::optional<AsyncMutex::Guard> AsyncMutex::try_lock() {
    std::lock_guard lk(mu_);
    if (locked_) return std::nullopt;
    locked_ = true;
    return Guard(this);
}

bool AsyncMutex::locked() const {
    std::lock_guard lk(mu_);
    return locked_;
}

std::size_t AsyncMutex::waiting() const {
    std::lock_guard lk(mu_);
    return waiters_.size();
}

void AsyncMutex::enqueue(std::shared_ptr<Waiter> w) {
    {
        std::lock_guard lk(mu_);
        if (locked_) {
            waiters_.push_back(std::move(w));
            return;
        }
        locked_ = true;
    }
    w->grant(Guard(this));
}

void AsyncMutex::withdraw(const std::shared_ptr<Waiter>& w) {
    {
        std::lock_guard lk(mu_);
        auto it = std::find(waiters_.begin(), waiters_.end(), w);
        if (it == waiters_.end()) return;  // already granted
        waiters_.erase(it);
    }
    w->abort();
}

void AsyncMutex::unlock() {
    std::shared_ptr<Waiter> next;
    {
        std::lock_guard lk(mu_);
        if (waiters_.empty()) {
            locked_ = false;
            return;
        }
        next = std::move(waiters_.front());
        waiters_.pop_front();
    }
    next->grant(Guard(this));
}

}  // namespace halvo::rt

#include "rt/runtime.hpp"
#include "rt/fork.hpp"

#include <gtest/gtest.h>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>

#include <csignal>
#include <cstdlib>
#include <future>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#include <latch>
#include <string>
#include <thread>
#include <vector>

using namespace halvo;
using namespace std::chrono_literals;


namespace {

// Spawns a task with its own cancel signal and returns a future of its end:
// the exception it ended with (null when it ran to its end).
template <class T>
std::future<std::exception_ptr> run(asio::awaitable<T> task, std::shared_ptr<rt::CancelSignal> sig = nullptr) {
    if (!sig) sig = std::make_shared<rt::CancelSignal>();
    auto done = std::make_shared<std::promise<std::exception_ptr>>();
    auto f = done->get_future();
    rt::spawn(std::move(task), sig, [done](std::exception_ptr e, auto&&...) { done->set_value(e); });
    return f;
}

bool aborted(std::exception_ptr e) {
    try {
        if (e) std::rethrow_exception(e);
    } catch (const asio::system_error& s) {
        return s.code() == asio::error::operation_aborted;
    } catch (...) {
    }
    return false;
}

template <class T>
T get(std::future<T>& f) {
    if (f.wait_for(30s) != std::future_status::ready) ADD_FAILURE() << "timed out waiting for a task";
    return f.get();
}

template <class P>
void wait_until(P done) {
    for (int i = 0; i < 3000 && !done(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(done());
}

// Runs body in a forked child that ends through std::exit with the code
// body returns, so its exit steps and static destructors run; gives the
// child's wait status.
template <class F>
int status_of_child(F body) {
    pid_t pid = ::fork();
    if (pid == 0) std::exit(body());
    int st = -1;
    if (pid < 0 || ::waitpid(pid, &st, 0) != pid) ADD_FAILURE() << "fork or wait failed";
    return st;
}

std::string status_text(int st) {
    if (WIFEXITED(st)) return "exit code " + std::to_string(WEXITSTATUS(st));
    if (WIFSIGNALED(st)) return "signal " + std::to_string(WTERMSIG(st));
    return "status " + std::to_string(st);
}

}  // namespace

TEST(RtRuntime, RunsTasksAndReturnsValues) {
    auto sig = std::make_shared<rt::CancelSignal>();
    std::promise<int> got;
    rt::spawn(
        []() -> asio::awaitable<int> {  // no captures: the frame outlives the lambda
            co_await rt::sleep(1ms);
            co_return 41 + co_await rt::run_blocking([] { return 1; });
        }(),
        sig, [&](std::exception_ptr e, std::optional<int> v) { got.set_value(e ? -1 : v.value_or(-2)); });
    auto f = got.get_future();
    EXPECT_EQ(get(f), 42);
    EXPECT_TRUE(rt::started());
}

TEST(RtRuntime, BlockingJobExceptionReachesTheAwaiter) {
    auto f = run([]() -> asio::awaitable<void> {
        co_await rt::run_blocking([]() -> std::string { throw std::runtime_error("boom"); });
    }());
    auto e = get(f);
    ASSERT_TRUE(e);
    EXPECT_THROW(std::rethrow_exception(e), std::runtime_error);
}

TEST(RtCancelSignal, CancelBeforeStartStopsTheTask) {
    auto sig = std::make_shared<rt::CancelSignal>();
    sig->cancel();
    bool ran = false;
    auto f = run(
        [](bool* ran) -> asio::awaitable<void> {
            *ran = true;
            co_return;
        }(&ran),
        sig);
    EXPECT_TRUE(aborted(get(f)));
    EXPECT_FALSE(ran);
    EXPECT_TRUE(sig->cancelled());
}

TEST(RtCancelSignal, CancelStopsAWaitingTimerFromAnyThread) {
    // Cancelled by the test's own thread, then by several threads at once.
    for (int threads : {0, 4}) {
        auto sig = std::make_shared<rt::CancelSignal>();
        std::promise<void> waiting;
        auto f = run(
            [](std::promise<void>* waiting) -> asio::awaitable<void> {
                waiting->set_value();
                co_await rt::sleep(1h);
            }(&waiting),
            sig);
        waiting.get_future().wait();
        if (threads == 0) sig->cancel();
        std::vector<std::thread> ts;
        for (int i = 0; i < threads; ++i) ts.emplace_back([sig] { sig->cancel(); });
        for (auto& t : ts) t.join();
        EXPECT_TRUE(aborted(get(f))) << threads;
    }
}

TEST(RtRunBlocking, CancelStopsOnlyTheWaiting) {
    auto sig = std::make_shared<rt::CancelSignal>();
    std::promise<void> started, release, finished;
    auto f = run(
        [](std::promise<void>* started, std::promise<void>* release,
           std::promise<void>* finished) -> asio::awaitable<void> {
            co_await rt::run_blocking([=] {
                started->set_value();
                release->get_future().wait();
                finished->set_value();
            });
        }(&started, &release, &finished),
        sig);
    started.get_future().wait();
    sig->cancel();
    EXPECT_TRUE(aborted(get(f)));
    // The job is still running; it finishes once let go.
    release.set_value();
    EXPECT_EQ(finished.get_future().wait_for(30s), std::future_status::ready);
}

TEST(RtBlockingPool, GrowsBeyondTheHardwareThreads) {
    // Every job waits for all the others: only a pool that grows gets past the latch.
    const std::ptrdiff_t n = std::max(2u, std::thread::hardware_concurrency()) * 4 + 3;
    std::latch all(n);
    std::atomic<int> done{0};
    for (std::ptrdiff_t i = 0; i < n; ++i) rt::blocking([&] {
        all.arrive_and_wait();
        ++done;
    });
    wait_until([&] { return done == n; });
}

TEST(RtAsyncMutex, WaitersGetTheLockInFifoOrder) {
    rt::AsyncMutex m;
    auto first = m.try_lock();
    ASSERT_TRUE(first);
    EXPECT_FALSE(m.try_lock());

    std::mutex order_mu;
    std::vector<int> order;
    std::vector<std::future<std::exception_ptr>> fs;
    for (int i = 0; i < 5; ++i) {
        std::promise<void> queued;
        // Each waiter is queued before the next one starts.
        fs.push_back(run([](rt::AsyncMutex* m, std::promise<void>* queued, std::mutex* order_mu,
                            std::vector<int>* order, int i) -> asio::awaitable<void> {
            auto lock = m->lock();
            queued->set_value();
            auto g = co_await std::move(lock);
            co_await rt::sleep(1ms);
            std::lock_guard lk(*order_mu);
            order->push_back(i);
        }(&m, &queued, &order_mu, &order, i)));
        queued.get_future().wait();
        wait_until([&] { return m.waiting() == std::size_t(i) + 1; });
    }
    first.reset();
    for (auto& f : fs) EXPECT_FALSE(get(f));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(m.try_lock());
}

TEST(RtAsyncMutex, CancelledWaiterLeavesTheQueueWithoutTheLock) {
    rt::AsyncMutex m;
    auto held = m.try_lock();
    ASSERT_TRUE(held);

    auto sig = std::make_shared<rt::CancelSignal>();
    std::promise<void> queued;
    bool got = false;
    auto cancelled = run(
        [](rt::AsyncMutex* m, std::promise<void>* queued, bool* got) -> asio::awaitable<void> {
            auto lock = m->lock();
            queued->set_value();
            auto g = co_await std::move(lock);
            *got = true;
        }(&m, &queued, &got),
        sig);
    queued.get_future().wait();
    wait_until([&] { return m.waiting() == 1; });

    auto next = run([](rt::AsyncMutex* m) -> asio::awaitable<void> { auto g = co_await m->lock(); }(&m));
    wait_until([&] { return m.waiting() == 2; });

    sig->cancel();
    EXPECT_TRUE(aborted(get(cancelled)));
    EXPECT_FALSE(got);
    EXPECT_EQ(m.waiting(), 1u);
    held.reset();
    EXPECT_FALSE(get(next));
    EXPECT_TRUE(m.try_lock()) << "the lock was lost";
}

TEST(RtAsyncMutex, ManyContendersNeverOverlap) {
    rt::Locked<int> counter;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::future<std::exception_ptr>> fs;
    for (int i = 0; i < 64; ++i) {
        auto sig = std::make_shared<rt::CancelSignal>();
        fs.push_back(run(
            [](rt::Locked<int>* counter, std::atomic<int>* inside,
               std::atomic<bool>* overlap) -> asio::awaitable<void> {
                auto g = co_await counter->lock();
                if (inside->fetch_add(1) != 0) *overlap = true;
                // Left also when a cancel ends the sleep below by throwing,
                // before the lock goes.
                struct Leave {
                    std::atomic<int>* inside;
                    ~Leave() { inside->fetch_sub(1); }
                } leave{inside};
                co_await rt::sleep(100us);
                ++*g;
            }(&counter, &inside, &overlap),
            sig));
        if (i % 4 == 3) sig->cancel();  // some leave, early or while waiting
    }
    int finished = 0;
    for (auto& f : fs) finished += get(f) ? 0 : 1;
    EXPECT_FALSE(overlap);
    std::promise<int> value;
    auto check = run([](rt::Locked<int>* counter, std::promise<int>* value) -> asio::awaitable<void> {
        auto g = co_await counter->lock();
        value->set_value(*g);
    }(&counter, &value));
    EXPECT_FALSE(get(check));
    EXPECT_EQ(value.get_future().get(), finished);
}

TEST(RtRuntime, ForkedChildBuildsAFreshRuntime) {
    // The parent's runtime threads do not exist in a forked child.
    ASSERT_TRUE(&rt::io());
    // Its threads settle first: a fork while one of them allocates leaves
    // AddressSanitizer's allocator locked in the child.
    std::this_thread::sleep_for(100ms);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::promise<int> got;
        auto sig = std::make_shared<rt::CancelSignal>();
        rt::spawn(
            []() -> asio::awaitable<int> {
                co_await rt::sleep(1ms);
                int v = co_await rt::run_blocking([] { return 7; });
                co_return v;
            }(),
            sig, [&](std::exception_ptr e, std::optional<int> v) { got.set_value(e ? -1 : *v); });
        auto f = got.get_future();
        ::_exit(f.wait_for(20s) == std::future_status::ready && f.get() == 7 ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
}

namespace {
// Made before main, so exit destroys it after the runtime's own exit step,
// among the statics that handlers may use.
std::atomic<bool> g_statics_going{false};
struct StaticsWatch {
    ~StaticsWatch() { g_statics_going = true; }
} g_statics_watch;
}  // namespace

TEST(RtRuntime, ExitWhileTasksCancelTimersEndsCleanly) {
    // Each lost race cancels a timer, which builds an error from Asio's
    // error category, one of the statics that exit destroys.
    using namespace asio::experimental::awaitable_operators;
    for (int round = 0; round < 10; ++round) {
        int st = status_of_child([] {
            for (int i = 0; i < 4; ++i)
                rt::spawn_detached([]() -> asio::awaitable<void> {
                    for (;;) {
                        if (g_statics_going) std::_Exit(3);
                        co_await (rt::sleep(1h) || rt::sleep(0ns));
                    }
                }());
            std::this_thread::sleep_for(20ms);
            return 0;
        });
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "round " << round << ": " << status_text(st);
    }
}

namespace {
std::atomic<int> g_stop_steps{0};
}  // namespace

TEST(RtRuntime, StopEndsAllWorkThenRunsItsStepsOnce) {
    int st = status_of_child([] {
        rt::at_stop([] { ++g_stop_steps; });
        rt::io();
        if (!rt::started()) return 1;
        // A job that never ends does not hold stop up.
        std::latch never(1);
        std::atomic<bool> blocked{false};
        rt::blocking([&] {
            blocked = true;
            never.wait();
        });
        while (!blocked) std::this_thread::sleep_for(1ms);
        rt::stop();
        if (rt::started()) return 2;
        if (g_stop_steps != 1) return 3;
        std::atomic<bool> ran{false};
        asio::post(rt::io(), [&] { ran = true; });
        rt::blocking([&] { ran = true; });
        std::this_thread::sleep_for(100ms);
        if (ran) return 4;
        rt::stop();
        if (g_stop_steps != 1) return 5;
        return 0;
    });
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << status_text(st);
}

TEST(RtRuntime, ARuntimeFirstNeededAfterStopRunsNothing) {
    // As in a forked child whose at-exit hook ran before it made one.
    int st = status_of_child([] {
        rt::stop();
        std::atomic<bool> ran{false};
        asio::post(rt::io(), [&] { ran = true; });
        rt::blocking([&] { ran = true; });
        std::this_thread::sleep_for(100ms);
        return ran || rt::started() ? 1 : 0;
    });
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << status_text(st);
}

TEST(RtFork, AForkedChildHasItsOwnStateAndNoneOfItsParentsRuntime) {
    constinit static rt::PerProcess<std::mutex> per_process;
    std::mutex& parents = per_process.get();
    // Held by a thread the child will not have, as a runtime thread may hold a lock.
    std::latch held(1), done(1);
    std::thread holder([&] {
        std::lock_guard lk(parents);
        held.count_down();
        done.wait();
    });
    held.wait();
    const rt::Origin made;
    const rt::Strand strand = rt::make_strand();
    int st = status_of_child([&] {
        std::mutex& own = per_process.get();
        if (&own == &parents || !own.try_lock()) return 1;
        own.unlock();
        if (made.here()) return 2;
        if (rt::ours(strand.context())) return 3;
        return rt::ours(rt::make_strand().context()) ? 0 : 4;
    });
    done.count_down();
    holder.join();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << status_text(st);
    EXPECT_EQ(&per_process.get(), &parents);
    EXPECT_TRUE(made.here());
    EXPECT_TRUE(rt::ours(strand.context()));
}

TEST(RtRuntime, ThreadsLeaveFaultSignalsUnblocked) {
    // A fault on a runtime thread must reach its handler (a sanitizer's,
    // faulthandler's) or kill the process, never pass silently.
    auto mask = [] {
        sigset_t cur;
        pthread_sigmask(SIG_BLOCK, nullptr, &cur);
        return cur;
    };
    std::promise<sigset_t> on_io;
    asio::post(rt::io(), [&] { on_io.set_value(mask()); });
    std::promise<sigset_t> on_pool;
    rt::blocking([&] { on_pool.set_value(mask()); });
    for (sigset_t m : {on_io.get_future().get(), on_pool.get_future().get()}) {
        for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS})
            EXPECT_EQ(sigismember(&m, sig), 0) << sigabbrev_np(sig);
        for (int sig : {SIGINT, SIGTERM, SIGCHLD, SIGPIPE}) EXPECT_EQ(sigismember(&m, sig), 1) << sigabbrev_np(sig);
    }
}

#pragma once
// The shared task runtime: one multi-threaded io_context for I/O and timers,
// a growing pool for blocking jobs, strands for tasks, a thread-safe one-shot
// cancel signal and a FIFO async mutex.
#include <asio/any_io_executor.hpp>
#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/dispatch.hpp>
#include <asio/error.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/system_error.hpp>
#include <asio/use_awaitable.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace halvo::rt {

// The runtime, made on first use; never destroyed. In a forked child the
// parent's runtime is abandoned and a fresh one is made on first use.
asio::io_context& io();
// Whether the runtime exists and runs tasks (it has not been stopped).
bool started();
// Whether ctx is this process's runtime. In a forked child it is not the
// parent's, whose reactor the parent still uses and whose locks threads the
// child does not have may hold: what is bound to that one (a strand, a timer,
// a descriptor) the child must never touch, not even to destroy it.
bool ours(const asio::execution_context& ctx);

// Stops the runtime for good as the process exits: each I/O thread finishes
// the handler it runs (waited for, up to a few seconds), a blocking job runs
// to its end unwaited, and then no thread runs anything more; work given to
// the runtime later is kept and never run. Then the at_stop steps run. The
// first call acts, later ones do nothing. It is registered with std::atexit
// when the runtime is made, so it runs before the static objects that
// handlers use are destroyed; an interpreter's at-exit hook calls it sooner.
// A runtime first needed after that is made stopped.
void stop();
// Adds a step for stop() to run once the threads are stopped (at most a
// handful per process); stop() then runs at exit even if no runtime is made.
void at_stop(void (*step)());

using Strand = asio::strand<asio::io_context::executor_type>;
Strand make_strand();

// Runs a job on a pool thread. The pool grows on demand so long jobs never
// starve others; idle threads leave after a while. A job's exception is dropped.
void blocking(std::function<void()> job);

asio::awaitable<void> sleep(std::chrono::nanoseconds d);

namespace detail {

// An async operation completed at most once, from any thread; the handler
// runs on its own executor. The loser of a race (result vs cancel) is a no-op.
template <class Handler>
class Pending {
public:
    using Executor = asio::associated_executor_t<Handler, asio::io_context::executor_type>;

    explicit Pending(Handler h)
        : work_(asio::get_associated_executor(h, io().get_executor())), handler_(std::move(h)) {}

    asio::cancellation_slot slot() { return asio::get_associated_cancellation_slot(*handler_); }

    template <class... Args>
    bool complete(Args&&... args) {
        std::optional<Handler> h;
        std::optional<asio::executor_work_guard<Executor>> work;
        {
            std::lock_guard lk(mu_);
            if (!handler_) return false;
            h.emplace(std::move(*handler_));
            handler_.reset();
            work.emplace(std::move(*work_));
            work_.reset();
        }
        auto ex = work->get_executor();
        asio::post(ex, [h = std::move(*h), w = std::move(*work),
                        ... a = std::forward<Args>(args)]() mutable {
            // Our cancel handler may sit in the slot; it must not outlive the op.
            asio::get_associated_cancellation_slot(h).clear();
            std::move(h)(std::move(a)...);
        });
        return true;
    }

private:
    std::mutex mu_;
    std::optional<asio::executor_work_guard<Executor>> work_;
    std::optional<Handler> handler_;
};

inline std::exception_ptr aborted() {
    return std::make_exception_ptr(asio::system_error(asio::error::operation_aborted));
}

}  // namespace detail

namespace detail {

// A job of run_blocking; it keeps its result for the awaiter.
template <class F, class R = std::invoke_result_t<F&>>
struct BlockingJob {
    explicit BlockingJob(F fn) : f(std::move(fn)) {}
    F f;
    std::optional<R> result;
    void run() { result.emplace(f()); }
    R take() { return std::move(*result); }
};

template <class F>
struct BlockingJob<F, void> {
    explicit BlockingJob(F fn) : f(std::move(fn)) {}
    F f;
    void run() { f(); }
    void take() {}
};

// Starts a job of run_blocking. It captures nothing on purpose: gcc 12 may
// destroy a temporary of a co_await expression twice, so the job travels as
// an argument instead of inside the initiation object. For the same reason
// awaited results here go to named variables first.
struct StartBlocking {
    template <class Handler, class Job>
    void operator()(Handler handler, std::shared_ptr<Job> job) const {
        auto op = std::make_shared<Pending<Handler>>(std::move(handler));
        if (auto slot = op->slot(); slot.is_connected())
            slot.assign([op](asio::cancellation_type) { op->complete(aborted()); });
        blocking([job = std::move(job), op] {
            std::exception_ptr e;
            try {
                job->run();
            } catch (...) {
                e = std::current_exception();
            }
            op->complete(e);
        });
    }
};

}  // namespace detail

// Awaits a blocking job's result. Cancelling stops only the waiting: the job
// runs to its end and its result is dropped.
template <class F>
auto run_blocking(F f) -> asio::awaitable<std::invoke_result_t<F&>> {
    auto job = std::make_shared<detail::BlockingJob<F>>(std::move(f));
    co_await asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr)>(
        detail::StartBlocking{}, asio::use_awaitable, job);
    co_return job->take();
}

// A one-shot cancel for one spawned task. cancel() may be called from any
// thread: it sets a flag and emits on the task's strand (Asio's signal is not
// thread-safe). A cancel that comes before the task starts still stops it.
class CancelSignal : public std::enable_shared_from_this<CancelSignal> {
public:
    CancelSignal() : CancelSignal(make_strand()) {}
    explicit CancelSignal(Strand strand) : strand_(std::move(strand)) {}
    CancelSignal(const CancelSignal&) = delete;
    CancelSignal& operator=(const CancelSignal&) = delete;

    // Must be owned by a shared_ptr. Only the first call has an effect.
    void cancel();
    bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }
    // Only for use on the strand.
    asio::cancellation_slot slot() { return signal_.slot(); }
    const Strand& strand() const { return strand_; }

private:
    Strand strand_;
    std::atomic<bool> cancelled_{false};
    asio::cancellation_signal signal_;
};

namespace detail {

template <class T>
asio::awaitable<T> unless_cancelled(std::shared_ptr<CancelSignal> sig, asio::awaitable<T> task) {
    if (sig->cancelled()) throw asio::system_error(asio::error::operation_aborted);
    if constexpr (std::is_void_v<T>) {
        co_await std::move(task);
    } else {
        T value = co_await std::move(task);
        co_return value;
    }
}

}  // namespace detail

// Spawns a task on the signal's strand, bound to the signal. The handler
// runs on that strand: handler(std::exception_ptr) for a void task, else
// handler(std::exception_ptr, std::optional<T>) with the value when there is
// no exception. A cancelled task ends with asio::error::operation_aborted
// unless it catches it. The signal is kept alive until the task is done.
template <class T, class Handler>
void spawn(asio::awaitable<T> task, std::shared_ptr<CancelSignal> sig, Handler handler) {
    Strand strand = sig->strand();
    // On the strand, so binding the slot never races an emit.
    asio::dispatch(strand, [task = std::move(task), sig = std::move(sig),
                            handler = std::move(handler)]() mutable {
        auto slot = sig->slot();
        auto done = [sig, handler = std::move(handler)](std::exception_ptr e, auto&&... v) mutable {
            handler(e, std::forward<decltype(v)>(v)...);
            // Released after the task's frames are gone, since they use the slot.
            Strand strand = sig->strand();
            asio::post(strand, [s = std::move(sig)] {});
        };
        if constexpr (std::is_void_v<T>) {
            asio::co_spawn(sig->strand(), detail::unless_cancelled(sig, std::move(task)),
                           asio::bind_cancellation_slot(slot, std::move(done)));
        } else {
            auto wrapped = [](std::shared_ptr<CancelSignal> s,
                              asio::awaitable<T> t) -> asio::awaitable<std::optional<T>> {
                T value = co_await detail::unless_cancelled(std::move(s), std::move(t));
                co_return std::optional<T>(std::move(value));
            };
            asio::co_spawn(sig->strand(), wrapped(sig, std::move(task)),
                           asio::bind_cancellation_slot(slot, std::move(done)));
        }
    });
}

// Spawns a task on a new strand; its outcome is dropped.
void spawn_detached(asio::awaitable<void> task);

// A FIFO async mutex. A waiter cancelled through its cancellation slot leaves
// the queue without the lock; the lock is handed straight to the next waiter,
// so it is never lost.
class AsyncMutex {
public:
    class Guard {
    public:
        Guard() = default;
        Guard(Guard&& o) noexcept : m_(std::exchange(o.m_, nullptr)) {}
        Guard& operator=(Guard&& o) noexcept {
            if (this != &o) {
                reset();
                m_ = std::exchange(o.m_, nullptr);
            }
            return *this;
        }
        ~Guard() { reset(); }
        bool owns_lock() const { return m_ != nullptr; }
        void reset() {
            if (m_) std::exchange(m_, nullptr)->unlock();
        }

    private:
        friend class AsyncMutex;
        explicit Guard(AsyncMutex* m) : m_(m) {}
        AsyncMutex* m_ = nullptr;
    };

    AsyncMutex() = default;
    AsyncMutex(const AsyncMutex&) = delete;
    AsyncMutex& operator=(const AsyncMutex&) = delete;

    asio::awaitable<Guard> lock();
    std::optional<Guard> try_lock();
    // How many wait for the lock now.
    std::size_t waiting() const;
    bool locked() const;

private:
    // A queued waiter; grant() hands it the lock, abort() rejects it.
    struct Waiter {
        virtual ~Waiter() = default;
        virtual void grant(Guard g) = 0;
        virtual void abort() = 0;
    };
    template <class H>
    struct WaiterOf;

    void unlock();
    void enqueue(std::shared_ptr<Waiter> w);
    void withdraw(const std::shared_ptr<Waiter>& w);

    mutable std::mutex mu_;
    bool locked_ = false;
    std::deque<std::shared_ptr<Waiter>> waiters_;
};

template <class H>
struct AsyncMutex::WaiterOf : AsyncMutex::Waiter {
    explicit WaiterOf(H h) : op(std::move(h)) {}
    void grant(Guard g) override { op.complete(std::exception_ptr(), std::move(g)); }
    void abort() override { op.complete(detail::aborted(), Guard()); }
    detail::Pending<H> op;
};

inline asio::awaitable<AsyncMutex::Guard> AsyncMutex::lock() {
    return asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr, Guard)>(
        [this](auto handler) {
            using H = decltype(handler);
            auto w = std::make_shared<WaiterOf<H>>(std::move(handler));
            if (auto slot = w->op.slot(); slot.is_connected()) {
                std::weak_ptr<Waiter> weak = w;
                slot.assign([this, weak](asio::cancellation_type) {
                    if (auto w = weak.lock()) withdraw(w);
                });
            }
            enqueue(std::move(w));
        },
        asio::use_awaitable);
}

// A value behind an AsyncMutex; only a guard reaches it.
template <class T>
class Locked {
public:
    class Guard {
    public:
        T& operator*() const { return *value_; }
        T* operator->() const { return value_; }

    private:
        friend class Locked;
        Guard(AsyncMutex::Guard g, T* v) : guard_(std::move(g)), value_(v) {}
        AsyncMutex::Guard guard_;
        T* value_;
    };

    Locked() = default;
    template <class... A>
    explicit Locked(std::in_place_t, A&&... a) : value_(std::forward<A>(a)...) {}

    asio::awaitable<Guard> lock() {
        AsyncMutex::Guard g = co_await mutex_.lock();
        co_return Guard(std::move(g), &value_);
    }

private:
    AsyncMutex mutex_;
    T value_{};
};

}  // namespace halvo::rt

#pragma once
// A script handle around a core object that close empties once: the object
// behind an async mutex, operations that start in call order, a call served
// on the event loop's own thread when the object is free and nothing else
// wants it, close that ends what stopped moving and then goes by a policy of
// the core's kind, and the last share let go inside the runtime.
#include <Python.h>

#include <asio/awaitable.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include <poll.h>

#include "platform/fd.hpp"
#include "py/bridge.hpp"
#include "py/errors.hpp"
#include "py/loop.hpp"
#include "py/ref.hpp"
#include "rt/fork.hpp"
#include "rt/runtime.hpp"

namespace halvo::py {

// An operation that the loop's own thread may serve: sent without waiting,
// its answer read when its descriptor is readable. Whatever cannot go that
// way runs on the runtime.
template <class Core>
class DirectOp {
public:
    // Sent: the loop's thread reads the answer. Staged: begun, but the rest,
    // the sending included, goes on on the runtime. No: nothing happened.
    enum class Begun { Sent, Staged, No };

    virtual ~DirectOp() = default;
    // A wait for room in the server's input goes inside `around`.
    virtual Begun begin(Core& core, platform::AroundWait& around) = 0;
    // Readable when poll() may have the answer.
    virtual int fd(Core& core) = 0;
    // The outcome once the answer is in; none before.
    virtual std::optional<Outcome> poll(Core& core) = 0;
    // The answer arriving is too large to read on the loop's thread.
    virtual bool too_large(Core& core) = 0;
    // On the runtime: the rest of an operation begun.
    virtual asio::awaitable<Outcome> finish(Core& core) = 0;
    // On the runtime: the whole operation, when begin() did nothing.
    virtual asio::awaitable<Outcome> run(Core& core) = 0;
    // Which kind of call, below kKinds: answers of one kind come about as
    // fast as each other.
    virtual std::size_t kind() const { return 0; }
    static constexpr std::size_t kKinds = 16;
};

// Whether the answers of one kind of call come back quickly enough to be
// waited for on the script's thread: after two misses in a row a kind is
// not waited for during its next 2^k calls (k misses in a row, up to 6).
class SpinRecord {
public:
    // How long the script's thread may wait for an answer.
    static constexpr auto kSpin = std::chrono::microseconds(50);

    // Whether this call may wait; a call that may not counts down.
    bool may_spin() {
        if (skip_ == 0) return true;
        --skip_;
        return false;
    }
    void hit() { misses_ = skip_ = 0; }
    void miss() {
        misses_ = misses_ < 6 ? misses_ + 1 : 6;
        skip_ = misses_ >= 2 ? 1u << misses_ : 0;
    }

private:
    uint32_t misses_ = 0;  // in a row
    uint32_t skip_ = 0;    // calls left that do not wait
};

// On the script's thread, right after the request went out: the answer if
// it comes within SpinRecord::kSpin, else none. The wait polls, as a server
// that answers at once does so sooner than a sleeping thread wakes, but
// without the GIL, so the process's other threads run meanwhile. A large
// answer is not waited for: read in pieces while the server still writes
// it, it costs both sides more than the runtime's read.
template <class Core>
std::optional<Outcome> spin_for(DirectOp<Core>& op, Core& core) {
    using Clock = std::chrono::steady_clock;
    const int fd = op.fd(core);
    const auto until = Clock::now() + SpinRecord::kSpin;
    GilFreeWait gil_free;
    for (auto now = Clock::now(); now < until; now = Clock::now()) {
        if (!platform::wait_fd(fd, POLLIN, until - now, platform::WaitBy::Polling, &gil_free)) continue;
        if (auto done = op.poll(core)) return done;
        if (op.too_large(core)) break;
    }
    return std::nullopt;
}

namespace detail {

// A call served on a loop's thread, as what queues behind it sees it.
class Served {
public:
    virtual ~Served() = default;
    // From any thread: the runtime reads the answer from now on, so that
    // nothing waits for that loop to run.
    virtual void to_runtime() = 0;
};

}  // namespace detail

// How long close lets what holds the core go on with no byte moving on its
// channel before it ends it: a write the server reads, or an answer on its
// way, finishes; a server that stopped does not hold close up.
inline constexpr auto kCloseStall = std::chrono::milliseconds(500);
inline constexpr auto kCloseTick = std::chrono::milliseconds(20);

// What every share of one handle points to.
template <class Core>
struct HandleState {
    rt::AsyncMutex mutex;
    std::optional<Core> core;  // under the mutex; empty once closed
    rt::Strand strand = rt::make_strand();
    // Operations spawned on the runtime and not yet ended: a call may be
    // served on the loop's thread only when none is ahead of it.
    std::atomic<std::size_t> queued{0};
    // The call served on a loop's thread while it holds the core.
    std::mutex serve_mu;
    std::shared_ptr<detail::Served> serving;
    // On the strand: close is ending what holds the core; `ended` wakes
    // what waits on the server meanwhile.
    bool ending = false;
    std::optional<asio::steady_timer> ended;
    // Under the mutex.
    SpinRecord spins[DirectOp<Core>::kKinds];

    explicit HandleState(Core c) : core(std::move(c)) {}

    // On the strand: returns once close ends the calls in flight.
    asio::awaitable<void> ended_wait() {
        if (!ended) ended.emplace(strand, asio::steady_timer::time_point::max());
        asio::error_code ignored;
        co_await ended->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }

    // Something was queued: a call served on a loop's thread hands its
    // answer to the runtime.
    void preempt() {
        std::shared_ptr<detail::Served> d;
        {
            std::lock_guard lk(serve_mu);
            d = std::move(serving);
        }
        if (d) d->to_runtime();
    }
    // False when something is queued already; d then must not wait on its loop.
    bool serve(std::shared_ptr<detail::Served> d) {
        std::lock_guard lk(serve_mu);
        if (queued.load(std::memory_order_acquire) != 0) return false;
        serving = std::move(d);
        return true;
    }
    void unserve(const detail::Served* d) {
        std::lock_guard lk(serve_mu);
        if (serving.get() == d) serving.reset();
    }
};

namespace detail {

// The lock and the state, in the order they must go: the guard first.
template <class Core>
struct Held {
    std::shared_ptr<HandleState<Core>> state;
    rt::AsyncMutex::Guard guard;
};

// op's value, or what it threw, as a value: a race must not wait on for
// the other side when this one fails. A struct, not a variant, which a race
// would flatten.
template <class T>
struct Caught {
    std::optional<T> value;
    std::exception_ptr error;
};

template <class T>
asio::awaitable<Caught<T>> caught(asio::awaitable<T> op) {
    Caught<T> out;
    try {
        out.value.emplace(co_await std::move(op));
    } catch (...) {
        out.error = std::current_exception();
    }
    co_return out;
}

// On the strand, holding the core: op's value, or none when close ends it
// (before it starts, or while it waits; a frame write goes on until it ends
// or close cuts it).
template <class Core, class T>
asio::awaitable<std::optional<T>> unless_ended(HandleState<Core>& s, asio::awaitable<T> op) {
    using namespace asio::experimental::awaitable_operators;
    if (s.ending) co_return std::nullopt;
    auto running = caught(std::move(op));
    auto ended = s.ended_wait();
    auto racing = std::move(running) || std::move(ended);
    auto raced = co_await std::move(racing);
    if (raced.index() == 1) co_return std::nullopt;
    auto& got = std::get<0>(raced);
    if (got.error) std::rethrow_exception(got.error);
    co_return std::move(got.value);
}

// On the runtime, holding the core: the rest of a call begun.
template <class Core, class Policy>
asio::awaitable<Outcome> rest_of(Held<Core> held, std::unique_ptr<DirectOp<Core>> op) {
    HandleState<Core>& s = *held.state;
    auto finished = co_await unless_ended(s, op->finish(*s.core));
    if (!finished) co_return fail(ScriptError::broken(Policy::kEnded));
    co_return std::move(*finished);
}

// A call served on the loop's thread, from its request to its answer, until
// something queues behind it; the runtime then reads the answer instead and
// delivers it through the loop's inbox.
template <class Core, class Policy>
class Direct final : public Watcher,
                     public Cancellable,
                     public Served,
                     public std::enable_shared_from_this<Direct<Core, Policy>> {
public:
    Direct(Held<Core> held, std::unique_ptr<DirectOp<Core>> op, std::shared_ptr<Awaiter> aw)
        : held_(std::move(held)), op_(std::move(op)), aw_(std::move(aw)) {}

    // With the GIL held on the loop's thread, right after the request went
    // out and the reader found no answer, in its buffer included.
    void start() {
        auto self = this->shared_from_this();
        aw_->keep_context();
        aw_->on_cancel(self);
        if (!op_->too_large(core())) {
            fd_ = op_->fd(core());
            if (aw_->port()->watch(fd_, self)) {
                if (held_.state->serve(self)) return;
                aw_->port()->unwatch(fd_, this);
            }
        }
        std::lock_guard lk(mu_);
        to_runtime_locked();
    }

    void on_ready() override {
        std::optional<Outcome> done;
        {
            std::lock_guard lk(mu_);
            if (where_ != Where::Loop) return aw_->port()->unwatch(fd_, this);
            done = op_->poll(core());
            if (!done) {
                if (op_->too_large(core())) {
                    end_watch();
                    to_runtime_locked();
                }
                return;
            }
            where_ = Where::Done;
            end_watch();
            held_.guard.reset();  // the next operation may start meanwhile
        }
        aw_->settle(*done);
    }

    // The script cancelled the future. On the loop, the handle goes on at
    // once, and the answer that still comes is skipped by the next reader
    // as a stray; on the runtime, the task stops at its next wait.
    void cancel() override {
        std::lock_guard lk(mu_);
        if (where_ == Where::Runtime) return signal_->cancel();
        if (where_ != Where::Loop) return;
        where_ = Where::Done;
        end_watch();
        held_.guard.reset();
    }

    // The loop went away (its watch is gone): the rest goes on on the
    // runtime, still holding the handle, so later operations find the
    // channel in step. A cancel the loop had no turn left to pass on ends
    // it as cancel() would.
    void on_loop_gone() override {
        const bool cancelled = aw_->cancelled();
        std::lock_guard lk(mu_);
        if (where_ != Where::Loop) return;
        held_.state->unserve(this);
        if (cancelled) {
            where_ = Where::Done;
            held_.guard.reset();
            return;
        }
        to_runtime_locked();
    }

    void to_runtime() override {
        std::lock_guard lk(mu_);
        to_runtime_locked();
    }

private:
    enum class Where { Loop, Runtime, Done };

    Core& core() { return *held_.state->core; }

    // On the loop's thread, under mu_.
    void end_watch() {
        held_.state->unserve(this);
        if (fd_ >= 0) aw_->port()->unwatch(fd_, this);
    }

    // Under mu_, from any thread. The watch ends here, before the runtime
    // may see the pipe close.
    void to_runtime_locked() {
        if (where_ != Where::Loop) return;
        where_ = Where::Runtime;
        if (fd_ >= 0) aw_->port()->unwatch(fd_, this);
        signal_ = std::make_shared<rt::CancelSignal>(held_.state->strand);
        spawn_signalled(rest_of<Core, Policy>(std::move(held_), std::move(op_)), aw_, signal_);
    }

    std::mutex mu_;
    Where where_ = Where::Loop;
    Held<Core> held_;
    std::unique_ptr<DirectOp<Core>> op_;
    std::shared_ptr<Awaiter> aw_;
    std::shared_ptr<rt::CancelSignal> signal_;  // once on the runtime
    int fd_ = -1;
};

}  // namespace detail

// Policy gives:
//   static constexpr const char* kClosed: what an operation on a closed handle fails with;
//   static constexpr const char* kEnded: what a call that close ended fails with;
//   static uint64_t progress(Core&): bytes moved on the core's channel so far (any thread);
//   static void cut(Core&): ends a write stuck on a peer that stopped reading;
//   static asio::awaitable<void> end(Core): what close does with the core.
template <class Core, class Policy>
class Handle {
public:
    explicit Handle(Core core) : state_(std::make_shared<HandleState<Core>>(std::move(core))) {}
    Handle(Handle&&) noexcept = default;
    Handle& operator=(Handle&&) = delete;
    // Collected without close: the runtime must be up before the last share
    // goes, so that the core's hang-up can run as a task. An operation still
    // in flight holds a share and lets it go on the runtime. A forked child's
    // copy lets go of the core here and keeps the rest, which is bound to
    // its parent's runtime, untouched for good.
    ~Handle() {
        if (!state_) return;
        if (rt::ours(state_->strand.context())) {
            rt::io();
            return;
        }
        state_->core.reset();
        rt::abandon(std::move(state_));
    }

    // An operation on the runtime, in call order: op(Core&) gives an
    // awaitable of Result<T, ScriptError>.
    template <class F>
    Ref run(F op) {
        auto aw = Awaiter::create();
        Ref fut = aw->future();
        auto erased = [op = std::move(op)](Core& c) mutable { return erase(op(c)); };
        spawn_counted(on_open(state_, std::move(erased)), std::move(aw));
        return fut;
    }

    // An operation that the loop's own thread serves when the core is free
    // and nothing is queued ahead of it; otherwise as run().
    Ref call(std::unique_ptr<DirectOp<Core>> op) {
        auto aw = Awaiter::create();
        Ref fut = aw->future();
        if (aw->port() && state_->queued.load(std::memory_order_acquire) == 0) {
            if (auto guard = state_->mutex.try_lock()) {
                using Begun = typename DirectOp<Core>::Begun;
                GilFreeWait gil_free;
                auto begun = state_->core ? op->begin(*state_->core, gil_free) : Begun::No;
                detail::Held<Core> held{state_, std::move(*guard)};
                if (begun == Begun::Sent) {
                    if (auto done = answered_now(*op, *aw)) {
                        held.guard.reset();
                        if (aw->port()->may_finish_now(aw->loop(), LoopPort::Clock::now())) {
                            aw->settle(*done);
                        } else {
                            aw->settle_soon(*done);
                        }
                        return fut;
                    }
                    auto direct =
                        std::make_shared<detail::Direct<Core, Policy>>(std::move(held), std::move(op), std::move(aw));
                    direct->start();
                    return fut;
                }
                if (begun == Begun::Staged) {
                    spawn(detail::rest_of<Core, Policy>(std::move(held), std::move(op)), std::move(aw),
                          &state_->strand);
                    return fut;
                }
            }
        }
        auto whole = [o = std::move(op)](Core& c) { return o->run(c); };
        spawn_counted(on_open(state_, std::move(whole)), std::move(aw));
        return fut;
    }

    // An operation whose value goes to fn (call_later), in call order with
    // the rest: op(Core*) gives an awaitable of that value and runs holding
    // the core, or with none once the handle is closed.
    template <class F>
    void later(Ref fn, F op) {
        auto held = [](std::shared_ptr<HandleState<Core>> s, F op) -> decltype(op(nullptr)) {
            auto guard = co_await s->mutex.lock();
            if (s->core) {
                auto done = co_await detail::unless_ended(*s, op(&*s->core));
                if (done) co_return std::move(*done);
            }
            // Closed, or ended by close: as closed.
            co_return co_await op(nullptr);
        };
        call_later(std::move(fn), counted(held(state_, std::move(op))), &state_->strand);
    }

    // Empties the handle once what holds it is done, then hands the core to
    // the policy; never fails. What holds the core goes on while bytes move
    // on its channel; once none has moved for a while, close ends it (and
    // what queued before close): a call fails with kEnded, a write stuck on
    // a peer that stopped reading is cut.
    Ref close() {
        auto closing = [](std::shared_ptr<HandleState<Core>> s) -> asio::awaitable<Result<void, ScriptError>> {
            using namespace asio::experimental::awaitable_operators;
            struct Reset {
                bool& ending;
                ~Reset() { ending = false; }
            } reset{s->ending};
            std::optional<Core> taken;
            {
                auto locking = s->mutex.lock();
                auto watching = end_when_stalled(s);
                auto racing = std::move(locking) || std::move(watching);
                auto got = co_await std::move(racing);
                auto guard = std::move(std::get<0>(got));
                taken.swap(s->core);
            }
            if (taken) co_await Policy::end(std::move(*taken));
            co_return Result<void, ScriptError>();
        };
        auto aw = Awaiter::create();
        Ref fut = aw->future();
        spawn_counted(erase(closing(state_)), std::move(aw));
        return fut;
    }

private:
    // Holding the core, right after op's request went out on the loop's
    // thread: its answer if the reader has it now, or if it comes within a
    // short wait. No wait while other callbacks are ready on the loop, past
    // the loop's turn budget, or for a kind whose answers keep coming late.
    std::optional<Outcome> answered_now(DirectOp<Core>& op, Awaiter& aw) {
        Core& core = *state_->core;
        if (auto done = op.poll(core)) return done;
        if (op.too_large(core)) return std::nullopt;
        LoopPort& port = *aw.port();
        if (!port.may_spin(aw.loop(), LoopPort::Clock::now())) return std::nullopt;
        SpinRecord& record = state_->spins[op.kind() % DirectOp<Core>::kKinds];
        if (!record.may_spin()) return std::nullopt;
        auto done = spin_for(op, core);
        if (done)
            record.hit();
        else if (!op.too_large(core))
            record.miss();
        return done;
    }

    // op(Core&) gives an awaitable of Outcome; it runs holding the core.
    template <class F>
    static asio::awaitable<Outcome> on_open(std::shared_ptr<HandleState<Core>> s, F op) {
        auto guard = co_await s->mutex.lock();
        if (!s->core) co_return fail(ScriptError::halvo(Policy::kClosed));
        auto outcome = co_await detail::unless_ended(*s, op(*s->core));
        if (!outcome) co_return fail(ScriptError::broken(Policy::kEnded));
        co_return std::move(*outcome);
    }

    // On the strand, racing close's wait for the lock; never returns. Ends
    // what holds the core once no byte has moved on its channel for a while.
    static asio::awaitable<void> end_when_stalled(std::shared_ptr<HandleState<Core>> s) {
        using Clock = std::chrono::steady_clock;
        uint64_t seen = s->core ? Policy::progress(*s->core) : 0;
        auto since = Clock::now();
        for (;;) {
            co_await rt::sleep(kCloseTick);
            const uint64_t now_seen = s->core ? Policy::progress(*s->core) : 0;
            const auto now = Clock::now();
            if (now_seen != seen) {
                seen = now_seen;
                since = now;
                continue;
            }
            if (s->ending || now - since < kCloseStall) continue;
            s->ending = true;
            if (s->ended) s->ended->cancel();
            if (s->core) Policy::cut(*s->core);
        }
    }

    // Queued from now until op ends.
    template <class T>
    asio::awaitable<T> counted(asio::awaitable<T> op) {
        state_->queued.fetch_add(1, std::memory_order_acq_rel);
        state_->preempt();
        auto count = [](std::shared_ptr<HandleState<Core>> s, asio::awaitable<T> o) -> asio::awaitable<T> {
            struct Done {
                HandleState<Core>& s;
                ~Done() { s.queued.fetch_sub(1, std::memory_order_acq_rel); }
            } done{*s};
            co_return co_await std::move(o);
        };
        return count(state_, std::move(op));
    }

    void spawn_counted(asio::awaitable<Outcome> op, std::shared_ptr<Awaiter> aw) {
        spawn(counted(std::move(op)), std::move(aw), &state_->strand);
    }

    std::shared_ptr<HandleState<Core>> state_;
};

}  // namespace halvo::py

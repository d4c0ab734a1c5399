#pragma once
// A script handle around a core object that close empties once: the object
// behind an async mutex, operations that start in call order, a call served
// on the event loop's own thread when the object is free, close by a policy
// of the core's kind, and the last share let go inside the runtime.
#include <Python.h>

#include <asio/awaitable.hpp>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "py/bridge.hpp"
#include "py/errors.hpp"
#include "py/loop.hpp"
#include "py/ref.hpp"
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
    virtual Begun begin(Core& core) = 0;
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
};

// What every share of one handle points to.
template <class Core>
struct HandleState {
    rt::AsyncMutex mutex;
    std::optional<Core> core;  // under the mutex; empty once closed
    rt::Strand strand = rt::make_strand();
    // Operations spawned on the runtime and not yet ended: a call may be
    // served on the loop's thread only when none is ahead of it.
    std::atomic<std::size_t> queued{0};

    explicit HandleState(Core c) : core(std::move(c)) {}
};

namespace detail {

// The lock and the state, in the order they must go: the guard first.
template <class Core>
struct Held {
    std::shared_ptr<HandleState<Core>> state;
    rt::AsyncMutex::Guard guard;
};

// A call served on the loop's thread, from its request to its answer.
template <class Core>
class Direct final : public Watcher, public Cancellable, public std::enable_shared_from_this<Direct<Core>> {
public:
    Direct(Held<Core> held, std::unique_ptr<DirectOp<Core>> op, std::shared_ptr<Awaiter> aw)
        : held_(std::move(held)), op_(std::move(op)), aw_(std::move(aw)) {}

    // With the GIL held, right after the request went out, or was staged
    // for the runtime to send.
    void start(bool sent) {
        if (!sent) return hand_over();
        aw_->on_cancel(this->shared_from_this());
        fd_ = op_->fd(core());
        if (!aw_->port()->watch(fd_, this)) return hand_over();
        self_ = this->shared_from_this();  // while watched
    }

    void on_ready() override {
        if (!self_) return;
        auto done = op_->poll(core());
        if (!done) {
            if (op_->too_large(core())) {
                auto keep = unwatched();
                hand_over();
            }
            return;
        }
        auto keep = unwatched();
        held_.guard.reset();  // the next operation may start meanwhile
        aw_->settle(*done);
    }

    // The script cancelled the future: the handle goes on at once, and the
    // answer that still comes is skipped by the next reader as a stray.
    void cancel() override {
        if (!self_) return;
        auto keep = unwatched();
        held_.guard.reset();
    }

    // The loop went away: the rest goes on on the runtime, still holding
    // the handle, so later operations find the channel in step. A cancel
    // the loop had no turn left to pass on ends it as cancel() would.
    void on_loop_gone() override {
        if (!self_) return;
        if (aw_->cancelled()) return cancel();
        auto keep = unwatched();
        hand_over();
    }

private:
    Core& core() { return *held_.state->core; }

    // Ends the watch; the share returned keeps this alive to the caller's end.
    std::shared_ptr<Direct> unwatched() {
        aw_->port()->unwatch(fd_);
        return std::move(self_);
    }

    // With the GIL held, not watched; the script's cancel then stops the
    // task instead.
    void hand_over() {
        auto rest = [](Held<Core> held, std::unique_ptr<DirectOp<Core>> op) -> asio::awaitable<Outcome> {
            co_return co_await op->finish(*held.state->core);
        };
        const rt::Strand* strand = &held_.state->strand;
        spawn(rest(std::move(held_), std::move(op_)), aw_, strand);
    }

    Held<Core> held_;
    std::unique_ptr<DirectOp<Core>> op_;
    std::shared_ptr<Awaiter> aw_;
    int fd_ = -1;
    std::shared_ptr<Direct> self_;  // set while the loop watches
};

}  // namespace detail

// Policy gives:
//   static constexpr const char* kClosed: what an operation on a closed handle fails with;
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
    // in flight holds a share and lets it go on the runtime.
    ~Handle() {
        if (state_) rt::io();
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
                auto begun = state_->core ? op->begin(*state_->core) : DirectOp<Core>::Begun::No;
                if (begun != DirectOp<Core>::Begun::No) {
                    auto direct = std::make_shared<detail::Direct<Core>>(
                        detail::Held<Core>{state_, std::move(*guard)}, std::move(op), std::move(aw));
                    direct->start(begun == DirectOp<Core>::Begun::Sent);
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
            co_return co_await op(s->core ? &*s->core : nullptr);
        };
        call_later(std::move(fn), counted(held(state_, std::move(op))), &state_->strand);
    }

    // Empties the handle once the operation in flight is done, then hands
    // the core to the policy; never fails. A write stuck on a peer that
    // stopped reading is cut first, or close would wait for it for ever.
    Ref close() {
        auto closing = [](std::shared_ptr<HandleState<Core>> s) -> asio::awaitable<Result<void, ScriptError>> {
            // On the strand, where the operation holding the core runs too.
            if (s->core && s->mutex.locked()) Policy::cut(*s->core);
            std::optional<Core> taken;
            {
                auto guard = co_await s->mutex.lock();
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
    // op(Core&) gives an awaitable of Outcome; it runs holding the core.
    template <class F>
    static asio::awaitable<Outcome> on_open(std::shared_ptr<HandleState<Core>> s, F op) {
        auto guard = co_await s->mutex.lock();
        if (!s->core) co_return fail(ScriptError::halvo(Policy::kClosed));
        auto outcome = co_await op(*s->core);
        co_return outcome;
    }

    // Queued from now until op ends.
    template <class T>
    asio::awaitable<T> counted(asio::awaitable<T> op) {
        state_->queued.fetch_add(1, std::memory_order_acq_rel);
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

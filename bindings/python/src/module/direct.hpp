#pragma once
// A protocol exchange as an operation of a script handle: sent and answered
// on the event loop's own thread when it can be, on the runtime otherwise.
#include <memory>
#include <utility>

#include "module/errors.hpp"
#include "protocol/mod.hpp"
#include "py/bridge.hpp"
#include "py/convert.hpp"
#include "py/handle.hpp"

namespace halvo::module {

// Answers longer than this are read on the runtime, not on the loop's thread.
inline constexpr std::size_t kDirectAnswerLimit = 64 * 1024;

// What a handle's policy does the same for every core with a protocol
// client (Core gives protocol::Client& client()).
struct ClientPolicy {
    template <class Core>
    static void cut(Core& c) {
        c.client().cut_write();
    }
    template <class Core>
    static uint64_t progress(Core& c) {
        return c.client().progress();
    }
};

// Reads an answer's large binary straight into the bytes object the script
// will get: only where this thread holds the GIL.
class BytesSink final : public protocol::BinarySink {
public:
    std::optional<Room> room(std::size_t n) override {
        if (!py::gil_marked()) return std::nullopt;
        return py::unfilled_bytes(n);
    }
};

template <class T>
py::Outcome outcome_of(protocol::FailureResult<T> r) {
    return py::erase(error::scripted(std::move(r)));
}

// Core gives protocol::Client& client().
template <class Core, class T>
class ExchangeOp final : public py::DirectOp<Core> {
public:
    explicit ExchangeOp(protocol::Exchange<T> ex) : ex_(std::move(ex)) {}

    using Begun = typename py::DirectOp<Core>::Begun;

    Begun begin(Core& core, platform::AroundWait& around) override {
        auto* direct = core.client().direct();
        if (!direct) return Begun::No;
        auto begun = direct->begin(ex_.call, &around);
        if (!begun) return Begun::No;
        id_ = begun->id;
        return begun->how == protocol::DirectCalls::Begun::How::Sent ? Begun::Sent : Begun::Staged;
    }
    int fd(Core& core) override { return core.client().direct()->answer_fd(); }
    std::optional<py::Outcome> poll(Core& core) override {
        BytesSink sink;
        auto polled = core.client().direct()->poll(id_, &sink);
        if (std::holds_alternative<protocol::DirectCalls::NotYet>(polled)) return std::nullopt;
        return outcome_of(ex_.answer(std::get<1>(std::move(polled))));
    }
    std::size_t kind() const override { return static_cast<std::size_t>(ex_.call.method()); }
    bool too_large(Core& core) override { return core.client().direct()->arriving() > kDirectAnswerLimit; }
    asio::awaitable<py::Outcome> finish(Core& core) override {
        auto answer = co_await core.client().direct()->finish(id_);
        co_return outcome_of(ex_.answer(std::move(answer)));
    }
    asio::awaitable<py::Outcome> run(Core& core) override {
        auto r = co_await core.client().run(std::move(ex_));
        co_return outcome_of(std::move(r));
    }

private:
    protocol::Exchange<T> ex_;
    uint64_t id_ = 0;
};

template <class Core, class T>
std::unique_ptr<py::DirectOp<Core>> exchange_op(protocol::Exchange<T> ex) {
    return std::make_unique<ExchangeOp<Core, T>>(std::move(ex));
}

}  // namespace halvo::module

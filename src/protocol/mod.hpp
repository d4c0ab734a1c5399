#pragma once
// The interface through which sessions talk to a runtime server: the two
// primitives call and notify, and one typed operation per protocol method
// built on them with one rule for the kind of the answer.
#include <asio/awaitable.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/fd.hpp"
#include "protocol/base.hpp"
#include "protocol/message/call.hpp"
#include "protocol/message/notification.hpp"

namespace halvo::protocol {

namespace msg = message;

// The method whose result is the record Resp (results stand in the order of
// the methods).
template <class Resp, std::size_t I = 0>
constexpr msg::Method answered_by() {
    if constexpr (std::is_same_v<std::variant_alternative_t<I, msg::Response::Variant>, Resp>)
        return static_cast<msg::Method>(I);
    else
        return answered_by<Resp, I + 1>();
}

// The answer rule of every typed operation: the record of the kind asked
// for; any other answer is Refused with the error that mismatched() makes.
template <class Resp>
FailureResult<Resp> expect(FailureResult<msg::Response> answer);

// One request as data: the call, and what its answer becomes. The same
// exchange runs awaited on the runtime (Client::run) or, by a caller that
// does its own waiting, through the client's direct calls.
template <class T>
struct Exchange {
    msg::Call call;
    FailureResult<T> (*answer)(FailureResult<msg::Response>);
};

// The exchange of each typed call operation.
namespace exchange {
template <class Resp>
Exchange<Resp> of(msg::Call c) {
    return {std::move(c), &expect<Resp>};
}
// The same, the record then turned into what Pick (one of its fields, or a
// function of it) makes of it.
template <class Resp, auto Pick, class T = std::remove_cvref_t<std::invoke_result_t<decltype(Pick), Resp&&>>>
Exchange<T> of(msg::Call c) {
    return {std::move(c), [](FailureResult<msg::Response> r) -> FailureResult<T> {
                return expect<Resp>(std::move(r)).map([](Resp&& resp) -> T { return std::invoke(Pick, std::move(resp)); });
            }};
}
}  // namespace exchange

// The halves of call() for a caller that waits on a descriptor of its own
// (an event loop's thread): begin() sends at once when it can, poll() takes
// what has arrived, finish() waits on the runtime for the rest.
class DirectCalls {
public:
    struct NotYet {};
    using Polled = std::variant<NotYet, FailureResult<msg::Response>>;
    // Sent: written whole, its answer awaited. Staged: encoded under its id
    // but not written whole (no room left for it in time): finish() writes
    // the rest first, and so does whatever writes next if finish() never
    // runs.
    struct Begun {
        enum class How { Sent, Staged } how;
        uint64_t id;
    };

    virtual ~DirectCalls() = default;
    // None when it must go through call(), which then gets the same call
    // back; no id is used then.
    virtual std::optional<Begun> begin(msg::Call& c, platform::AroundWait* around = nullptr) = 0;
    // `sink` may give a large binary of the answer a room of its own.
    virtual Polled poll(uint64_t id, BinarySink* sink = nullptr) = 0;
    virtual asio::awaitable<FailureResult<msg::Response>> finish(uint64_t id) = 0;
    // Readable when poll() may have something.
    virtual int answer_fd() = 0;
    // The length of the answer frame being read, once known.
    virtual std::size_t arriving() const = 0;
};

// Every operation needs exclusive use of the client and keeps `this` until
// it ends; owners that share a client hold it behind an async mutex.
class Client {
public:
    virtual ~Client() = default;

    // One request and its answer; an error answer comes back as Refused.
    virtual asio::awaitable<FailureResult<msg::Response>> call(msg::Call call) = 0;
    // One notification; nothing is answered.
    virtual asio::awaitable<FailureResult<void>> notify(msg::Notification n) = 0;

    asio::awaitable<FailureResult<msg::call::VersionResp>> version();
    asio::awaitable<FailureResult<msg::call::BuildImageResp>> build_image(msg::call::BuildImageCall c);
    asio::awaitable<FailureResult<msg::call::RemoveImageResp>> remove_image(msg::call::RemoveImageCall c);
    asio::awaitable<FailureResult<ImageEntries>> list_images();
    asio::awaitable<FailureResult<msg::call::InitResp>> init(msg::call::InitCall c);
    asio::awaitable<FailureResult<msg::call::ExecResp>> exec(msg::call::ExecCall c);
    asio::awaitable<FailureResult<msg::call::ReadResp>> read(msg::call::ReadCall c);
    asio::awaitable<FailureResult<msg::call::WriteResp>> write(msg::call::WriteCall c);
    asio::awaitable<FailureResult<msg::call::SnapshotResp>> snapshot();
    asio::awaitable<FailureResult<void>> start();
    asio::awaitable<FailureResult<void>> stop();
    virtual asio::awaitable<FailureResult<void>> quit();

    // One exchange, awaited.
    template <class T>
    asio::awaitable<FailureResult<T>> run(Exchange<T> ex) {
        auto answer = co_await call(std::move(ex.call));
        co_return ex.answer(std::move(answer));
    }
    // The direct halves, where this client has them.
    virtual DirectCalls* direct() { return nullptr; }
    // Ends a frame write in flight by closing the server's input, so that
    // an operation stuck on a server that stopped reading fails. Only from
    // the strand the client's operations run on.
    virtual void cut_write() {}
    // Bytes moved either way on the server's channel so far, so that a wait
    // on the server can tell a slow one from one that stopped; any thread.
    virtual uint64_t progress() const { return 0; }
};

// The error for an answer of another kind than the method asked (-32603).
msg::Error mismatched(msg::Method asked, msg::Response answer);

// The client left in place of one handed off to be closed: every call and
// notification fails as Broken, "the session has ended".
class Spent final : public Client {
public:
    asio::awaitable<FailureResult<msg::Response>> call(msg::Call call) override;
    asio::awaitable<FailureResult<void>> notify(msg::Notification n) override;
};

}  // namespace halvo::protocol

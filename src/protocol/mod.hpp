#pragma once
// The interface through which sessions talk to a runtime server: the two
// primitives call and notify, and one typed operation per protocol method
// built on them with one rule for the kind of the answer.
#include <asio/awaitable.hpp>

#include "protocol/base.hpp"
#include "protocol/message/call.hpp"
#include "protocol/message/notification.hpp"

namespace halvo::protocol {

namespace msg = message;

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

private:
    // Calls and keeps the answer only when it is a `Resp`.
    template <class Resp>
    asio::awaitable<FailureResult<Resp>> ask(msg::Call c);
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

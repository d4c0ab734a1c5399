#include "protocol/mod.hpp"

#include <string>

namespace halvo::protocol {

using msg::Call;
using msg::Method;
using msg::Notification;
using msg::Response;
namespace call = msg::call;

template <class Resp>
asio::awaitable<FailureResult<Resp>> Client::ask(Call c) {
    const Method asked = c.method();
    HALVO_CO_TRY(Response answer, co_await call(std::move(c)));
    if (auto* r = std::get_if<Resp>(&answer.v)) co_return std::move(*r);
    co_return fail(Failure::refused(mismatched(asked, std::move(answer))));
}

asio::awaitable<FailureResult<call::VersionResp>> Client::version() {
    return ask<call::VersionResp>(Call{call::VersionCall{}});
}
asio::awaitable<FailureResult<call::BuildImageResp>> Client::build_image(call::BuildImageCall c) {
    return ask<call::BuildImageResp>(Call{std::move(c)});
}
asio::awaitable<FailureResult<call::RemoveImageResp>> Client::remove_image(call::RemoveImageCall c) {
    return ask<call::RemoveImageResp>(Call{std::move(c)});
}
asio::awaitable<FailureResult<ImageEntries>> Client::list_images() {
    return ask<ImageEntries>(Call{call::ListImagesCall{}});
}
asio::awaitable<FailureResult<call::InitResp>> Client::init(call::InitCall c) {
    return ask<call::InitResp>(Call{std::move(c)});
}
asio::awaitable<FailureResult<call::ExecResp>> Client::exec(call::ExecCall c) {
    return ask<call::ExecResp>(Call{std::move(c)});
}
asio::awaitable<FailureResult<call::ReadResp>> Client::read(call::ReadCall c) {
    return ask<call::ReadResp>(Call{std::move(c)});
}
asio::awaitable<FailureResult<call::WriteResp>> Client::write(call::WriteCall c) {
    return ask<call::WriteResp>(Call{std::move(c)});
}
asio::awaitable<FailureResult<call::SnapshotResp>> Client::snapshot() {
    return ask<call::SnapshotResp>(Call{call::SnapshotCall{}});
}
asio::awaitable<FailureResult<void>> Client::start() { return notify(Notification::Start); }
asio::awaitable<FailureResult<void>> Client::stop() { return notify(Notification::Stop); }
asio::awaitable<FailureResult<void>> Client::quit() { return notify(Notification::Quit); }

msg::Error mismatched(Method asked, Response answer) {
    const auto answered = answer.method();
    std::string text = "asked " + std::string(msg::to_string(asked)) + " and was answered ";
    text += answered ? "a " + std::string(msg::to_string(*answered)) + " result" : "nothing this end can read";
    return msg::Error::make(-32603, std::move(text));
}

namespace {
Failure ended() { return Failure::broken(Chain("the session has ended")); }
}  // namespace

asio::awaitable<FailureResult<Response>> Spent::call(Call) { co_return fail(ended()); }
asio::awaitable<FailureResult<void>> Spent::notify(Notification) { co_return fail(ended()); }

}  // namespace halvo::protocol

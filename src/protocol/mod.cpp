#include "protocol/mod.hpp"

#include <string>

namespace halvo::protocol {

using msg::Call;
using msg::Method;
using msg::Notification;
using msg::Response;
namespace call = msg::call;

template <class Resp>
FailureResult<Resp> expect(FailureResult<Response> answer) {
    if (!answer) return fail(std::move(answer).error());
    if (auto* r = std::get_if<Resp>(&answer->v)) return std::move(*r);
    return fail(Failure::refused(mismatched(answered_by<Resp>(), std::move(*answer))));
}

template FailureResult<call::VersionResp> expect(FailureResult<Response>);
template FailureResult<call::BuildImageResp> expect(FailureResult<Response>);
template FailureResult<call::RemoveImageResp> expect(FailureResult<Response>);
template FailureResult<ImageEntries> expect(FailureResult<Response>);
template FailureResult<call::InitResp> expect(FailureResult<Response>);
template FailureResult<call::ExecResp> expect(FailureResult<Response>);
template FailureResult<call::ReadResp> expect(FailureResult<Response>);
template FailureResult<call::WriteResp> expect(FailureResult<Response>);
template FailureResult<call::SnapshotResp> expect(FailureResult<Response>);

asio::awaitable<FailureResult<call::VersionResp>> Client::version() {
    return run(exchange::of<call::VersionResp>(Call{call::VersionCall{}}));
}
asio::awaitable<FailureResult<call::BuildImageResp>> Client::build_image(call::BuildImageCall c) {
    return run(exchange::of<call::BuildImageResp>(Call{std::move(c)}));
}
asio::awaitable<FailureResult<call::RemoveImageResp>> Client::remove_image(call::RemoveImageCall c) {
    return run(exchange::of<call::RemoveImageResp>(Call{std::move(c)}));
}
asio::awaitable<FailureResult<ImageEntries>> Client::list_images() {
    return run(exchange::of<ImageEntries>(Call{call::ListImagesCall{}}));
}
asio::awaitable<FailureResult<call::InitResp>> Client::init(call::InitCall c) {
    return run(exchange::of<call::InitResp>(Call{std::move(c)}));
}
asio::awaitable<FailureResult<call::ExecResp>> Client::exec(call::ExecCall c) {
    return run(exchange::of<call::ExecResp>(Call{std::move(c)}));
}
asio::awaitable<FailureResult<call::ReadResp>> Client::read(call::ReadCall c) {
    return run(exchange::of<call::ReadResp>(Call{std::move(c)}));
}
asio::awaitable<FailureResult<call::WriteResp>> Client::write(call::WriteCall c) {
    return run(exchange::of<call::WriteResp>(Call{std::move(c)}));
}
asio::awaitable<FailureResult<call::SnapshotResp>> Client::snapshot() {
    return run(exchange::of<call::SnapshotResp>(Call{call::SnapshotCall{}}));
}
asio::awaitable<FailureResult<void>> Client::start() { return notify(Notification::Start); }
asio::awaitable<FailureResult<void>> Client::stop() { return notify(Notification::Stop); }
asio::awaitable<FailureResult<void>> Client::quit() { return notify(Notification::Quit); }

msg::Error mismatched(Method asked, Response answer) {
    const auto answered = answer.method();
    std::string text = "asked " + std::string(msg::to_string(asked)) + " and was answered ";
    text += answered ? "a " + std::string(msg::to_string(*answered)) + " result" : "nothing this end can read";
    return msg::Error::make(msg::kInternalError, std::move(text));
}

namespace {
Failure ended() { return Failure::broken(Chain("the session has ended")); }
}  // namespace

asio::awaitable<FailureResult<Response>> Spent::call(Call) { co_return fail(ended()); }
asio::awaitable<FailureResult<void>> Spent::notify(Notification) { co_return fail(ended()); }

}  // namespace halvo::protocol

#pragma once
// Frames relayed by another component that drives a console as one of its
// own: one plain BSON message in (no length prefix), answered on the owning
// console's channel. What a message asks for is decided apart from sending.
#include <asio/awaitable.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "protocol/base.hpp"
#include "protocol/message/message.hpp"
#include "protocol/mod.hpp"

namespace halvo::console::relay {

namespace msg = protocol::message;
using protocol::FailureResult;

// Binaries of 64 KiB or more share the frame's bytes, uncopied.
FailureResult<msg::Message> decode(const Blob& bytes);
FailureResult<std::string> encode(const msg::Message& m);

// A call sent under the client's own id, answered under the relayed one.
struct Forward {
    uint64_t id = 0;
    msg::Call call;
};
// Quit: the owning console decides when its server ends.
struct Swallow {};
// An answer made here, a call, a notification to pass on, or nothing.
using Plan = std::variant<msg::Message, Forward, msg::Notification, Swallow>;

// Only a response fails: the owning console is the only one that answers.
FailureResult<Plan> plan(msg::Message m);

// The response under `id` to a forwarded call: an answer of any kind, or a
// refusal's error record. A broken channel stays a failure.
FailureResult<msg::Message> answered(uint64_t id, FailureResult<msg::Response> outcome);

// One frame answered on `client`: the encoded response to a request, empty
// bytes for a notification.
asio::awaitable<FailureResult<std::string>> answer(protocol::Client& client, std::string frame);

// What the relaying side is told of a failure: a broken channel's whole
// chain, or the refusal's text.
std::string reason(const protocol::Failure& f);

}  // namespace halvo::console::relay

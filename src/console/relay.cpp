#include "console/relay.hpp"

namespace halvo::console::relay {

using msg::Message;
using protocol::Failure;

namespace {
Failure broken(std::string text) { return Failure::broken(Chain(std::move(text))); }
}  // namespace

FailureResult<Message> decode(const Blob& bytes) {
    auto m = Message::read_sharing(bytes);
    if (!m) return fail(broken("reading a relayed message: " + m.error().display()));
    return std::move(m).value();
}

FailureResult<std::string> encode(const Message& m) {
    auto bytes = m.write();
    if (!bytes) return fail(broken("serializing a relayed message: " + bytes.error().display()));
    return std::move(bytes).value();
}

FailureResult<Plan> plan(Message m) {
    if (auto* r = std::get_if<Message::Response>(&m.v))
        return fail(broken("a relayed frame answered request " + std::to_string(r->id) +
                           "; only the owning console answers"));
    if (auto* n = std::get_if<msg::Notification>(&m.v)) {
        if (*n == msg::Notification::Quit) return Plan(Swallow{});
        return Plan(*n);
    }
    auto& req = std::get<Message::Request>(m.v);
    if (std::holds_alternative<msg::call::InitCall>(req.call.v)) {
        auto refused = msg::Error::make(-32600, "the session was announced by the console that owns it");
        return Plan(Message{Message::Response{req.id, msg::Response{std::move(refused)}}});
    }
    return Plan(Forward{req.id, std::move(req.call)});
}

FailureResult<Message> answered(uint64_t id, FailureResult<msg::Response> outcome) {
    if (outcome) return Message{Message::Response{id, std::move(outcome).value()}};
    if (const auto* e = outcome.error().refused_error()) return Message{Message::Response{id, msg::Response{*e}}};
    return fail(std::move(outcome).error());
}

asio::awaitable<FailureResult<std::string>> answer(protocol::Client& client, std::string frame) {
    HALVO_CO_TRY(Message m, decode(Blob(std::move(frame))));
    HALVO_CO_TRY(Plan p, plan(std::move(m)));
    if (auto* made = std::get_if<Message>(&p)) co_return encode(*made);
    if (auto* n = std::get_if<msg::Notification>(&p)) {
        HALVO_CO_CHECK(co_await client.notify(*n));
    } else if (auto* f = std::get_if<Forward>(&p)) {
        auto outcome = co_await client.call(std::move(f->call));
        HALVO_CO_TRY(Message response, answered(f->id, std::move(outcome)));
        co_return encode(response);
    }
    co_return std::string();
}

std::string reason(const Failure& f) {
    if (const auto* chain = f.broken_chain()) return chain->render();
    return f.text();
}

}  // namespace halvo::console::relay

#include "protocol/message/message.hpp"

#include <optional>

#include "bson/reader.hpp"
#include "bson/writer.hpp"
#include "codec/record.hpp"
#include "base/quote.hpp"

namespace halvo::protocol::message {

using bson::BsonResult;
using bson::Status;

BsonResult<std::string> Message::write() const {
    HALVO_TRY(auto gathered, write_gathered());
    return std::move(gathered).flat();
}

BsonResult<bson::Gathered> Message::write_gathered() const {
    bson::Writer w;
    w.add_string("jsonrpc", "2.0");
    if (const auto* r = std::get_if<Request>(&v)) {
        HALVO_CHECK(w.add_u64("id", r->id));
        HALVO_CHECK(r->call.write_entries(w));
    } else if (const auto* n = std::get_if<Notification>(&v)) {
        w.add_string("method", to_string(method_of(*n)));
    } else {
        const auto& resp = std::get<Response>(v);
        HALVO_CHECK(w.add_u64("id", resp.id));
        HALVO_CHECK(resp.result.write_entries(w));
    }
    return std::move(w).finish_gathered();
}

namespace {

BsonResult<std::string> string_member(const bson::Entry& e) {
    const auto* s = e.value.get<std::string>();
    if (!s) return fail(bson::invalid_type(e.value, "a string").at_key(e.key));
    return *s;
}

BsonResult<std::optional<uint64_t>> id_member(const bson::Entry& e) {
    if (e.value.is_null()) return std::optional<uint64_t>();
    uint64_t id = 0;
    auto r = codec::decode(e.value, id);
    if (!r) return fail(std::move(r).error().at_key(e.key));
    return std::optional<uint64_t>(id);
}

}  // namespace

namespace {

BsonResult<Message> from_elements(const std::vector<bson::Entry>& elements) {
    // One walk in document order: a later key replaces an earlier one, and
    // a member of the wrong type fails at once.
    std::optional<std::string> jsonrpc, method;
    std::optional<uint64_t> id;
    const bson::Value *params = nullptr, *result = nullptr, *error = nullptr;
    for (const auto& e : elements) {
        if (e.key == "jsonrpc") {
            HALVO_TRY(jsonrpc, string_member(e));
        } else if (e.key == "id") {
            HALVO_TRY(id, id_member(e));
        } else if (e.key == "method") {
            HALVO_TRY(method, string_member(e));
        } else if (e.key == "params") {
            params = &e.value;
        } else if (e.key == "result") {
            result = &e.value;
        } else if (e.key == "error") {
            error = &e.value;
        }
    }

    if (!jsonrpc) return fail(bson::missing_field("jsonrpc"));
    if (*jsonrpc != "2.0") return fail(bson::Error::decode("jsonrpc is " + quoted(*jsonrpc) + ", not \"2.0\""));
    if (!method && !result && !error) return fail(bson::Error::decode("a message has no method, result or error"));
    std::optional<Method> m;
    if (method) {
        m = parse_method(*method);
        if (!m) return fail(bson::Error::decode("unknown method " + quoted(*method)));
    }

    if (!result && !error) {
        static const bson::Value kNull;
        const bson::Value& p = params ? *params : kNull;
        if (id) {
            HALVO_TRY(auto call, Call::from_params(*m, p));
            return Message{Message::Request{*id, std::move(call)}};
        }
        HALVO_TRY(auto n, notification_from_params(*m, p));
        return Message{n};
    }
    if (params)
        return fail(bson::Error::decode(
            "a message has params and a result or error, so it is neither a request nor a response"));
    if (!id) return fail(bson::Error::decode("a response needs an id"));
    HALVO_TRY(auto resp, message::Response::from_members(m, result, error));
    return Message{Message::Response{*id, std::move(resp)}};
}

}  // namespace

BsonResult<Message> Message::read(std::string_view bytes) {
    HALVO_TRY(auto elements, bson::read_elements(bytes));
    return from_elements(elements);
}

BsonResult<Message> Message::read_sharing(const Blob& bytes, const bson::Apart* apart) {
    HALVO_TRY(auto elements, bson::read_elements_sharing(bytes, apart));
    return from_elements(elements);
}

std::string Message::debug() const {
    if (const auto* r = std::get_if<Request>(&v))
        return codec::DebugStruct("Request").field("id", std::to_string(r->id)).field("call", r->call.debug()).finish();
    if (const auto* n = std::get_if<Notification>(&v)) return "Notification(" + message::debug(*n) + ")";
    const auto& resp = std::get<Response>(v);
    return codec::DebugStruct("Response")
        .field("id", std::to_string(resp.id))
        .field("result", resp.result.debug())
        .finish();
}

}  // namespace halvo::protocol::message

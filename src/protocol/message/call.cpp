#include "protocol/message/call.hpp"

#include <utility>

namespace halvo::protocol::message {

using bson::BsonResult;
using bson::Status;

namespace {

constexpr const char* kVariantNames[] = {"Version", "BuildImage", "RemoveImage", "ListImages", "Init",
                                         "Exec",    "Read",       "Write",       "Snapshot",   "Error"};

// Reads alternative `index` of V with that alternative's own reader.
template <class V, size_t... I>
BsonResult<V> read_alternative(size_t index, const bson::Value& x, std::index_sequence<I...>) {
    BsonResult<V> out = fail(bson::Error::decode("no such record"));
    auto one = [&]<size_t K>(std::integral_constant<size_t, K>) {
        if (K != index) return;
        auto r = std::variant_alternative_t<K, V>::read(x);
        if (r)
            out = V(std::in_place_index<K>, std::move(r).value());
        else
            out = fail(std::move(r).error());
    };
    (one(std::integral_constant<size_t, I>{}), ...);
    return out;
}

template <class V>
std::string debug_variant(const V& v) {
    return std::string(kVariantNames[v.index()]) + "(" + std::visit([](const auto& r) { return r.debug(); }, v) + ")";
}

}  // namespace

Status Call::write_entries(bson::Writer& w) const {
    w.add_string("method", to_string(method()));
    return std::visit([&](const auto& r) { return r.write(w, "params"); }, v);
}

BsonResult<Call> Call::from_params(Method m, const bson::Value& params) {
    if (!is_call(m))
        return fail(bson::Error::decode(std::string(to_string(m)) + " is a notification and cannot carry an id"));
    static const bson::Value kEmpty{bson::Document()};
    const bson::Value& p = params.is_null() ? kEmpty : params;
    auto r = read_alternative<Variant>(static_cast<size_t>(m), p, std::make_index_sequence<std::variant_size_v<Variant>>{});
    if (!r) return fail(bson::wrap(std::string(to_string(m)) + " params: ", r.error()));
    return Call{std::move(r).value()};
}

std::string Call::debug() const { return debug_variant(v); }

std::optional<Method> Response::method() const {
    if (error()) return std::nullopt;
    return static_cast<Method>(v.index());
}

Status Response::write_entries(bson::Writer& w) const {
    if (const auto* e = error()) return e->write(w, "error");
    w.add_string("method", to_string(*method()));
    return std::visit(
        [&](const auto& r) -> Status {
            if constexpr (std::is_same_v<std::decay_t<decltype(r)>, Error>)
                return {};
            else
                return r.write(w, "result");
        },
        v);
}

BsonResult<Response> call::typed_result(Method m, const bson::Value& result) {
    if (!is_call(m))
        return fail(bson::Error::decode(std::string(to_string(m)) + " is a notification and is not answered"));
    // The last alternative, Error, is never chosen by a method.
    auto r = read_alternative<Response::Variant>(static_cast<size_t>(m), result, std::make_index_sequence<9>{});
    if (!r) return fail(bson::wrap(std::string(to_string(m)) + " result: ", r.error()));
    return Response{std::move(r).value()};
}

namespace {

BsonResult<Response> visit_members(std::optional<Method> m, const bson::Value* result, const bson::Value* error) {
    // The error is read as soon as it is met, so a malformed one is what
    // gets reported, before "both a result and an error".
    std::optional<Error> err;
    if (error) {
        HALVO_TRY(err, Error::read(*error));
    }
    if (result && err) return fail(bson::Error::decode("both a result and an error"));
    if (!result && !err) return fail(bson::Error::decode("neither a result nor an error"));
    if (err) return Response{std::move(*err)};
    if (!m) return fail(bson::Error::decode("a result needs the method it answers"));
    return call::typed_result(*m, *result);
}

}  // namespace

BsonResult<Response> Response::from_members(std::optional<Method> m, const bson::Value* result,
                                            const bson::Value* error) {
    auto r = visit_members(m, result, error);
    if (!r) return fail(bson::wrap("", r.error()));
    return r;
}

std::string Response::debug() const { return debug_variant(v); }

}  // namespace halvo::protocol::message

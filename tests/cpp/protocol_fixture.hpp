#pragma once
// Terse BSON documents for the protocol tests. Entries are kept exactly as
// given, repeats included, so a test can write what a peer might send.
#include <string>
#include <utility>

#include "bson/reader.hpp"
#include "bson/writer.hpp"
#include "protocol/message/message.hpp"

namespace halvo::fixture {

inline bson::Value doc(std::initializer_list<std::pair<std::string, bson::Value>> items) {
    bson::Document d;
    for (const auto& [k, v] : items) d.entries().push_back(bson::Entry{k, v});
    return d;
}
inline bson::Value arr(std::initializer_list<bson::Value> items) { return bson::Array(std::vector<bson::Value>(items)); }
inline bson::Value i64(int64_t v) { return v; }
inline bson::Value bin(std::string bytes, uint8_t subtype = 0) { return bson::Binary{subtype, std::move(bytes)}; }

inline std::string bytes_of(const bson::Value& d) { return bson::write_document(*d.get<bson::Document>()); }

// The value as a message document would carry it: written, then read back
// (so repeated keys are merged as the reader merges them).
inline bson::Value as_read(const bson::Value& v) {
    auto d = bson::read_document(bytes_of(doc({{"v", v}})));
    return d->find("v") ? *d->find("v") : bson::Value();
}

// The outcome's display text, or "ok".
template <class R>
std::string outcome(const R& r) {
    return r ? std::string("ok") : r.error().display();
}

inline protocol::message::Message::Request request(uint64_t id, protocol::message::Call::Variant call) {
    return {id, protocol::message::Call{std::move(call)}};
}

}  // namespace halvo::fixture

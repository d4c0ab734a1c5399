#include "protocol/message/call/version.hpp"

#include "codec/record.hpp"

namespace halvo::protocol::message::call {

using bson::BsonResult;
using bson::Status;

Status VersionResp::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    w.add_string("version", version);
    w.end();
    return {};
}

BsonResult<VersionResp> VersionResp::read(const bson::Value& v) {
    static constexpr codec::Field fields[] = {{"version", true}};
    VersionResp r;
    HALVO_CHECK(codec::read_record(v, "VersionResp", fields,
                                   [&](size_t, const bson::Value& x) { return codec::decode(x, r.version); }));
    return r;
}

std::string VersionResp::debug() const {
    return codec::DebugStruct("VersionResp").field("version", codec::show(version)).finish();
}

}  // namespace halvo::protocol::message::call

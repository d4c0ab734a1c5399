#include "protocol/message/call/snapshot.hpp"

#include "codec/record.hpp"

namespace halvo::protocol::message::call {

using bson::BsonResult;
using bson::Status;

Status SnapshotResp::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    codec::encode(w, "blob", blob);
    w.end();
    return {};
}

BsonResult<SnapshotResp> SnapshotResp::read(const bson::Value& v) {
    static constexpr codec::Field fields[] = {{"blob", true}};
    SnapshotResp r;
    HALVO_CHECK(codec::read_record(v, "SnapshotResp", fields,
                                   [&](size_t, const bson::Value& x) { return codec::decode(x, r.blob); }));
    return r;
}

std::string SnapshotResp::debug() const {
    return codec::DebugStruct("SnapshotResp").field("blob", codec::show(blob)).finish();
}

}  // namespace halvo::protocol::message::call

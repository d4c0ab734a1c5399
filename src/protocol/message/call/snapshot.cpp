#include "protocol/message/call/snapshot.hpp"

#include "protocol/message/utils/record.hpp"

namespace halvo::protocol::message::call {

using bson::BsonResult;
using bson::Status;

Status SnapshotResp::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    utils::encode(w, "blob", blob);
    w.end();
    return {};
}

BsonResult<SnapshotResp> SnapshotResp::read(const bson::Value& v) {
    static constexpr utils::Field fields[] = {{"blob", true}};
    SnapshotResp r;
    HALVO_CHECK(utils::read_record(v, "SnapshotResp", fields,
                                   [&](size_t, const bson::Value& x) { return utils::decode(x, r.blob); }));
    return r;
}

std::string SnapshotResp::debug() const {
    return utils::DebugStruct("SnapshotResp").field("blob", utils::show(blob)).finish();
}

}  // namespace halvo::protocol::message::call

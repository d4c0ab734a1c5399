#pragma once
// The snapshot call: no params; the snapshot blob.
#include <string>
#include <string_view>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"
#include "protocol/message/utils/record.hpp"
#include "protocol/message/utils/bytes.hpp"

namespace halvo::protocol::message::call {

struct SnapshotCall : utils::EmptyRecord<SnapshotCall> {
    static constexpr std::string_view kName = "SnapshotCall";
};

struct SnapshotResp {
    utils::Bytes blob;

    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<SnapshotResp> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const SnapshotResp&) const = default;
};

}  // namespace halvo::protocol::message::call

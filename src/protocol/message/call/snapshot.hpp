#pragma once
// The snapshot call: no params; the snapshot blob.
#include <string>
#include <string_view>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"
#include "codec/record.hpp"
#include "codec/bytes.hpp"

namespace halvo::protocol::message::call {

struct SnapshotCall : codec::EmptyRecord<SnapshotCall> {
    static constexpr std::string_view kName = "SnapshotCall";
};

struct SnapshotResp {
    codec::Bytes blob;

    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<SnapshotResp> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const SnapshotResp&) const = default;
};

}  // namespace halvo::protocol::message::call

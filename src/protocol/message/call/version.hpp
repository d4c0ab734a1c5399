#pragma once
// The version call: no params; the server's version.
#include <string>
#include <string_view>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"
#include "codec/record.hpp"

namespace halvo::protocol::message::call {

struct VersionCall : codec::EmptyRecord<VersionCall> {
    static constexpr std::string_view kName = "VersionCall";
};

struct VersionResp {
    std::string version;

    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<VersionResp> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const VersionResp&) const = default;
};

}  // namespace halvo::protocol::message::call

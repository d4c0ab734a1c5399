#pragma once
// The version call: no params; the server's version.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"

namespace halvo::protocol::message::call {

struct VersionCall {
    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<VersionCall> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const VersionCall&) const = default;
};

struct VersionResp {
    std::string version;

    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<VersionResp> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const VersionResp&) const = default;
};

}  // namespace halvo::protocol::message::call

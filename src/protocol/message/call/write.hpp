#pragma once
// The write call: bytes to put in a file inside the console; its size after.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"
#include "codec/bytes.hpp"

namespace halvo::protocol::message::call {

struct WriteCall {
    std::string path;
    codec::Bytes data;
    std::optional<uint64_t> offset;

    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<WriteCall> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const WriteCall&) const = default;
};

struct WriteResp {
    uint64_t size = 0;

    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<WriteResp> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const WriteResp&) const = default;
};

}  // namespace halvo::protocol::message::call

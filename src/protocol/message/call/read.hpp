#pragma once
// The read call: a file range inside the console; the bytes read.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"
#include "codec/bytes.hpp"

namespace halvo::protocol::message::call {

struct ReadCall {
    std::string path;
    std::optional<uint64_t> offset;
    std::optional<uint64_t> len;

    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<ReadCall> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const ReadCall&) const = default;
};

struct ReadResp {
    codec::Bytes data;
    uint64_t size = 0;

    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<ReadResp> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const ReadResp&) const = default;
};

}  // namespace halvo::protocol::message::call

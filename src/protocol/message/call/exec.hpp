#pragma once
// The exec call: a command with an optional time limit; its exit code and output.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"
#include "codec/bytes.hpp"

namespace halvo::protocol::message::call {

struct ExecCall {
    std::vector<std::string> cmd;
    std::optional<uint64_t> timeout_ms;

    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<ExecCall> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const ExecCall&) const = default;
};

struct ExecResp {
    int32_t code = 0;
    codec::Bytes stdout_bytes;  // "stdout"
    codec::Bytes stderr_bytes;  // "stderr"
    bool truncated = false;

    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<ExecResp> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const ExecResp&) const = default;
};

}  // namespace halvo::protocol::message::call

#pragma once
// The write call: bytes to put in a file inside the console; its size after.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/record.hpp"

namespace halvo::protocol::message::call {

struct WriteCall {
    std::string path;
    codec::Bytes data;
    std::optional<uint64_t> offset;

    HALVO_RECORD(WriteCall);
};

struct WriteResp {
    uint64_t size = 0;

    HALVO_RECORD(WriteResp);
};

}  // namespace halvo::protocol::message::call

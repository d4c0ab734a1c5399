#pragma once
// The read call: a file range inside the console; the bytes read.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/record.hpp"

namespace halvo::protocol::message::call {

struct ReadCall {
    std::string path;
    std::optional<uint64_t> offset;
    std::optional<uint64_t> len;

    HALVO_RECORD(ReadCall);
};

struct ReadResp {
    codec::Bytes data;
    uint64_t size = 0;

    HALVO_RECORD(ReadResp);
};

}  // namespace halvo::protocol::message::call

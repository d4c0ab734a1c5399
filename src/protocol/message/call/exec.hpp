#pragma once
// The exec call: a command with an optional time limit; its exit code and output.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/record.hpp"

namespace halvo::protocol::message::call {

struct ExecCall {
    std::vector<std::string> cmd;
    std::optional<uint64_t> timeout_ms;

    HALVO_RECORD(ExecCall);
};

struct ExecResp {
    int32_t code = 0;
    codec::Bytes stdout_bytes;  // "stdout"
    codec::Bytes stderr_bytes;  // "stderr"
    bool truncated = false;

    HALVO_RECORD(ExecResp);
};

}  // namespace halvo::protocol::message::call

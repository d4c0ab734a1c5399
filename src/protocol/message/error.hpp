#pragma once
// The protocol error record that an error response carries.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bson/value.hpp"
#include "codec/record.hpp"

namespace halvo::protocol::message {

struct Error {
    int64_t code = 0;
    std::string message;
    std::optional<bson::Value> data;  // absent unless the server sent one

    static Error make(int64_t code, std::string message) { return Error{code, std::move(message), std::nullopt}; }
    // "{} ({})": the message, then the code.
    std::string text() const;

    HALVO_RECORD(Error);
};

// The code of a refusal that has none of its own: an answer of the wrong
// kind, or a ConsoleRefused a script made.
inline constexpr int64_t kInternalError = -32603;

// The codes the server may send, in the order offered to scripts.
struct CodeName {
    const char* name;
    int64_t code;
};
inline constexpr CodeName kErrorCodes[] = {
    {"TIMED_OUT", -32000},         {"NOT_EXECUTABLE", -32001},      {"BOOT_FAILED", -32002},
    {"NOT_FOUND", -32005},         {"IS_A_DIRECTORY", -32006},      {"IO_FAILED", -32007},
    {"UNSUPPORTED_MOUNT", -32008}, {"MOUNT_FAILED", -32009},        {"UNSUPPORTED_NETWORK", -32010},
    {"UNSUPPORTED_IMAGE", -32011}, {"UNKNOWN_IMAGE", -32012},       {"UNSUPPORTED_MACHINE", -32013},
    {"INVALID_REQUEST", -32600},   {"METHOD_NOT_FOUND", -32601},    {"INVALID_PARAMS", -32602},
    {"INTERNAL_ERROR", kInternalError},
};

}  // namespace halvo::protocol::message

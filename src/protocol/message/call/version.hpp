#pragma once
// The version call: no params; the server's version.
#include <string>
#include <string_view>

#include "codec/record.hpp"

namespace halvo::protocol::message::call {

struct VersionCall {
    HALVO_RECORD(VersionCall);
};

struct VersionResp {
    std::string version;

    HALVO_RECORD(VersionResp);
};

}  // namespace halvo::protocol::message::call

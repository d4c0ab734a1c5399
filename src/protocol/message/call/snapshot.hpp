#pragma once
// The snapshot call: no params; the snapshot blob.
#include <string>
#include <string_view>

#include "codec/record.hpp"

namespace halvo::protocol::message::call {

struct SnapshotCall {
    HALVO_RECORD(SnapshotCall);
};

struct SnapshotResp {
    codec::Bytes blob;

    HALVO_RECORD(SnapshotResp);
};

}  // namespace halvo::protocol::message::call

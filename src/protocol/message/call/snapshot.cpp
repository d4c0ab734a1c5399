#include "protocol/message/call/snapshot.hpp"

namespace halvo::protocol::message::call {

HALVO_RECORD_TABLE(SnapshotCall)
HALVO_RECORD_TABLE(SnapshotResp, codec::required("blob", &SnapshotResp::blob))

}  // namespace halvo::protocol::message::call

#include "protocol/message/call/version.hpp"

namespace halvo::protocol::message::call {

HALVO_RECORD_TABLE(VersionCall)
HALVO_RECORD_TABLE(VersionResp, codec::required("version", &VersionResp::version))

}  // namespace halvo::protocol::message::call

#include "protocol/message/call/write.hpp"

namespace halvo::protocol::message::call {

HALVO_RECORD_TABLE(WriteCall,
                   codec::required("path", &WriteCall::path),
                   codec::optional("data", &WriteCall::data),
                   codec::optional("offset", &WriteCall::offset))

HALVO_RECORD_TABLE(WriteResp, codec::required("size", &WriteResp::size))

}  // namespace halvo::protocol::message::call

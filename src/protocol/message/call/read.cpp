#include "protocol/message/call/read.hpp"

namespace halvo::protocol::message::call {

HALVO_RECORD_TABLE(ReadCall,
                   codec::required("path", &ReadCall::path),
                   codec::optional("offset", &ReadCall::offset),
                   codec::optional("len", &ReadCall::len))

HALVO_RECORD_TABLE(ReadResp, codec::required("data", &ReadResp::data), codec::required("size", &ReadResp::size))

}  // namespace halvo::protocol::message::call

#include "protocol/message/call/exec.hpp"

namespace halvo::protocol::message::call {

HALVO_RECORD_TABLE(ExecCall,
                   codec::required("cmd", &ExecCall::cmd),
                   codec::optional("timeout_ms", &ExecCall::timeout_ms))

HALVO_RECORD_TABLE(ExecResp,
                   codec::required("code", &ExecResp::code),
                   codec::required("stdout", &ExecResp::stdout_bytes),
                   codec::required("stderr", &ExecResp::stderr_bytes),
                   codec::defaulted("truncated", &ExecResp::truncated))

}  // namespace halvo::protocol::message::call

#include "protocol/message/error.hpp"

namespace halvo::protocol::message {

std::string Error::text() const { return message + " (" + std::to_string(code) + ")"; }

HALVO_RECORD_TABLE(Error,
                   codec::required("code", &Error::code),
                   codec::required("message", &Error::message),
                   codec::optional("data", &Error::data))

}  // namespace halvo::protocol::message

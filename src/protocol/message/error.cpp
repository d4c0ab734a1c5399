#include "protocol/message/error.hpp"

namespace halvo::protocol::message {

std::string Error::text() const { return message + " (" + std::to_string(code) + ")"; }

}  // namespace halvo::protocol::message

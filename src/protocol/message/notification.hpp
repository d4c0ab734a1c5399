#pragma once
// The notifications this side sends: no id, no params, no answer.
#include <cstdint>
#include <string>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "protocol/message/method.hpp"

namespace halvo::protocol::message {

enum class Notification : uint8_t { Start, Stop, Quit };

Method method_of(Notification n);
// "Start", "Stop", "Quit"
std::string debug(Notification n);
// The params are dropped unread; a call method fails, as it needs an id.
bson::BsonResult<Notification> notification_from_params(Method m, const bson::Value& params);

}  // namespace halvo::protocol::message

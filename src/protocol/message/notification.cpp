#include "protocol/message/notification.hpp"

namespace halvo::protocol::message {

Method method_of(Notification n) {
    return static_cast<Method>(static_cast<uint8_t>(Method::Start) + static_cast<uint8_t>(n));
}

std::string debug(Notification n) {
    switch (n) {
        case Notification::Start: return "Start";
        case Notification::Stop: return "Stop";
        case Notification::Quit: return "Quit";
    }
    return {};
}

bson::BsonResult<Notification> notification_from_params(Method m, const bson::Value&) {
    if (is_call(m))
        return fail(bson::Error::decode(std::string(to_string(m)) + " is a request and needs an id"));
    return static_cast<Notification>(static_cast<uint8_t>(m) - static_cast<uint8_t>(Method::Start));
}

}  // namespace halvo::protocol::message

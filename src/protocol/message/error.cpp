#include "protocol/message/error.hpp"

#include "protocol/message/utils/record.hpp"

namespace halvo::protocol::message {

std::string Error::text() const { return message + " (" + std::to_string(code) + ")"; }

std::string Error::debug() const {
    return utils::DebugStruct("Error")
        .field("code", std::to_string(code))
        .field("message", utils::show(message))
        .field("data", data ? "Some(" + bson::debug(*data) + ")" : "None")
        .finish();
}

void Error::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    w.add_int64("code", code);
    w.add_string("message", message);
    if (data) w.add_value("data", *data);
    w.end();
}

bson::BsonResult<Error> Error::read(const bson::Value& v) {
    static constexpr utils::Field fields[] = {{"code", true}, {"message", true}, {"data", false}};
    Error e;
    HALVO_CHECK(utils::read_record(v, "Error", fields, [&](size_t i, const bson::Value& x) -> bson::Status {
        switch (i) {
            case 0: return utils::decode(x, e.code);
            case 1: return utils::decode(x, e.message);
            default:
                if (x.is_null())
                    e.data.reset();
                else
                    e.data = x;
                return {};
        }
    }));
    return e;
}

}  // namespace halvo::protocol::message

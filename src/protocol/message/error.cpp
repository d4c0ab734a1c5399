#include "protocol/message/error.hpp"

#include "codec/record.hpp"

namespace halvo::protocol::message {

std::string Error::text() const { return message + " (" + std::to_string(code) + ")"; }

std::string Error::debug() const {
    return codec::DebugStruct("Error")
        .field("code", std::to_string(code))
        .field("message", codec::show(message))
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
    static constexpr codec::Field fields[] = {{"code", true}, {"message", true}, {"data", false}};
    Error e;
    HALVO_CHECK(codec::read_record(v, "Error", fields, [&](size_t i, const bson::Value& x) -> bson::Status {
        switch (i) {
            case 0: return codec::decode(x, e.code);
            case 1: return codec::decode(x, e.message);
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

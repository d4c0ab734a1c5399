#include "protocol/message/call/remove_image.hpp"

#include "codec/record.hpp"

namespace halvo::protocol::message::call {

using bson::BsonResult;
using bson::Status;

Status RemoveImageCall::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    HALVO_CHECK(image.write(w, "image"));
    w.end();
    return {};
}

BsonResult<RemoveImageCall> RemoveImageCall::read(const bson::Value& v) {
    static constexpr codec::Field fields[] = {{"image", true}};
    RemoveImageCall c;
    HALVO_CHECK(codec::read_record(v, "RemoveImageCall", fields,
                                   [&](size_t, const bson::Value& x) { return codec::decode(x, c.image); }));
    return c;
}

std::string RemoveImageCall::debug() const {
    return codec::DebugStruct("RemoveImageCall").field("image", image.debug()).finish();
}

}  // namespace halvo::protocol::message::call

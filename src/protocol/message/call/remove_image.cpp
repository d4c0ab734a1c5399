#include "protocol/message/call/remove_image.hpp"

#include "protocol/message/utils/record.hpp"

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
    static constexpr utils::Field fields[] = {{"image", true}};
    RemoveImageCall c;
    HALVO_CHECK(utils::read_record(v, "RemoveImageCall", fields,
                                   [&](size_t, const bson::Value& x) { return utils::decode(x, c.image); }));
    return c;
}

std::string RemoveImageCall::debug() const {
    return utils::DebugStruct("RemoveImageCall").field("image", image.debug()).finish();
}

}  // namespace halvo::protocol::message::call

#include "protocol/message/call/list_images.hpp"

#include "protocol/message/utils/record.hpp"

namespace halvo::protocol::message::call {

using bson::BsonResult;
using bson::Status;

bson::Status ListImagesCall::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    w.end();
    return {};
}

bson::BsonResult<ListImagesCall> ListImagesCall::read(const bson::Value& v) {
    HALVO_CHECK(utils::read_record(v, "ListImagesCall", {}, {}));
    return ListImagesCall{};
}

std::string ListImagesCall::debug() const { return "ListImagesCall"; }

}  // namespace halvo::protocol::message::call

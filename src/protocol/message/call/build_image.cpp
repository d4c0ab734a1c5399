#include "protocol/message/call/build_image.hpp"

#include "protocol/message/utils/record.hpp"

namespace halvo::protocol::message::call {

using bson::BsonResult;
using bson::Status;

Status BuildImageCall::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    HALVO_CHECK(recipe.write(w, "recipe"));
    if (reference) w.add_string("ref", *reference);
    w.end();
    return {};
}

BsonResult<BuildImageCall> BuildImageCall::read(const bson::Value& v) {
    static constexpr utils::Field fields[] = {{"recipe", true}, {"ref", false}};
    BuildImageCall c;
    HALVO_CHECK(utils::read_record(v, "BuildImageCall", fields, [&](size_t i, const bson::Value& x) -> Status {
        if (i == 1) return utils::decode(x, c.reference);
        // Straight from the params, so steps fail with the texts of this context.
        HALVO_TRY(c.recipe, Recipe::read(x, StepContext::BuildImage));
        return {};
    }));
    return c;
}

std::string BuildImageCall::debug() const {
    return utils::DebugStruct("BuildImageCall")
        .field("recipe", recipe.debug())
        .field("reference", utils::show(reference))
        .finish();
}

Status BuildImageResp::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    w.add_string("ref", reference);
    w.add_string("digest", digest);
    w.end();
    return {};
}

BsonResult<BuildImageResp> BuildImageResp::read(const bson::Value& v) {
    static constexpr utils::Field fields[] = {{"ref", true}, {"digest", true}};
    BuildImageResp r;
    HALVO_CHECK(utils::read_record(v, "BuildImageResp", fields, [&](size_t i, const bson::Value& x) {
        return utils::decode(x, i == 0 ? r.reference : r.digest);
    }));
    return r;
}

std::string BuildImageResp::debug() const {
    return utils::DebugStruct("BuildImageResp")
        .field("reference", utils::show(reference))
        .field("digest", utils::show(digest))
        .finish();
}

}  // namespace halvo::protocol::message::call

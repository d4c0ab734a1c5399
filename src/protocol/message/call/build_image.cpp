#include "protocol/message/call/build_image.hpp"

#include "codec/record.hpp"

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
    static constexpr codec::Field fields[] = {{"recipe", true}, {"ref", false}};
    BuildImageCall c;
    HALVO_CHECK(codec::read_record(v, "BuildImageCall", fields, [&](size_t i, const bson::Value& x) -> Status {
        if (i == 1) return codec::decode(x, c.reference);
        // Straight from the params, so steps fail with the texts of this context.
        HALVO_TRY(c.recipe, Recipe::read(x, StepContext::BuildImage));
        return {};
    }));
    return c;
}

std::string BuildImageCall::debug() const {
    return codec::DebugStruct("BuildImageCall")
        .field("recipe", recipe.debug())
        .field("reference", codec::show(reference))
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
    static constexpr codec::Field fields[] = {{"ref", true}, {"digest", true}};
    BuildImageResp r;
    HALVO_CHECK(codec::read_record(v, "BuildImageResp", fields, [&](size_t i, const bson::Value& x) {
        return codec::decode(x, i == 0 ? r.reference : r.digest);
    }));
    return r;
}

std::string BuildImageResp::debug() const {
    return codec::DebugStruct("BuildImageResp")
        .field("reference", codec::show(reference))
        .field("digest", codec::show(digest))
        .finish();
}

}  // namespace halvo::protocol::message::call

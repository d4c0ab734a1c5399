#pragma once
// The remove-image call: the image to remove; an empty result.
#include <string>
#include <string_view>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"
#include "codec/record.hpp"
#include "image.hpp"

namespace halvo::protocol::message::call {

struct RemoveImageCall {
    ImageSource image;

    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<RemoveImageCall> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const RemoveImageCall&) const = default;
};

struct RemoveImageResp : codec::EmptyRecord<RemoveImageResp> {
    static constexpr std::string_view kName = "RemoveImageResp";
};

}  // namespace halvo::protocol::message::call

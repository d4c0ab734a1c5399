#pragma once
// The build-image call: a recipe and the reference to give the image.
#include <optional>
#include <string>
#include <string_view>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"
#include "image.hpp"

namespace halvo::protocol::message::call {

struct BuildImageCall {
    Recipe recipe;
    std::optional<std::string> reference;  // "ref"

    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<BuildImageCall> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const BuildImageCall&) const = default;
};

struct BuildImageResp {
    std::string reference;  // "ref"
    std::string digest;

    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<BuildImageResp> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const BuildImageResp&) const = default;
};

}  // namespace halvo::protocol::message::call

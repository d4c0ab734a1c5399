#pragma once
// The list-images call: no params; the result is the image list.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"
#include "image.hpp"

namespace halvo::protocol::message::call {

struct ListImagesCall {
    bson::Status write(bson::Writer& w, std::string_view key) const;
    static bson::BsonResult<ListImagesCall> read(const bson::Value& v);
    std::string debug() const;
    bool operator==(const ListImagesCall&) const = default;
};

}  // namespace halvo::protocol::message::call

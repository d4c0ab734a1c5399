#pragma once
// The list-images call: no params; its result is the image list
// (ImageEntries).
#include <string_view>

#include "image.hpp"
#include "codec/record.hpp"

namespace halvo::protocol::message::call {

struct ListImagesCall : codec::EmptyRecord<ListImagesCall> {
    static constexpr std::string_view kName = "ListImagesCall";
};

}  // namespace halvo::protocol::message::call

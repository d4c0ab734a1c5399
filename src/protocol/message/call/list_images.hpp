#pragma once
// The list-images call: no params; its result is the image list
// (ImageEntries).
#include <string_view>

#include "codec/record.hpp"
#include "image/model.hpp"

namespace halvo::protocol::message::call {

struct ListImagesCall {
    HALVO_RECORD(ListImagesCall);
};

}  // namespace halvo::protocol::message::call

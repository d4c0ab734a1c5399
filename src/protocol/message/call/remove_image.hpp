#pragma once
// The remove-image call: the image to remove; an empty result.
#include <string>
#include <string_view>

#include "codec/record.hpp"
#include "image/model.hpp"

namespace halvo::protocol::message::call {

struct RemoveImageCall {
    ImageSource image;

    HALVO_RECORD(RemoveImageCall);
};

struct RemoveImageResp {
    HALVO_RECORD(RemoveImageResp);
};

}  // namespace halvo::protocol::message::call

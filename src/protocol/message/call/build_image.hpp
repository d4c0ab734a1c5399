#pragma once
// The build-image call: a recipe and the reference to give the image.
#include <optional>
#include <string>
#include <string_view>

#include "codec/record.hpp"
#include "image/model.hpp"

namespace halvo::protocol::message::call {

struct BuildImageCall {
    Recipe recipe;
    std::optional<std::string> reference;  // "ref"

    HALVO_RECORD(BuildImageCall);
};

struct BuildImageResp {
    std::string reference;  // "ref"
    std::string digest;

    HALVO_RECORD(BuildImageResp);
};

}  // namespace halvo::protocol::message::call

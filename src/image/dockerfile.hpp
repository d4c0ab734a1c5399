#pragma once
// Translates a one-stage Dockerfile into a recipe: FROM, RUN, COPY, ENV and
// WORKDIR only; anything else is refused with a message naming the line.
#include <string_view>

#include "base/error.hpp"
#include "image/model.hpp"

namespace halvo::inline image::dockerfile {

// `text` is UTF-8. The error is a single-link chain holding the message.
ChainResult<Recipe> translate(std::string_view text);

}  // namespace halvo::image::dockerfile

#include "protocol/message/method.hpp"

namespace halvo::protocol::message {

namespace {
constexpr std::string_view kNames[] = {"version", "build_image", "remove_image", "list_images", "init",  "exec",
                                       "read",    "write",       "snapshot",     "start",       "stop", "quit"};
}

std::string_view to_string(Method m) { return kNames[static_cast<size_t>(m)]; }

std::optional<Method> parse_method(std::string_view text) {
    for (size_t i = 0; i < std::size(kNames); ++i)
        if (kNames[i] == text) return static_cast<Method>(i);
    return std::nullopt;
}

}  // namespace halvo::protocol::message

#pragma once
// The twelve method names: nine calls, always answered, then three
// notifications, never answered.
#include <cstdint>
#include <optional>
#include <string_view>

namespace halvo::protocol::message {

enum class Method : uint8_t {
    Version,
    BuildImage,
    RemoveImage,
    ListImages,
    Init,
    Exec,
    Read,
    Write,
    Snapshot,
    Start,
    Stop,
    Quit,
};

// The wire name.
std::string_view to_string(Method m);
// The whole text, byte for byte and case-sensitively, or none.
std::optional<Method> parse_method(std::string_view text);
inline bool is_call(Method m) { return m <= Method::Snapshot; }

}  // namespace halvo::protocol::message

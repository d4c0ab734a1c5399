// Any text: the translator either refuses it with a message or gives a
// format-1 recipe with a base.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "image/dockerfile.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto r = halvo::dockerfile::translate(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!r) {
        if (r.error().render().empty()) std::abort();
        return 0;
    }
    if (r->version != 1 || r->base.empty()) std::abort();
    for (const auto& step : r->steps) (void)step.text();
    return 0;
}

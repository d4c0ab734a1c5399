// Any bytes, split into reads of any sizes: the frame decoder gives the same
// steps as when the whole stream arrives at once.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/stdio/frame.hpp"

using halvo::protocol::stdio::frame::FrameDecoder;

namespace {

// Every step as text; the read sizes cycle through `chunks`.
std::vector<std::string> steps(const uint8_t* data, size_t size, const std::vector<size_t>& chunks) {
    FrameDecoder d;
    std::vector<std::string> out;
    size_t at = 0, i = 0;
    for (;;) {
        auto step = d.next();
        if (std::holds_alternative<FrameDecoder::NeedMore>(step)) {
            if (at == size) {
                d.end();
                continue;
            }
            auto space = d.space();
            size_t n = std::min({space.size(), chunks[i++ % chunks.size()], size - at});
            std::memcpy(space.data(), data + at, n);
            d.commit(n);
            at += n;
        } else if (auto* body = std::get_if<halvo::Blob>(&step)) {
            out.push_back("frame " + std::string(body->view()));
        } else if (auto* e = std::get_if<halvo::IoError>(&step)) {
            out.push_back("error " + e->text());
            return out;
        } else {
            out.push_back("end");
            return out;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first bytes choose the read sizes; the rest is the stream.
    if (size < 4) return 0;
    std::vector<size_t> chunks;
    for (size_t i = 0; i < 4; ++i) chunks.push_back(1 + data[i] * 37u);
    const auto whole = steps(data + 4, size - 4, {size});
    if (steps(data + 4, size - 4, chunks) != whole) std::abort();
    return 0;
}

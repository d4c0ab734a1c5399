#pragma once
// Feeds a byte stream to a frame decoder in reads of the given sizes (cycled)
// and records every step: "frame <body>", "error <text>" or "end".
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/stdio/frame.hpp"

namespace halvo::test {

inline std::vector<std::string> frame_steps(const char* data, size_t size, const std::vector<size_t>& chunks) {
    using protocol::stdio::frame::FrameDecoder;
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
        } else if (auto* body = std::get_if<protocol::stdio::frame::Body>(&step)) {
            out.push_back("frame " + std::string(body->bytes.view()));
        } else if (auto* e = std::get_if<IoError>(&step)) {
            out.push_back("error " + e->text());
            return out;
        } else {
            out.push_back("end");
            return out;
        }
    }
}

}  // namespace halvo::test

// Any bytes, split into reads of any sizes: the frame decoder gives the same
// steps as when the whole stream arrives at once.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "../tests/cpp/frame_steps.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first bytes choose the read sizes; the rest is the stream.
    if (size < 4) return 0;
    std::vector<size_t> chunks;
    for (size_t i = 0; i < 4; ++i) chunks.push_back(1 + data[i] * 37u);
    const char* stream = reinterpret_cast<const char*>(data) + 4;
    const auto whole = halvo::test::frame_steps(stream, size - 4, {size});
    if (halvo::test::frame_steps(stream, size - 4, chunks) != whole) std::abort();
    return 0;
}

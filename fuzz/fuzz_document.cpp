// Any bytes: the reader either refuses them or gives a document that
// writes and reads back to the same value and the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "bson/reader.hpp"
#include "bson/writer.hpp"

using namespace halvo::bson;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)read_elements(bytes);
    auto doc = read_document(bytes);
    if (!doc) {
        (void)doc.error().display();
        return 0;
    }
    (void)debug(Value(*doc));
    std::string once = write_document(*doc);
    auto again = read_document(once);
    if (!again || !(*again == *doc) || write_document(*again) != once) std::abort();
    return 0;
}

// Any bytes: the reader either refuses them or gives a document that
// writes and reads back to the same value and the same bytes. A binary
// found from the first bytes alone and read apart, its place in the
// document spoilt, reads the same as the document as it stands.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "bson/reader.hpp"
#include "bson/writer.hpp"

using namespace halvo::bson;

namespace {

void read_apart(std::string_view bytes) {
    auto span = find_large_binary(bytes, bytes.size(), 1);
    if (!span) return;
    auto from_head = find_large_binary(bytes.substr(0, span->at), bytes.size(), 1);
    if (!from_head || from_head->at != span->at || from_head->size != span->size) std::abort();
    std::string spoilt(bytes);
    std::memset(spoilt.data() + span->at, 0xEE, span->size);
    const Apart apart{span->at, halvo::Blob(std::string(bytes.substr(span->at, span->size)))};
    auto as_is = read_elements(bytes);
    auto read = read_elements_sharing(halvo::Blob(spoilt), &apart);
    if (bool(as_is) != bool(read)) std::abort();
    if (as_is && *as_is != *read) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)read_elements(bytes);
    read_apart(bytes);
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

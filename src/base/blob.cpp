#include "base/blob.hpp"

namespace halvo::inline base {

namespace {

template <class Bytes>
Blob own(Bytes bytes) {
    if (bytes.empty()) return Blob();
    auto kept = std::make_shared<const Bytes>(std::move(bytes));
    std::string_view view(reinterpret_cast<const char*>(kept->data()), kept->size());
    return Blob(std::move(kept), view);
}

}  // namespace

Blob::Blob(std::string bytes) : Blob(own(std::move(bytes))) {}
Blob::Blob(std::vector<uint8_t> bytes) : Blob(own(std::move(bytes))) {}

}  // namespace halvo::base

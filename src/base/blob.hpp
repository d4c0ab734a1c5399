#pragma once
// Immutable bytes that every copy shares. A copy costs a reference count,
// so a large payload passes from a script's object through a message into a
// frame, or from a frame into a record, without being copied.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace halvo::inline base {

class Blob {
public:
    Blob() = default;
    // Taken over, not copied.
    Blob(std::string bytes);
    Blob(std::vector<uint8_t> bytes);
    Blob(const char* text) : Blob(std::string(text)) {}
    Blob(std::initializer_list<uint8_t> bytes) : Blob(std::vector<uint8_t>(bytes)) {}
    Blob(std::size_t n, uint8_t fill) : Blob(std::vector<uint8_t>(n, fill)) {}
    template <std::input_iterator It>
    Blob(It first, It last) : Blob(std::vector<uint8_t>(first, last)) {}
    // Bytes that `owner` keeps in place for as long as it lives.
    Blob(std::shared_ptr<const void> owner, std::string_view bytes)
        : owner_(std::move(owner)), data_(bytes.data()), size_(bytes.size()) {}

    const char* chars() const { return data_; }
    // What keeps the bytes in place.
    const std::shared_ptr<const void>& owner() const { return owner_; }
    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(data_); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const uint8_t* begin() const { return data(); }
    const uint8_t* end() const { return data() + size_; }
    uint8_t operator[](std::size_t i) const { return data()[i]; }
    std::string_view view() const { return {data_, size_}; }

    // Part of these bytes, sharing them.
    Blob slice(std::size_t at, std::size_t n) const { return Blob(owner_, view().substr(at, n)); }

    bool operator==(const Blob& o) const { return view() == o.view(); }

private:
    std::shared_ptr<const void> owner_;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
};

// Bytes not filled yet, and what keeps them in place; once filled, a Blob
// of that owner shows them.
struct Room {
    std::shared_ptr<const void> owner;
    char* data = nullptr;
};

}  // namespace halvo::base

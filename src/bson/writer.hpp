#pragma once
// The BSON writer. It checks nothing but the one thing BSON cannot hold:
// an unsigned 64-bit number above the int64 range.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bson/error.hpp"
#include "bson/value.hpp"

namespace halvo::bson {

// Builds one document. Inside an array the key given to each add is
// ignored and the element's index is written instead.
class Writer {
public:
    Writer();  // opens the top-level document

    void add_double(std::string_view key, double v);
    void add_string(std::string_view key, std::string_view v);
    void add_bool(std::string_view key, bool v);
    void add_null(std::string_view key);
    void add_int32(std::string_view key, int32_t v);
    void add_int64(std::string_view key, int64_t v);
    void add_binary(std::string_view key, std::string_view bytes, uint8_t subtype = 0);
    // Written as int64; fails above its range.
    Status add_u64(std::string_view key, uint64_t v);
    void add_value(std::string_view key, const Value& v);
    // Every entry of `d` into the open document.
    void add_entries(const Document& d);

    void begin_document(std::string_view key);
    void begin_array(std::string_view key);
    void end();

    // Closes the top-level document and hands out its bytes.
    std::string finish() &&;

private:
    struct Open {
        size_t start;
        bool array;
        size_t count;
    };
    void element(Type t, std::string_view key);
    void put32(int32_t v);
    void put64(int64_t v);
    void begin(Type t, std::string_view key);

    std::string buf_;
    std::vector<Open> open_;
};

// A whole document as bytes.
std::string write_document(const Document& d);

}  // namespace halvo::bson

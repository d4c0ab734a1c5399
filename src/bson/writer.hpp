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

// A document as written, its large binaries not copied in: `own` holds
// every other byte, and each piece's bytes stand at offset `at` of it.
struct Gathered {
    struct Piece {
        std::size_t at;
        Blob bytes;
    };
    std::string own;
    std::vector<Piece> pieces;  // in order of `at`

    std::size_t size() const;
    // Each stretch of the document in order, as f(bytes, whether they
    // are a piece).
    template <class F>
    void each(F&& f) const {
        const std::string_view all = own;
        std::size_t from = 0;
        for (const auto& p : pieces) {
            if (p.at > from) f(all.substr(from, p.at - from), false);
            f(p.bytes.view(), true);
            from = p.at;
        }
        if (from < all.size()) f(all.substr(from), false);
    }
    // The whole document in one string.
    std::string flat() &&;
};

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
    // From kLargeBinary bytes on, `bytes` is kept as a piece, not copied.
    void add_binary(std::string_view key, const Blob& bytes, uint8_t subtype = 0);
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
    Gathered finish_gathered() &&;

private:
    struct Open {
        size_t at;     // of its length, in buf_
        size_t start;  // in the whole document
        bool array;
        size_t count;
    };
    size_t here() const { return buf_.size() + kept_; }
    void element(Type t, std::string_view key);
    void put32(int32_t v);
    void put64(int64_t v);
    void begin(Type t, std::string_view key);

    std::string buf_;
    std::vector<Open> open_;
    std::vector<Gathered::Piece> pieces_;
    size_t kept_ = 0;  // bytes in pieces_
};

// A whole document as bytes.
std::string write_document(const Document& d);

}  // namespace halvo::bson

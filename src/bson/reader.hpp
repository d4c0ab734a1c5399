#pragma once
// The BSON reader: one eager pass that checks every length, terminator and
// UTF-8 text and builds the generic value tree.
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "bson/error.hpp"
#include "bson/value.hpp"

namespace halvo::bson {

// Nesting deeper than this is a decoding error. Real messages nest about 7
// deep; the bound also bounds every recursion over a tree that was read.
inline constexpr int kMaxDepth = 100;

// Exactly one document filling `bytes`, its repeated keys merged.
BsonResult<Document> read_document(std::string_view bytes);

// The same checks, but the top-level elements are kept as they stand,
// repeats included (the envelope reader walks them in order); nested
// documents are merged as usual.
BsonResult<std::vector<Entry>> read_elements(std::string_view bytes);
// A large binary whose payload was put somewhere of its own while the
// document arrived; the document's bytes leave its place unfilled.
struct Apart {
    std::size_t at = 0;  // where the payload starts in the document
    Blob bytes;
};

// The same, but binaries of kLargeBinary bytes or more are parts of
// `bytes`, not copies, and the one `apart` names is its bytes.
BsonResult<std::vector<Entry>> read_elements_sharing(const Blob& bytes, const Apart* apart = nullptr);

// Where a binary of at least `min` bytes starts and how long it is, going by
// the first `head` bytes of a document of `total`: the first element, in
// reading order, that is one, whose header lies within `head` and whose
// payload lies within every document around it. Reading the whole document
// passes the same elements, so it meets that binary at that place or fails
// before it. None when `head` runs out first, or on anything a reader would
// refuse.
struct Span {
    std::size_t at = 0, size = 0;
};
std::optional<Span> find_large_binary(std::string_view head, std::size_t total, std::size_t min);

}  // namespace halvo::bson

#pragma once
// The BSON reader: one eager pass that checks every length, terminator and
// UTF-8 text and builds the generic value tree.
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
// The same, but binaries of kLargeBinary bytes or more are parts of
// `bytes`, not copies.
BsonResult<std::vector<Entry>> read_elements_sharing(const Blob& bytes);

}  // namespace halvo::bson

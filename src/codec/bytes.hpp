#pragma once
// The byte-field codec: written as one generic binary, read from a generic
// binary or an array of integers 0 to 255.
#include <cstdint>
#include <string_view>

#include "base/blob.hpp"
#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"

namespace halvo::codec {

// Shared with the frame they were read from or the object they came from.
using Bytes = Blob;

void write_bytes(bson::Writer& w, std::string_view key, const Bytes& bytes);
// Named "bytes" in type errors.
bson::BsonResult<Bytes> read_bytes(const bson::Value& v);

}  // namespace halvo::codec

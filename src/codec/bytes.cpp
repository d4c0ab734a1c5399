#include "codec/bytes.hpp"

#include "codec/record.hpp"

namespace halvo::codec {

void write_bytes(bson::Writer& w, std::string_view key, const Bytes& bytes) {
    w.add_binary(key, bytes, 0);
}

bson::BsonResult<Bytes> read_bytes(const bson::Value& v) {
    if (const auto* bin = v.get<bson::Binary>()) {
        // Only the generic subtype holds plain bytes; the others read as maps.
        if (bin->subtype != 0) return fail(bson::invalid_type_named("map", "bytes"));
        return bin->bytes;
    }
    if (!v.get<bson::Array>()) return fail(bson::invalid_type(v, "bytes"));
    Bytes out;
    HALVO_CHECK(ByteArray{}.read(v, out));
    return out;
}

}  // namespace halvo::codec

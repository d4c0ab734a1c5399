#include "protocol/message/call/write.hpp"

#include "codec/record.hpp"

namespace halvo::protocol::message::call {

using bson::BsonResult;
using bson::Status;

Status WriteCall::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    codec::encode(w, "path", path);
    if (!data.empty()) codec::encode(w, "data", data);
    if (offset) {
        HALVO_CHECK(codec::encode_u64(w, "offset", *offset));
    }
    w.end();
    return {};
}

BsonResult<WriteCall> WriteCall::read(const bson::Value& v) {
    static constexpr codec::Field fields[] = {{"path", true}, {"data", false}, {"offset", false}};
    WriteCall c;
    HALVO_CHECK(codec::read_record(v, "WriteCall", fields, [&](size_t i, const bson::Value& x) -> Status {
        switch (i) {
            case 0: return codec::decode(x, c.path);
            case 1: return codec::decode(x, c.data);
            default: return codec::decode(x, c.offset);
        }
    }));
    return c;
}

std::string WriteCall::debug() const {
    return codec::DebugStruct("WriteCall")
        .field("path", codec::show(path))
        .field("data", codec::show(data))
        .field("offset", codec::show(offset))
        .finish();
}

Status WriteResp::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    HALVO_CHECK(codec::encode_u64(w, "size", size));
    w.end();
    return {};
}

BsonResult<WriteResp> WriteResp::read(const bson::Value& v) {
    static constexpr codec::Field fields[] = {{"size", true}};
    WriteResp r;
    HALVO_CHECK(codec::read_record(v, "WriteResp", fields,
                                   [&](size_t, const bson::Value& x) { return codec::decode(x, r.size); }));
    return r;
}

std::string WriteResp::debug() const { return codec::DebugStruct("WriteResp").field("size", codec::show(size)).finish(); }

}  // namespace halvo::protocol::message::call

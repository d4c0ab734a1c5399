#include "protocol/message/call/read.hpp"

#include "codec/record.hpp"

namespace halvo::protocol::message::call {

using bson::BsonResult;
using bson::Status;

Status ReadCall::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    codec::encode(w, "path", path);
    if (offset) {
        HALVO_CHECK(codec::encode_u64(w, "offset", *offset));
    }
    if (len) {
        HALVO_CHECK(codec::encode_u64(w, "len", *len));
    }
    w.end();
    return {};
}

BsonResult<ReadCall> ReadCall::read(const bson::Value& v) {
    static constexpr codec::Field fields[] = {{"path", true}, {"offset", false}, {"len", false}};
    ReadCall c;
    HALVO_CHECK(codec::read_record(v, "ReadCall", fields, [&](size_t i, const bson::Value& x) -> Status {
        switch (i) {
            case 0: return codec::decode(x, c.path);
            case 1: return codec::decode(x, c.offset);
            default: return codec::decode(x, c.len);
        }
    }));
    return c;
}

std::string ReadCall::debug() const {
    return codec::DebugStruct("ReadCall")
        .field("path", codec::show(path))
        .field("offset", codec::show(offset))
        .field("len", codec::show(len))
        .finish();
}

Status ReadResp::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    codec::encode(w, "data", data);
    HALVO_CHECK(codec::encode_u64(w, "size", size));
    w.end();
    return {};
}

BsonResult<ReadResp> ReadResp::read(const bson::Value& v) {
    static constexpr codec::Field fields[] = {{"data", true}, {"size", true}};
    ReadResp r;
    HALVO_CHECK(codec::read_record(v, "ReadResp", fields, [&](size_t i, const bson::Value& x) {
        return i == 0 ? codec::decode(x, r.data) : codec::decode(x, r.size);
    }));
    return r;
}

std::string ReadResp::debug() const {
    return codec::DebugStruct("ReadResp").field("data", codec::show(data)).field("size", codec::show(size)).finish();
}

}  // namespace halvo::protocol::message::call

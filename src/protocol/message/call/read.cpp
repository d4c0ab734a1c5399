#include "protocol/message/call/read.hpp"

#include "protocol/message/utils/record.hpp"

namespace halvo::protocol::message::call {

using bson::BsonResult;
using bson::Status;

Status ReadCall::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    utils::encode(w, "path", path);
    if (offset) {
        HALVO_CHECK(utils::encode_u64(w, "offset", *offset));
    }
    if (len) {
        HALVO_CHECK(utils::encode_u64(w, "len", *len));
    }
    w.end();
    return {};
}

BsonResult<ReadCall> ReadCall::read(const bson::Value& v) {
    static constexpr utils::Field fields[] = {{"path", true}, {"offset", false}, {"len", false}};
    ReadCall c;
    HALVO_CHECK(utils::read_record(v, "ReadCall", fields, [&](size_t i, const bson::Value& x) -> Status {
        switch (i) {
            case 0: return utils::decode(x, c.path);
            case 1: return utils::decode(x, c.offset);
            default: return utils::decode(x, c.len);
        }
    }));
    return c;
}

std::string ReadCall::debug() const {
    return utils::DebugStruct("ReadCall")
        .field("path", utils::show(path))
        .field("offset", utils::show(offset))
        .field("len", utils::show(len))
        .finish();
}

Status ReadResp::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    utils::encode(w, "data", data);
    HALVO_CHECK(utils::encode_u64(w, "size", size));
    w.end();
    return {};
}

BsonResult<ReadResp> ReadResp::read(const bson::Value& v) {
    static constexpr utils::Field fields[] = {{"data", true}, {"size", true}};
    ReadResp r;
    HALVO_CHECK(utils::read_record(v, "ReadResp", fields, [&](size_t i, const bson::Value& x) {
        return i == 0 ? utils::decode(x, r.data) : utils::decode(x, r.size);
    }));
    return r;
}

std::string ReadResp::debug() const {
    return utils::DebugStruct("ReadResp").field("data", utils::show(data)).field("size", utils::show(size)).finish();
}

}  // namespace halvo::protocol::message::call

#include "protocol/message/call/write.hpp"

#include "protocol/message/utils/record.hpp"

namespace halvo::protocol::message::call {

using bson::BsonResult;
using bson::Status;

Status WriteCall::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    utils::encode(w, "path", path);
    if (!data.empty()) utils::encode(w, "data", data);
    if (offset) {
        HALVO_CHECK(utils::encode_u64(w, "offset", *offset));
    }
    w.end();
    return {};
}

BsonResult<WriteCall> WriteCall::read(const bson::Value& v) {
    static constexpr utils::Field fields[] = {{"path", true}, {"data", false}, {"offset", false}};
    WriteCall c;
    HALVO_CHECK(utils::read_record(v, "WriteCall", fields, [&](size_t i, const bson::Value& x) -> Status {
        switch (i) {
            case 0: return utils::decode(x, c.path);
            case 1: return utils::decode(x, c.data);
            default: return utils::decode(x, c.offset);
        }
    }));
    return c;
}

std::string WriteCall::debug() const {
    return utils::DebugStruct("WriteCall")
        .field("path", utils::show(path))
        .field("data", utils::show(data))
        .field("offset", utils::show(offset))
        .finish();
}

Status WriteResp::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    HALVO_CHECK(utils::encode_u64(w, "size", size));
    w.end();
    return {};
}

BsonResult<WriteResp> WriteResp::read(const bson::Value& v) {
    static constexpr utils::Field fields[] = {{"size", true}};
    WriteResp r;
    HALVO_CHECK(utils::read_record(v, "WriteResp", fields,
                                   [&](size_t, const bson::Value& x) { return utils::decode(x, r.size); }));
    return r;
}

std::string WriteResp::debug() const { return utils::DebugStruct("WriteResp").field("size", utils::show(size)).finish(); }

}  // namespace halvo::protocol::message::call

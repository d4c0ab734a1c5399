#include "protocol/message/call/exec.hpp"

#include "codec/record.hpp"

namespace halvo::protocol::message::call {

using bson::BsonResult;
using bson::Status;

Status ExecCall::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    codec::encode(w, "cmd", cmd);
    if (timeout_ms) {
        HALVO_CHECK(codec::encode_u64(w, "timeout_ms", *timeout_ms));
    }
    w.end();
    return {};
}

BsonResult<ExecCall> ExecCall::read(const bson::Value& v) {
    static constexpr codec::Field fields[] = {{"cmd", true}, {"timeout_ms", false}};
    ExecCall c;
    HALVO_CHECK(codec::read_record(v, "ExecCall", fields, [&](size_t i, const bson::Value& x) {
        return i == 0 ? codec::decode(x, c.cmd) : codec::decode(x, c.timeout_ms);
    }));
    return c;
}

std::string ExecCall::debug() const {
    return codec::DebugStruct("ExecCall")
        .field("cmd", codec::show(cmd))
        .field("timeout_ms", codec::show(timeout_ms))
        .finish();
}

Status ExecResp::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    codec::encode(w, "code", code);
    codec::encode(w, "stdout", stdout_bytes);
    codec::encode(w, "stderr", stderr_bytes);
    codec::encode(w, "truncated", truncated);
    w.end();
    return {};
}

BsonResult<ExecResp> ExecResp::read(const bson::Value& v) {
    static constexpr codec::Field fields[] = {
        {"code", true}, {"stdout", true}, {"stderr", true}, {"truncated", false}};
    ExecResp r;
    HALVO_CHECK(codec::read_record(v, "ExecResp", fields, [&](size_t i, const bson::Value& x) -> Status {
        switch (i) {
            case 0: return codec::decode(x, r.code);
            case 1: return codec::decode(x, r.stdout_bytes);
            case 2: return codec::decode(x, r.stderr_bytes);
            default: return codec::decode(x, r.truncated);
        }
    }));
    return r;
}

std::string ExecResp::debug() const {
    return codec::DebugStruct("ExecResp")
        .field("code", codec::show(code))
        .field("stdout", codec::show(stdout_bytes))
        .field("stderr", codec::show(stderr_bytes))
        .field("truncated", codec::show(truncated))
        .finish();
}

}  // namespace halvo::protocol::message::call

#include "protocol/message/call/exec.hpp"

#include "protocol/message/utils/record.hpp"

namespace halvo::protocol::message::call {

using bson::BsonResult;
using bson::Status;

Status ExecCall::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    utils::encode(w, "cmd", cmd);
    if (timeout_ms) {
        HALVO_CHECK(utils::encode_u64(w, "timeout_ms", *timeout_ms));
    }
    w.end();
    return {};
}

BsonResult<ExecCall> ExecCall::read(const bson::Value& v) {
    static constexpr utils::Field fields[] = {{"cmd", true}, {"timeout_ms", false}};
    ExecCall c;
    HALVO_CHECK(utils::read_record(v, "ExecCall", fields, [&](size_t i, const bson::Value& x) {
        return i == 0 ? utils::decode(x, c.cmd) : utils::decode(x, c.timeout_ms);
    }));
    return c;
}

std::string ExecCall::debug() const {
    return utils::DebugStruct("ExecCall")
        .field("cmd", utils::show(cmd))
        .field("timeout_ms", utils::show(timeout_ms))
        .finish();
}

Status ExecResp::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    utils::encode(w, "code", code);
    utils::encode(w, "stdout", stdout_bytes);
    utils::encode(w, "stderr", stderr_bytes);
    utils::encode(w, "truncated", truncated);
    w.end();
    return {};
}

BsonResult<ExecResp> ExecResp::read(const bson::Value& v) {
    static constexpr utils::Field fields[] = {
        {"code", true}, {"stdout", true}, {"stderr", true}, {"truncated", false}};
    ExecResp r;
    HALVO_CHECK(utils::read_record(v, "ExecResp", fields, [&](size_t i, const bson::Value& x) -> Status {
        switch (i) {
            case 0: return utils::decode(x, r.code);
            case 1: return utils::decode(x, r.stdout_bytes);
            case 2: return utils::decode(x, r.stderr_bytes);
            default: return utils::decode(x, r.truncated);
        }
    }));
    return r;
}

std::string ExecResp::debug() const {
    return utils::DebugStruct("ExecResp")
        .field("code", utils::show(code))
        .field("stdout", utils::show(stdout_bytes))
        .field("stderr", utils::show(stderr_bytes))
        .field("truncated", utils::show(truncated))
        .finish();
}

}  // namespace halvo::protocol::message::call

#pragma once
// The call a request carries and the result or error a response carries,
// and how the envelope's generic members become them.
#include <optional>
#include <string>
#include <variant>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"
#include "protocol/message/call/build_image.hpp"
#include "protocol/message/call/exec.hpp"
#include "protocol/message/call/init.hpp"
#include "protocol/message/call/list_images.hpp"
#include "protocol/message/call/read.hpp"
#include "protocol/message/call/remove_image.hpp"
#include "protocol/message/call/snapshot.hpp"
#include "protocol/message/call/version.hpp"
#include "protocol/message/call/write.hpp"
#include "protocol/message/error.hpp"
#include "protocol/message/method.hpp"

namespace halvo::protocol::message {

// One alternative per call method, in the order of Method.
struct Call {
    using Variant = std::variant<call::VersionCall, call::BuildImageCall, call::RemoveImageCall, call::ListImagesCall,
                                 call::InitCall, call::ExecCall, call::ReadCall, call::WriteCall, call::SnapshotCall>;
    Variant v;

    Method method() const { return static_cast<Method>(v.index()); }
    // "method" and "params" into the open message document.
    bson::Status write_entries(bson::Writer& w) const;
    // Null params read as an empty document.
    static bson::BsonResult<Call> from_params(Method m, const bson::Value& params);
    // "Exec(ExecCall { ... })"
    std::string debug() const;
    bool operator==(const Call&) const = default;
};

// The nine results in the order of Method, then an error.
struct Response {
    using Variant = std::variant<call::VersionResp, call::BuildImageResp, call::RemoveImageResp, ImageEntries,
                                 call::InitResp, call::ExecResp, call::ReadResp, call::WriteResp, call::SnapshotResp,
                                 Error>;
    Variant v;

    const Error* error() const { return std::get_if<Error>(&v); }
    // The method a result answers; none for an error.
    std::optional<Method> method() const;
    // "method" and "result", or "error" alone, into the open message document.
    bson::Status write_entries(bson::Writer& w) const;
    // The members present in a response: the error is read first, then
    // the result by the response's own method.
    static bson::BsonResult<Response> from_members(std::optional<Method> m, const bson::Value* result,
                                                   const bson::Value* error);
    std::string debug() const;
    bool operator==(const Response&) const = default;
};

namespace call {
// The result value read by the record of `m`.
bson::BsonResult<Response> typed_result(Method m, const bson::Value& result);
}

}  // namespace halvo::protocol::message

#pragma once
// One protocol message: a request, a notification or a response in the
// shape of JSON-RPC 2.0, as one BSON document.
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "base/blob.hpp"
#include "bson/error.hpp"
#include "bson/reader.hpp"
#include "bson/writer.hpp"
#include "protocol/message/call.hpp"
#include "protocol/message/notification.hpp"

namespace halvo::protocol::message {

struct Message {
    struct Request {
        uint64_t id = 0;
        Call call;
        bool operator==(const Request&) const = default;
    };
    struct Response {
        uint64_t id = 0;
        message::Response result;
        bool operator==(const Response&) const = default;
    };
    std::variant<Request, Notification, Response> v;

    // The document's bytes. Fails only through the writer: an id or a
    // number at or above 2^63, or a copy source that is not UTF-8.
    bson::BsonResult<std::string> write() const;
    // The same, large binaries left as pieces for a gathered write.
    bson::BsonResult<bson::Gathered> write_gathered() const;
    // Exactly one document (without any frame around it).
    static bson::BsonResult<Message> read(std::string_view bytes);
    // The same, large binaries sharing `bytes` rather than copied, or, for
    // the one `apart` names, its own bytes.
    static bson::BsonResult<Message> read_sharing(const Blob& bytes, const bson::Apart* apart = nullptr);
    // Starts with the variant name.
    std::string debug() const;
    bool operator==(const Message&) const = default;
};

}  // namespace halvo::protocol::message

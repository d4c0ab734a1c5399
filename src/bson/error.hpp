#pragma once
// The error of the BSON reader and writer, and the message texts the
// readers of records build it from.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.hpp"

namespace halvo::bson {

class Value;

struct Error {
    enum class Kind {
        Deserialization,   // every decoding failure
        UnsignedTooLarge,  // a u64 above the int64 range, on writing
        Serialization,     // a value the writer cannot represent
    };

    Kind kind = Kind::Deserialization;
    uint64_t number = 0;  // the value that did not fit, for UnsignedTooLarge
    std::optional<std::string> key;
    std::optional<size_t> index;
    std::optional<std::string> message;

    static Error decode(std::string message) {
        Error e;
        e.message = std::move(message);
        return e;
    }
    static Error too_large(uint64_t value) {
        Error e;
        e.kind = Kind::UnsignedTooLarge;
        e.number = value;
        return e;
    }
    static Error serialize(std::string message) {
        Error e;
        e.kind = Kind::Serialization;
        e.message = std::move(message);
        return e;
    }
    Error&& at_key(std::string k) && {
        if (!key && !index) key = std::move(k);
        return std::move(*this);
    }
    Error&& at_index(size_t i) && {
        if (!key && !index) index = i;
        return std::move(*this);
    }

    // The one rendering of every BSON failure:
    // "BSON error[ at key "k"| at array index N]. Kind: K[. Message: M]."
    std::string display() const;
    std::string kind_text() const;
};

template <class T>
using BsonResult = Result<T, Error>;
using Status = Result<void, Error>;

// The message texts of decoding failures.
Error missing_field(std::string_view key);
Error duplicate_field(std::string_view key);
Error invalid_length(size_t length, std::string_view expected);
Error invalid_type(const Value& found, std::string_view expected);
Error invalid_type_named(std::string_view found, std::string_view expected);
Error invalid_value(const Value& found, std::string_view expected);
Error invalid_value_named(std::string_view found, std::string_view expected);
// "unknown variant `{}`, expected one of `a`, `b`"
Error unknown_variant(std::string_view name, std::initializer_list<std::string_view> accepted);
// A failure as the message of a new decoding error, with `prefix` in front.
Error wrap(std::string_view prefix, const Error& inner);

}  // namespace halvo::bson

#include "bson/error.hpp"

#include "bson/value.hpp"
#include "base/quote.hpp"

namespace halvo::bson {

std::string Error::kind_text() const {
    switch (kind) {
        case Kind::Deserialization: return "A deserialization-related error occurred";
        case Kind::UnsignedTooLarge: return "Unsigned integer " + std::to_string(number) + " cannot fit into BSON";
        case Kind::Serialization: return "A serialization-related error occurred";
    }
    return {};
}

std::string Error::display() const {
    std::string out = "BSON error";
    if (key) out += " at key " + quoted(*key);
    if (index) out += " at array index " + std::to_string(*index);
    out += ". Kind: " + kind_text();
    if (message) out += ". Message: " + *message;
    return out + ".";
}

Error missing_field(std::string_view key) { return Error::decode("missing field `" + std::string(key) + "`"); }

Error duplicate_field(std::string_view key) { return Error::decode("duplicate field `" + std::string(key) + "`"); }

Error invalid_length(size_t length, std::string_view expected) {
    return Error::decode("invalid length " + std::to_string(length) + ", expected " + std::string(expected));
}

Error invalid_type_named(std::string_view found, std::string_view expected) {
    return Error::decode("invalid type: " + std::string(found) + ", expected " + std::string(expected));
}

Error invalid_type(const Value& found, std::string_view expected) { return invalid_type_named(describe(found), expected); }

Error invalid_value_named(std::string_view found, std::string_view expected) {
    return Error::decode("invalid value: " + std::string(found) + ", expected " + std::string(expected));
}

Error invalid_value(const Value& found, std::string_view expected) { return invalid_value_named(describe(found), expected); }

Error unknown_variant(std::string_view name, std::initializer_list<std::string_view> accepted) {
    std::string out = "unknown variant `" + std::string(name) + "`, expected one of ";
    bool first = true;
    for (auto a : accepted) {
        if (!first) out += ", ";
        first = false;
        out += "`" + std::string(a) + "`";
    }
    return Error::decode(std::move(out));
}

Error wrap(std::string_view prefix, const Error& inner) { return Error::decode(std::string(prefix) + inner.display()); }

}  // namespace halvo::bson

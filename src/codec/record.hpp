#pragma once
// The rules every params, result and image record is read, written and
// shown by: field values, the document and positional forms, debug texts.
#include <concepts>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"
#include "codec/bytes.hpp"

namespace halvo::codec {

using bson::BsonResult;
using bson::Status;

// ---- Reading one field value ------------------------------------------------

// A string, or a generic binary holding valid UTF-8.
Status decode(const bson::Value& v, std::string& out);
// A boolean only.
Status decode(const bson::Value& v, bool& out);
// An int32 or int64 within the type's range, named u8, u32, u64, i32, i64.
Status decode(const bson::Value& v, uint8_t& out);
Status decode(const bson::Value& v, uint32_t& out);
Status decode(const bson::Value& v, uint64_t& out);
Status decode(const bson::Value& v, int32_t& out);
Status decode(const bson::Value& v, int64_t& out);
Status decode(const bson::Value& v, Bytes& out);

template <class T>
concept Record = requires(const bson::Value& v) {
    { T::read(v) } -> std::same_as<BsonResult<T>>;
};

template <Record T>
Status decode(const bson::Value& v, T& out) {
    auto r = T::read(v);
    if (!r) return fail(std::move(r).error());
    out = std::move(r).value();
    return {};
}

// An array, each element read as T.
template <class T>
Status decode(const bson::Value& v, std::vector<T>& out) {
    const auto* a = v.get<bson::Array>();
    if (!a) return fail(bson::invalid_type(v, "a sequence"));
    std::vector<T> items;
    items.reserve(a->size());
    for (const auto& item : a->items()) {
        T t{};
        HALVO_CHECK(decode(item, t));
        items.push_back(std::move(t));
    }
    out = std::move(items);
    return {};
}

// Null means absent.
template <class T>
Status decode(const bson::Value& v, std::optional<T>& out) {
    if (v.is_null()) {
        out.reset();
        return {};
    }
    T t{};
    HALVO_CHECK(decode(v, t));
    out = std::move(t);
    return {};
}

// ---- Reading a whole record -------------------------------------------------

struct Field {
    std::string_view key;
    bool required;
};

// Reads the record `name` with these fields from a document (walked in
// order, unknown keys skipped, then the first missing required field in
// table order fails) or an array (by position). `field(i, value)` reads
// field i into the record being built, which holds the defaults.
Status read_record(const bson::Value& v, std::string_view name, std::span<const Field> fields,
                   const std::function<Status(size_t, const bson::Value&)>& field);

// A record without fields: an empty document, read from any document or
// array whatever it holds.
template <class Self>
struct EmptyRecord {
    bson::Status write(bson::Writer& w, std::string_view key) const {
        w.begin_document(key);
        w.end();
        return {};
    }
    static BsonResult<Self> read(const bson::Value& v) {
        HALVO_CHECK(read_record(v, Self::kName, {}, {}));
        return Self{};
    }
    std::string debug() const { return std::string(Self::kName); }
    bool operator==(const EmptyRecord&) const = default;
};

// ---- Writing ---------------------------------------------------------------

void encode(bson::Writer& w, std::string_view key, const std::string& v);
void encode(bson::Writer& w, std::string_view key, bool v);
void encode(bson::Writer& w, std::string_view key, uint8_t v);   // int32
void encode(bson::Writer& w, std::string_view key, uint32_t v);  // int64
void encode(bson::Writer& w, std::string_view key, int32_t v);
void encode(bson::Writer& w, std::string_view key, int64_t v);
void encode(bson::Writer& w, std::string_view key, const std::vector<std::string>& v);
void encode(bson::Writer& w, std::string_view key, const Bytes& v);
// The one integer that may not fit.
Status encode_u64(bson::Writer& w, std::string_view key, uint64_t v);

// ---- Debug texts --------------------------------------------------------

// "Name { a: 1, b: \"x\" }", or the bare name without fields.
class DebugStruct {
public:
    explicit DebugStruct(std::string_view name) : out_(name) {}
    DebugStruct& field(std::string_view name, const std::string& value);
    std::string finish();

private:
    std::string out_;
    bool any_ = false;
};

std::string show(const std::string& v);  // quoted
std::string show(bool v);
std::string show(uint8_t v);
std::string show(uint32_t v);
std::string show(uint64_t v);
std::string show(int32_t v);
std::string show(int64_t v);
std::string show(const Bytes& v);

template <class T>
    requires requires(const T& t) {
        { t.debug() } -> std::same_as<std::string>;
    }
std::string show(const T& v) {
    return v.debug();
}

template <class T>
std::string show(const std::vector<T>& v) {
    std::string out = "[";
    for (size_t i = 0; i < v.size(); ++i) {
        if (i) out += ", ";
        out += show(v[i]);
    }
    return out + "]";
}

template <class T>
std::string show(const std::optional<T>& v) {
    return v ? "Some(" + show(*v) + ")" : "None";
}

}  // namespace halvo::codec

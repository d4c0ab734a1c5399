#include "codec/record.hpp"

#include <cassert>
#include <limits>
#include <type_traits>

#include "quote.hpp"
#include "utf8.hpp"

namespace halvo::codec {

Status decode(const bson::Value& v, std::string& out) {
    if (const auto* s = v.get<std::string>()) {
        out = *s;
        return {};
    }
    if (const auto* b = v.get<bson::Binary>(); b && b->subtype == 0) {
        if (!utf8::valid(b->bytes)) return fail(bson::invalid_value(v, "a string"));
        out = b->bytes;
        return {};
    }
    return fail(bson::invalid_type(v, "a string"));
}

Status decode(const bson::Value& v, bool& out) {
    const auto* b = v.get<bool>();
    if (!b) return fail(bson::invalid_type(v, "a boolean"));
    out = *b;
    return {};
}

namespace {

template <class Int>
Status decode_int(const bson::Value& v, Int& out, std::string_view name) {
    int64_t i;
    if (const auto* a = v.get<int32_t>())
        i = *a;
    else if (const auto* b = v.get<int64_t>())
        i = *b;
    else
        return fail(bson::invalid_type(v, name));
    using L = std::numeric_limits<Int>;
    bool fits;
    if constexpr (std::is_unsigned_v<Int>)
        fits = i >= 0 && static_cast<uint64_t>(i) <= L::max();
    else
        fits = i >= L::min() && i <= L::max();
    if (!fits) return fail(bson::invalid_value(v, name));
    out = static_cast<Int>(i);
    return {};
}

}  // namespace

Status decode(const bson::Value& v, uint8_t& out) { return decode_int(v, out, "u8"); }
Status decode(const bson::Value& v, uint32_t& out) { return decode_int(v, out, "u32"); }
Status decode(const bson::Value& v, uint64_t& out) { return decode_int(v, out, "u64"); }
Status decode(const bson::Value& v, int32_t& out) { return decode_int(v, out, "i32"); }
Status decode(const bson::Value& v, int64_t& out) { return decode_int(v, out, "i64"); }

Status decode(const bson::Value& v, Bytes& out) {
    HALVO_TRY(out, read_bytes(v));
    return {};
}

Status read_record(const bson::Value& v, std::string_view name, std::span<const Field> fields,
                   const std::function<Status(size_t, const bson::Value&)>& field) {
    if (const auto* d = v.get<bson::Document>()) {
        std::vector<bool> seen(fields.size());
        for (const auto& e : d->entries()) {
            for (size_t i = 0; i < fields.size(); ++i) {
                if (fields[i].key != e.key) continue;
                if (seen[i]) return fail(bson::duplicate_field(e.key));
                seen[i] = true;
                HALVO_CHECK(field(i, e.value));
                break;
            }
        }
        for (size_t i = 0; i < fields.size(); ++i)
            if (fields[i].required && !seen[i]) return fail(bson::missing_field(fields[i].key));
        return {};
    }
    if (const auto* a = v.get<bson::Array>()) {
        size_t n = std::min(a->size(), fields.size());
        for (size_t i = 0; i < n; ++i) {
            HALVO_CHECK(field(i, a->items()[i]));
        }
        for (size_t i = n; i < fields.size(); ++i) {
            if (!fields[i].required) continue;
            std::string expected = "struct " + std::string(name) + " with " + std::to_string(fields.size()) +
                                   (fields.size() == 1 ? " element" : " elements");
            return fail(bson::invalid_length(a->size(), expected));
        }
        return {};
    }
    return fail(bson::invalid_type(v, "struct " + std::string(name)));
}

void encode(bson::Writer& w, std::string_view key, const std::string& v) { w.add_string(key, v); }
void encode(bson::Writer& w, std::string_view key, bool v) { w.add_bool(key, v); }
void encode(bson::Writer& w, std::string_view key, uint8_t v) { w.add_int32(key, v); }
void encode(bson::Writer& w, std::string_view key, uint32_t v) { w.add_int64(key, v); }
void encode(bson::Writer& w, std::string_view key, int32_t v) { w.add_int32(key, v); }
void encode(bson::Writer& w, std::string_view key, int64_t v) { w.add_int64(key, v); }

void encode(bson::Writer& w, std::string_view key, const std::vector<std::string>& v) {
    w.begin_array(key);
    for (const auto& s : v) w.add_string({}, s);
    w.end();
}

void encode(bson::Writer& w, std::string_view key, const Bytes& v) { write_bytes(w, key, v); }

Status encode_u64(bson::Writer& w, std::string_view key, uint64_t v) { return w.add_u64(key, v); }

DebugStruct& DebugStruct::field(std::string_view name, const std::string& value) {
    out_ += any_ ? ", " : " { ";
    any_ = true;
    out_ += name;
    out_ += ": ";
    out_ += value;
    return *this;
}

std::string DebugStruct::finish() {
    if (any_) out_ += " }";
    return std::move(out_);
}

std::string show(const std::string& v) { return quoted(v); }
std::string show(bool v) { return v ? "true" : "false"; }
std::string show(uint8_t v) { return std::to_string(v); }
std::string show(uint32_t v) { return std::to_string(v); }
std::string show(uint64_t v) { return std::to_string(v); }
std::string show(int32_t v) { return std::to_string(v); }
std::string show(int64_t v) { return std::to_string(v); }

std::string show(const Bytes& v) {
    std::string out = "[";
    for (size_t i = 0; i < v.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(v[i]);
    }
    return out + "]";
}

}  // namespace halvo::codec

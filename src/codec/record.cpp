#include "codec/record.hpp"

#include <limits>
#include <type_traits>

#include "base/quote.hpp"
#include "base/utf8.hpp"

namespace halvo::codec {

Status decode(const bson::Value& v, std::string& out) {
    if (const auto* s = v.get<std::string>()) {
        out = *s;
        return {};
    }
    if (const auto* b = v.get<bson::Binary>(); b && b->subtype == 0) {
        if (!utf8::valid(b->bytes.view())) return fail(bson::invalid_value(v, "a string"));
        out = b->bytes.view();
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

Status decode(const bson::Value& v, bson::Value& out) {
    out = v;
    return {};
}

// The writer's adds cannot fail, but for an unsigned 64-bit number.
Status encode(bson::Writer& w, std::string_view key, const std::string& v) { w.add_string(key, v); return {}; }
Status encode(bson::Writer& w, std::string_view key, bool v) { w.add_bool(key, v); return {}; }
Status encode(bson::Writer& w, std::string_view key, uint8_t v) { w.add_int32(key, v); return {}; }
Status encode(bson::Writer& w, std::string_view key, uint32_t v) { w.add_int64(key, v); return {}; }
Status encode(bson::Writer& w, std::string_view key, uint64_t v) { return w.add_u64(key, v); }
Status encode(bson::Writer& w, std::string_view key, int32_t v) { w.add_int32(key, v); return {}; }
Status encode(bson::Writer& w, std::string_view key, int64_t v) { w.add_int64(key, v); return {}; }
Status encode(bson::Writer& w, std::string_view key, const Bytes& v) { write_bytes(w, key, v); return {}; }
Status encode(bson::Writer& w, std::string_view key, const bson::Value& v) { w.add_value(key, v); return {}; }

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

std::string show(const Bytes& v) { return ByteArray{}.show(v); }

Status ByteArray::read(const bson::Value& v, Bytes& out) const {
    std::vector<uint8_t> bytes;
    HALVO_CHECK(List<>{}.read(v, bytes));
    out = Bytes(std::move(bytes));
    return {};
}

// The list codec's forms, on a copy: bytes travel this way only in small
// values and debug texts.
Status ByteArray::write(bson::Writer& w, std::string_view key, const Bytes& v) const {
    return List<>{}.write(w, key, std::vector<uint8_t>(v.begin(), v.end()));
}

std::string ByteArray::show(const Bytes& v) const { return List<>{}.show(std::vector<uint8_t>(v.begin(), v.end())); }
std::string show(const bson::Value& v) { return bson::debug(v); }

}  // namespace halvo::codec

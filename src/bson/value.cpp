#include "bson/value.hpp"

#include <charconv>
#include <cstring>

#include "base/quote.hpp"

namespace halvo::bson {

Document::Document() = default;
Document::Document(const Document&) = default;
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(const Document&) = default;
Document& Document::operator=(Document&&) noexcept = default;
Document::~Document() = default;

const Value* Document::find(std::string_view key) const {
    for (const auto& e : entries_)
        if (e.key == key) return &e.value;
    return nullptr;
}

void Document::set(std::string key, Value value) {
    for (auto& e : entries_) {
        if (e.key == key) {
            e.value = std::move(value);
            return;
        }
    }
    entries_.push_back(Entry{std::move(key), std::move(value)});
}

bool Document::operator==(const Document& other) const { return entries_ == other.entries_; }

Array::Array() = default;
Array::Array(std::vector<Value> items) : items_(std::move(items)) {}
Array::Array(const Array&) = default;
Array::Array(Array&&) noexcept = default;
Array& Array::operator=(const Array&) = default;
Array& Array::operator=(Array&&) noexcept = default;
Array::~Array() = default;

bool Array::operator==(const Array& other) const { return items_ == other.items_; }

Type Value::type() const {
    switch (v_.index()) {
        case 0: return Type::Null;
        case 1: return Type::Bool;
        case 2: return Type::Int32;
        case 3: return Type::Int64;
        case 4: return Type::Double;
        case 5: return Type::String;
        case 6: return Type::Binary;
        case 7: return Type::Document;
        case 8: return Type::Array;
        default: return std::get<Raw>(v_).type;
    }
}

bool Value::operator==(const Value& other) const {
    if (const auto* d = get<double>()) {
        const auto* o = other.get<double>();
        return o && std::memcmp(d, o, sizeof *d) == 0;
    }
    return v_ == other.v_;
}

namespace {

std::string number_text(double d) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    std::string s(buf, r.ptr);
    if (s.find_first_of(".eEna") == std::string::npos) s += ".0";
    return s;
}

std::string_view raw_name(Type t) {
    switch (t) {
        case Type::Undefined: return "undefined";
        case Type::ObjectId: return "object id";
        case Type::DateTime: return "datetime";
        case Type::Regex: return "regular expression";
        case Type::DbPointer: return "db pointer";
        case Type::Code: return "javascript code";
        case Type::Symbol: return "symbol";
        case Type::CodeWithScope: return "javascript code with scope";
        case Type::Timestamp: return "timestamp";
        case Type::Decimal128: return "decimal128";
        case Type::MinKey: return "min key";
        case Type::MaxKey: return "max key";
        default: return "value";
    }
}

std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string byte_list(std::string_view bytes) {
    std::string out = "[";
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(static_cast<unsigned char>(bytes[i]));
    }
    return out + "]";
}

}  // namespace

std::string describe(const Value& v) {
    struct V {
        std::string operator()(Null) const { return "null"; }
        std::string operator()(bool b) const { return b ? "boolean `true`" : "boolean `false`"; }
        std::string operator()(int32_t i) const { return "integer `" + std::to_string(i) + "`"; }
        std::string operator()(int64_t i) const { return "integer `" + std::to_string(i) + "`"; }
        std::string operator()(double d) const { return "floating point `" + number_text(d) + "`"; }
        std::string operator()(const std::string& s) const { return "string " + quoted(s); }
        // Only the generic subtype is a plain byte array; the others read as maps.
        std::string operator()(const Binary& b) const { return b.subtype == 0 ? "byte array" : "map"; }
        std::string operator()(const Document&) const { return "map"; }
        std::string operator()(const Array&) const { return "sequence"; }
        std::string operator()(const Raw& r) const { return std::string(raw_name(r.type)); }
    };
    return std::visit(V{}, v.storage());
}

std::string debug(const Value& v) {
    struct V {
        std::string operator()(Null) const { return "Null"; }
        std::string operator()(bool b) const { return b ? "Boolean(true)" : "Boolean(false)"; }
        std::string operator()(int32_t i) const { return "Int32(" + std::to_string(i) + ")"; }
        std::string operator()(int64_t i) const { return "Int64(" + std::to_string(i) + ")"; }
        std::string operator()(double d) const { return "Double(" + number_text(d) + ")"; }
        std::string operator()(const std::string& s) const { return "String(" + quoted(s) + ")"; }
        std::string operator()(const Binary& b) const {
            return "Binary { subtype: " + std::to_string(b.subtype) + ", bytes: " + byte_list(b.bytes.view()) + " }";
        }
        std::string operator()(const Document& d) const {
            std::string out = "Document({";
            for (size_t i = 0; i < d.size(); ++i) {
                if (i) out += ", ";
                out += quoted(d.entries()[i].key) + ": " + debug(d.entries()[i].value);
            }
            return out + "})";
        }
        std::string operator()(const Array& a) const {
            std::string out = "Array([";
            for (size_t i = 0; i < a.size(); ++i) {
                if (i) out += ", ";
                out += debug(a.items()[i]);
            }
            return out + "])";
        }
        std::string operator()(const Raw& r) const {
            return "Raw { type: " + std::string(raw_name(r.type)) + ", bytes: " + hex(r.bytes) + " }";
        }
    };
    return std::visit(V{}, v.storage());
}

}  // namespace halvo::bson

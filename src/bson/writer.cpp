#include "bson/writer.hpp"

#include <cassert>
#include <cstring>
#include <limits>

namespace halvo::bson {

std::size_t Gathered::size() const {
    std::size_t n = own.size();
    for (const auto& p : pieces) n += p.bytes.size();
    return n;
}

std::string Gathered::flat() && {
    if (pieces.empty()) return std::move(own);
    std::string out;
    out.reserve(size());
    each([&](std::string_view part, bool) { out += part; });
    return out;
}

Writer::Writer() {
    open_.push_back(Open{0, 0, false, 0});
    buf_.append(4, '\0');
}

void Writer::put32(int32_t v) {
    auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) buf_ += static_cast<char>((u >> (8 * i)) & 0xFF);
}

void Writer::put64(int64_t v) {
    auto u = static_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i) buf_ += static_cast<char>((u >> (8 * i)) & 0xFF);
}

void Writer::element(Type t, std::string_view key) {
    auto& top = open_.back();
    buf_ += static_cast<char>(t);
    if (top.array)
        buf_ += std::to_string(top.count);
    else
        buf_ += key;
    buf_ += '\0';
    ++top.count;
}

void Writer::add_double(std::string_view key, double v) {
    element(Type::Double, key);
    int64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put64(bits);
}

void Writer::add_string(std::string_view key, std::string_view v) {
    element(Type::String, key);
    put32(static_cast<int32_t>(v.size() + 1));
    buf_ += v;
    buf_ += '\0';
}

void Writer::add_bool(std::string_view key, bool v) {
    element(Type::Bool, key);
    buf_ += static_cast<char>(v ? 1 : 0);
}

void Writer::add_null(std::string_view key) { element(Type::Null, key); }

void Writer::add_int32(std::string_view key, int32_t v) {
    element(Type::Int32, key);
    put32(v);
}

void Writer::add_int64(std::string_view key, int64_t v) {
    element(Type::Int64, key);
    put64(v);
}

void Writer::add_binary(std::string_view key, const Blob& bytes, uint8_t subtype) {
    element(Type::Binary, key);
    put32(static_cast<int32_t>(bytes.size()));
    buf_ += static_cast<char>(subtype);
    if (bytes.size() < kLargeBinary) {
        buf_ += bytes.view();
        return;
    }
    pieces_.push_back(Gathered::Piece{buf_.size(), bytes});
    kept_ += bytes.size();
}

Status Writer::add_u64(std::string_view key, uint64_t v) {
    if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return fail(Error::too_large(v));
    add_int64(key, static_cast<int64_t>(v));
    return {};
}

void Writer::begin(Type t, std::string_view key) {
    element(t, key);
    open_.push_back(Open{buf_.size(), here(), t == Type::Array, 0});
    buf_.append(4, '\0');
}

void Writer::begin_document(std::string_view key) { begin(Type::Document, key); }
void Writer::begin_array(std::string_view key) { begin(Type::Array, key); }

void Writer::end() {
    assert(!open_.empty());
    buf_ += '\0';
    auto len = static_cast<uint32_t>(here() - open_.back().start);
    for (int i = 0; i < 4; ++i) buf_[open_.back().at + i] = static_cast<char>((len >> (8 * i)) & 0xFF);
    open_.pop_back();
}

Gathered Writer::finish_gathered() && {
    assert(open_.size() == 1);
    end();
    return Gathered{std::move(buf_), std::move(pieces_)};
}

std::string Writer::finish() && { return std::move(*this).finish_gathered().flat(); }

void Writer::add_entries(const Document& d) {
    for (const auto& e : d.entries()) add_value(e.key, e.value);
}

void Writer::add_value(std::string_view key, const Value& v) {
    struct V {
        Writer& w;
        std::string_view key;
        void operator()(Null) const { w.add_null(key); }
        void operator()(bool b) const { w.add_bool(key, b); }
        void operator()(int32_t i) const { w.add_int32(key, i); }
        void operator()(int64_t i) const { w.add_int64(key, i); }
        void operator()(double d) const { w.add_double(key, d); }
        void operator()(const std::string& s) const { w.add_string(key, s); }
        void operator()(const Binary& b) const { w.add_binary(key, b.bytes, b.subtype); }
        void operator()(const Document& d) const {
            w.begin_document(key);
            w.add_entries(d);
            w.end();
        }
        void operator()(const Array& a) const {
            w.begin_array(key);
            for (const auto& item : a.items()) w.add_value({}, item);
            w.end();
        }
        void operator()(const Raw& r) const {
            w.element(r.type, key);
            w.buf_ += r.bytes;
        }
    };
    std::visit(V{*this, key}, v.storage());
}

std::string write_document(const Document& d) {
    Writer w;
    w.add_entries(d);
    return std::move(w).finish();
}

}  // namespace halvo::bson

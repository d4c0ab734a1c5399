#include "bson/reader.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "base/utf8.hpp"

namespace halvo::bson {

namespace {

// Keeps each key once, at its first place, with its last value. Small
// documents search linearly; large ones index their keys, so a hostile
// document of many keys stays linear.
class Merger {
public:
    // `key` points into the input, which outlives the merge.
    void add(std::string_view key, Value v) {
        auto& entries = doc_.entries();
        if (keys_.size() < 16) {
            for (size_t i = 0; i < keys_.size(); ++i) {
                if (keys_[i] == key) {
                    entries[i].value = std::move(v);
                    return;
                }
            }
        } else {
            if (index_.empty())
                for (size_t i = 0; i < keys_.size(); ++i) index_.emplace(keys_[i], i);
            auto [it, fresh] = index_.emplace(key, keys_.size());
            if (!fresh) {
                entries[it->second].value = std::move(v);
                return;
            }
        }
        keys_.push_back(key);
        entries.push_back(Entry{std::string(key), std::move(v)});
    }
    Document take() { return std::move(doc_); }

private:
    Document doc_;
    std::vector<std::string_view> keys_;
    std::unordered_map<std::string_view, size_t> index_;
};

int32_t read_le32(std::string_view b, size_t at) {
    uint32_t u = 0;
    for (int i = 3; i >= 0; --i) u = (u << 8) | static_cast<unsigned char>(b[at + i]);
    return static_cast<int32_t>(u);
}

class Parser {
public:
    // Large binaries share `shared`, which holds the bytes of `b`, except
    // the one kept `apart`.
    explicit Parser(std::string_view b, const Blob* shared = nullptr, const Apart* apart = nullptr)
        : b_(b), shared_(shared), apart_(apart) {}

    // Whether the binary kept apart was met where it was said to be.
    bool apart_met() const { return apart_met_; }

    // Walks the document at `pos` that must end within `limit`, calling
    // on(key, position, value) per element; sets `end` past the document.
    template <class On>
    Status walk(size_t pos, size_t limit, int depth, bool array, size_t& end, On&& on) {
        if (depth > kMaxDepth)
            return fail(Error::decode("documents nest deeper than " + std::to_string(kMaxDepth) + " levels"));
        if (limit - pos < 4) return fail(Error::decode("the input ends inside a document's length"));
        int32_t len = le32(pos);
        if (len < 5) return fail(Error::decode("a document cannot be " + std::to_string(len) + " bytes long"));
        if (static_cast<size_t>(len) > limit - pos)
            return fail(Error::decode("a document of " + std::to_string(len) + " bytes runs past the end of its parent"));
        size_t stop = pos + static_cast<size_t>(len) - 1;
        if (b_[stop] != 0) return fail(Error::decode("a document does not end in a NUL byte"));
        size_t q = pos + 4;
        size_t count = 0;
        while (q < stop) {
            auto type = static_cast<uint8_t>(b_[q++]);
            HALVO_TRY(std::string_view key, cstring(q, stop, "a key"));
            auto placed = [&](Error e) { return array ? std::move(e).at_index(count) : std::move(e).at_key(std::string(key)); };
            auto v = value(type, q, stop, depth);
            if (!v) return fail(placed(std::move(v).error()));
            on(key, std::move(v).value());
            ++count;
        }
        end = pos + static_cast<size_t>(len);
        return {};
    }

private:
    int32_t le32(size_t at) const { return read_le32(b_, at); }
    int64_t le64(size_t at) const {
        uint64_t u = 0;
        for (int i = 7; i >= 0; --i) u = (u << 8) | static_cast<unsigned char>(b_[at + i]);
        return static_cast<int64_t>(u);
    }

    static Error past_end() { return Error::decode("an element runs past the end of its document"); }

    BsonResult<std::string_view> cstring(size_t& q, size_t stop, std::string_view what) {
        const void* nul = std::memchr(b_.data() + q, 0, stop - q);
        if (!nul) return fail(Error::decode(std::string(what) + " runs past the end of its document"));
        size_t n = static_cast<const char*>(nul) - (b_.data() + q);
        std::string_view s = b_.substr(q, n);
        if (!utf8::valid(s)) return fail(Error::decode(std::string(what) + " is not valid UTF-8"));
        q += n + 1;
        return s;
    }

    // A length-prefixed string, NUL bytes inside allowed.
    BsonResult<std::string_view> string(size_t& q, size_t stop) {
        if (stop - q < 4) return fail(past_end());
        int32_t len = le32(q);
        if (len < 1) return fail(Error::decode("a string cannot be " + std::to_string(len) + " bytes long"));
        if (static_cast<size_t>(len) > stop - q - 4)
            return fail(Error::decode("a string of " + std::to_string(len) + " bytes runs past the end of its document"));
        std::string_view s = b_.substr(q + 4, static_cast<size_t>(len) - 1);
        if (b_[q + 4 + s.size()] != 0) return fail(Error::decode("a string does not end in a NUL byte"));
        if (!utf8::valid(s)) return fail(Error::decode("a string is not valid UTF-8"));
        q += 4 + static_cast<size_t>(len);
        return s;
    }

    Status fixed(size_t& q, size_t stop, size_t n) {
        if (stop - q < n) return fail(past_end());
        q += n;
        return {};
    }

    BsonResult<Document> document(size_t& q, size_t stop, int depth) {
        Merger m;
        size_t end = 0;
        HALVO_CHECK(walk(q, stop, depth + 1, false, end, [&](std::string_view k, Value v) { m.add(k, std::move(v)); }));
        q = end;
        return m.take();
    }

    BsonResult<Value> value(uint8_t type, size_t& q, size_t stop, int depth) {
        size_t start = q;
        auto raw = [&](Type t) -> BsonResult<Value> { return Value(Raw{t, std::string(b_.substr(start, q - start))}); };
        switch (static_cast<Type>(type)) {
            case Type::Double: {
                HALVO_CHECK(fixed(q, stop, 8));
                double d;
                int64_t bits = le64(start);
                std::memcpy(&d, &bits, sizeof d);
                return Value(d);
            }
            case Type::String: {
                HALVO_TRY(auto s, string(q, stop));
                return Value(std::string(s));
            }
            case Type::Document: {
                HALVO_TRY(auto d, document(q, stop, depth));
                return Value(std::move(d));
            }
            case Type::Array: {
                std::vector<Value> items;
                size_t end = 0;
                // Element keys are not looked at: position is what counts.
                HALVO_CHECK(walk(q, stop, depth + 1, true, end,
                                 [&](std::string_view, Value v) { items.push_back(std::move(v)); }));
                q = end;
                return Value(Array(std::move(items)));
            }
            case Type::Binary: {
                if (stop - q < 5) return fail(past_end());
                int32_t len = le32(q);
                if (len < 0) return fail(Error::decode("a binary cannot be " + std::to_string(len) + " bytes long"));
                if (static_cast<size_t>(len) > stop - q - 5)
                    return fail(Error::decode("a binary of " + std::to_string(len) + " bytes runs past the end of its document"));
                const size_t at = q + 5, n = static_cast<size_t>(len);
                Blob bytes;
                if (apart_ && at == apart_->at && n == apart_->bytes.size()) {
                    bytes = apart_->bytes;
                    apart_met_ = true;
                } else {
                    bytes = shared_ && n >= kLargeBinary ? shared_->slice(at, n) : Blob(std::string(b_.substr(at, n)));
                }
                q = at + n;
                return Value(Binary{static_cast<uint8_t>(b_[at - 1]), std::move(bytes)});
            }
            case Type::Bool: {
                HALVO_CHECK(fixed(q, stop, 1));
                auto c = static_cast<unsigned char>(b_[start]);
                if (c > 1) return fail(Error::decode("a boolean cannot hold the byte " + std::to_string(c)));
                return Value(c == 1);
            }
            case Type::Null: return Value(Null{});
            case Type::Int32: {
                HALVO_CHECK(fixed(q, stop, 4));
                return Value(le32(start));
            }
            case Type::Int64: {
                HALVO_CHECK(fixed(q, stop, 8));
                return Value(le64(start));
            }
            case Type::Undefined:
            case Type::MinKey:
            case Type::MaxKey: return raw(static_cast<Type>(type));
            case Type::ObjectId: {
                HALVO_CHECK(fixed(q, stop, 12));
                return raw(Type::ObjectId);
            }
            case Type::DateTime: {
                HALVO_CHECK(fixed(q, stop, 8));
                return raw(Type::DateTime);
            }
            case Type::Timestamp: {
                HALVO_CHECK(fixed(q, stop, 8));
                return raw(Type::Timestamp);
            }
            case Type::Decimal128: {
                HALVO_CHECK(fixed(q, stop, 16));
                return raw(Type::Decimal128);
            }
            case Type::Regex: {
                HALVO_CHECK(cstring(q, stop, "a regular expression"));
                HALVO_CHECK(cstring(q, stop, "a regular expression's options"));
                return raw(Type::Regex);
            }
            case Type::DbPointer: {
                HALVO_CHECK(string(q, stop));
                HALVO_CHECK(fixed(q, stop, 12));
                return raw(Type::DbPointer);
            }
            case Type::Code:
            case Type::Symbol: {
                HALVO_CHECK(string(q, stop));
                return raw(static_cast<Type>(type));
            }
            case Type::CodeWithScope: {
                if (stop - q < 4) return fail(past_end());
                int32_t len = le32(q);
                if (len < 14 || static_cast<size_t>(len) > stop - q)
                    return fail(Error::decode("code with scope cannot be " + std::to_string(len) + " bytes long"));
                size_t inner_stop = q + static_cast<size_t>(len);
                q += 4;
                HALVO_CHECK(string(q, inner_stop));
                HALVO_CHECK(document(q, inner_stop, depth));
                if (q != inner_stop) return fail(Error::decode("code with scope is longer than its parts"));
                return raw(Type::CodeWithScope);
            }
        }
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%02x", type);
        return fail(Error::decode(std::string("unknown element type ") + buf));
    }

    std::string_view b_;
    const Blob* shared_;
    const Apart* apart_;
    bool apart_met_ = false;
};

// The whole input must be the document: its own length says where it ends.
template <class On>
Status read_top(std::string_view bytes, const Blob* shared, const Apart* apart, On&& on) {
    Parser p(bytes, shared, apart);
    size_t end = 0;
    HALVO_CHECK(p.walk(0, bytes.size(), 1, false, end, on));
    if (end != bytes.size())
        return fail(Error::decode("a document of " + std::to_string(end) + " bytes is followed by " +
                                  std::to_string(bytes.size() - end) + " more"));
    // The place left unfilled was read as something else.
    if (apart && !p.apart_met()) return fail(Error::decode("a binary read apart is not where the document has it"));
    return {};
}

// The reader's walk over a document's first bytes, looking no further
// than each element's length needs; false when it cannot go on.
class Finder {
public:
    Finder(std::string_view head, std::size_t min) : h_(head), min_(min) {}

    bool walk(size_t pos, size_t limit, int depth, size_t& end) {
        if (depth > kMaxDepth || limit - pos < 4 || !have(pos, 4)) return false;
        const int32_t len = le32(pos);
        if (len < 5 || static_cast<size_t>(len) > limit - pos) return false;
        const size_t stop = pos + static_cast<size_t>(len) - 1;
        size_t q = pos + 4;
        while (q < stop) {
            if (!have(q, 1)) return false;
            const auto type = static_cast<Type>(static_cast<uint8_t>(h_[q++]));
            const size_t seen = std::min(stop, h_.size());
            const void* nul = q < seen ? std::memchr(h_.data() + q, 0, seen - q) : nullptr;
            if (!nul) return false;
            q = static_cast<size_t>(static_cast<const char*>(nul) - h_.data()) + 1;
            if (!element(type, q, stop, depth)) return false;
            if (found) return true;
        }
        end = pos + static_cast<size_t>(len);
        return true;
    }

    std::optional<Span> found;

private:
    bool have(size_t at, size_t n) const { return at <= h_.size() && h_.size() - at >= n; }
    int32_t le32(size_t at) const { return read_le32(h_, at); }
    bool skip(size_t& q, size_t stop, size_t n) {
        if (stop - q < n) return false;
        q += n;
        return true;
    }

    bool element(Type type, size_t& q, size_t stop, int depth) {
        switch (type) {
            case Type::Document:
            case Type::Array: {
                size_t end = 0;
                if (!walk(q, stop, depth + 1, end)) return false;
                q = end;
                return true;
            }
            case Type::Binary: {
                if (stop - q < 5 || !have(q, 5)) return false;
                const int32_t len = le32(q);
                if (len < 0 || static_cast<size_t>(len) > stop - q - 5) return false;
                const size_t at = q + 5, n = static_cast<size_t>(len);
                if (n >= min_) found = Span{at, n};
                q = at + n;
                return true;
            }
            case Type::String:
            case Type::Code:
            case Type::Symbol: {
                if (stop - q < 4 || !have(q, 4)) return false;
                const int32_t len = le32(q);
                if (len < 1 || static_cast<size_t>(len) > stop - q - 4) return false;
                q += 4 + static_cast<size_t>(len);
                return true;
            }
            case Type::Double:
            case Type::DateTime:
            case Type::Timestamp:
            case Type::Int64: return skip(q, stop, 8);
            case Type::Int32: return skip(q, stop, 4);
            case Type::Bool: return skip(q, stop, 1);
            case Type::ObjectId: return skip(q, stop, 12);
            case Type::Decimal128: return skip(q, stop, 16);
            case Type::Null:
            case Type::Undefined:
            case Type::MinKey:
            case Type::MaxKey: return true;
            default: return false;  // rare kinds: not worth following
        }
    }

    std::string_view h_;
    std::size_t min_;
};

}  // namespace

BsonResult<Document> read_document(std::string_view bytes) {
    Merger m;
    HALVO_CHECK(read_top(bytes, nullptr, nullptr, [&](std::string_view k, Value v) { m.add(k, std::move(v)); }));
    return m.take();
}

namespace {

BsonResult<std::vector<Entry>> elements(std::string_view bytes, const Blob* shared, const Apart* apart) {
    std::vector<Entry> out;
    HALVO_CHECK(read_top(bytes, shared, apart,
                         [&](std::string_view k, Value v) { out.push_back(Entry{std::string(k), std::move(v)}); }));
    return out;
}

}  // namespace

BsonResult<std::vector<Entry>> read_elements(std::string_view bytes) { return elements(bytes, nullptr, nullptr); }

BsonResult<std::vector<Entry>> read_elements_sharing(const Blob& bytes, const Apart* apart) {
    return elements(bytes.view(), &bytes, apart);
}

std::optional<Span> find_large_binary(std::string_view head, std::size_t total, std::size_t min) {
    Finder f(head.substr(0, std::min(head.size(), total)), min);
    size_t end = 0;
    if (!f.walk(0, total, 1, end)) return std::nullopt;
    return f.found;
}

}  // namespace halvo::bson

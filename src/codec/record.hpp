#pragma once
// The rules every params, result and image record is read, written and
// shown by. A record is declared once, as a table of its fields (key,
// member, whether it may be missing and when it is written, the codec of
// its value); writing, reading from a document or by position, and the
// debug form all walk that one table.
#include <array>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "bson/error.hpp"
#include "bson/value.hpp"
#include "bson/writer.hpp"
#include "codec/bytes.hpp"

namespace halvo::codec {

using bson::BsonResult;
using bson::Status;

// ---- Plain values -----------------------------------------------------------

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
// Any value, as it stands.
Status decode(const bson::Value& v, bson::Value& out);

Status encode(bson::Writer& w, std::string_view key, const std::string& v);
Status encode(bson::Writer& w, std::string_view key, bool v);
Status encode(bson::Writer& w, std::string_view key, uint8_t v);   // int32
Status encode(bson::Writer& w, std::string_view key, uint32_t v);  // int64
// int64: the one value that may not fit.
Status encode(bson::Writer& w, std::string_view key, uint64_t v);
Status encode(bson::Writer& w, std::string_view key, int32_t v);
Status encode(bson::Writer& w, std::string_view key, int64_t v);
Status encode(bson::Writer& w, std::string_view key, const Bytes& v);
Status encode(bson::Writer& w, std::string_view key, const bson::Value& v);

std::string show(const std::string& v);  // quoted
std::string show(bool v);
std::string show(uint8_t v);
std::string show(uint32_t v);
std::string show(uint64_t v);
std::string show(int32_t v);
std::string show(int64_t v);
std::string show(const Bytes& v);
std::string show(const bson::Value& v);

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

// ---- Codecs -----------------------------------------------------------------
// A codec reads a value from a generic value, writes it under a key and
// shows it in debug forms.

template <class T>
concept Readable = requires(const bson::Value& v) {
    { T::read(v) } -> std::same_as<BsonResult<T>>;
};
template <class T>
concept Writable = requires(const T& t, bson::Writer& w) {
    { t.write(w, std::string_view{}) } -> std::same_as<Status>;
};
template <class T>
concept Debuggable = requires(const T& t) {
    { t.debug() } -> std::same_as<std::string>;
};

// A byte string is a value of its own, not a list of numbers.
template <class T>
inline constexpr bool kIsList = false;
template <class T>
inline constexpr bool kIsList<std::vector<T>> = true;

// The codec of a field unless its table names another: the overloads
// above, a record's own reader, writer and debug form, or a list of these.
struct Plain {
    template <class T>
    Status read(const bson::Value& v, T& out) const;
    template <class T>
    Status write(bson::Writer& w, std::string_view key, const T& v) const;
    template <class T>
    std::string show(const T& v) const;
};

// An array, each element by `elem`.
template <class Elem = Plain>
struct List {
    Elem elem{};

    template <class T>
    Status read(const bson::Value& v, std::vector<T>& out) const {
        const auto* a = v.get<bson::Array>();
        if (!a) return fail(bson::invalid_type(v, "a sequence"));
        std::vector<T> items;
        items.reserve(a->size());
        for (const auto& item : a->items()) {
            T t{};
            HALVO_CHECK(elem.read(item, t));
            items.push_back(std::move(t));
        }
        out = std::move(items);
        return {};
    }
    template <class T>
    Status write(bson::Writer& w, std::string_view key, const std::vector<T>& v) const {
        w.begin_array(key);
        for (const auto& item : v) HALVO_CHECK(elem.write(w, {}, item));
        w.end();
        return {};
    }
    template <class T>
    std::string show(const std::vector<T>& v) const {
        std::string out = "[";
        for (size_t i = 0; i < v.size(); ++i) {
            if (i) out += ", ";
            out += elem.show(v[i]);
        }
        return out + "]";
    }
};

template <class T>
Status Plain::read(const bson::Value& v, T& out) const {
    if constexpr (kIsList<T>) {
        return List<Plain>{}.read(v, out);
    } else if constexpr (Readable<T>) {
        HALVO_TRY(out, T::read(v));
        return {};
    } else {
        return decode(v, out);
    }
}

template <class T>
Status Plain::write(bson::Writer& w, std::string_view key, const T& v) const {
    if constexpr (kIsList<T>)
        return List<Plain>{}.write(w, key, v);
    else if constexpr (Writable<T>)
        return v.write(w, key);
    else
        return encode(w, key, v);
}

template <class T>
std::string Plain::show(const T& v) const {
    if constexpr (kIsList<T>)
        return List<Plain>{}.show(v);
    else if constexpr (Debuggable<T>)
        return v.debug();
    else
        return codec::show(v);
}

// A byte string as an array of numbers, one per byte, instead of one
// binary: written as int32 elements, read only from an array.
struct ByteArray {
    Status read(const bson::Value& v, Bytes& out) const;
    Status write(bson::Writer& w, std::string_view key, const Bytes& v) const;
    std::string show(const Bytes& v) const;
};

// A value that travels as its text form: written as `text()`, read from a
// string by `T::parse`, whose failure's text is the decoding failure.
struct TextForm {
    template <class T>
    Status read(const bson::Value& v, T& out) const {
        const auto* s = v.get<std::string>();
        if (!s) return fail(bson::invalid_type(v, "a string"));
        auto parsed = T::parse(*s);
        if (!parsed) return fail(bson::Error::decode(parsed.error().text()));
        out = std::move(parsed).value();
        return {};
    }
    template <class T>
    Status write(bson::Writer& w, std::string_view key, const T& v) const {
        w.add_string(key, v.text());
        return {};
    }
    template <class T>
    std::string show(const T& v) const {
        return v.debug();
    }
};

// A value whose reader takes a context, fixed here (a recipe's steps fail
// with the texts of the place the recipe is read from).
template <auto Context>
struct ReadIn : Plain {
    template <class T>
    Status read(const bson::Value& v, T& out) const {
        HALVO_TRY(out, T::read(v, Context));
        return {};
    }
};

// A value checked as soon as it is read: `Check` refuses it with a failure
// of its own.
template <auto Check, class Inner = Plain>
struct Checked : Inner {
    template <class T>
    Status read(const bson::Value& v, T& out) const {
        HALVO_CHECK(Inner::read(v, out));
        return Check(out);
    }
};

// ---- Fields and tables ------------------------------------------------------

// Whether a field may be missing when read, and when it is written.
enum class Presence {
    Required,   // missing fails; always written
    Defaulted,  // missing keeps the record's default; always written
    Optional,   // missing keeps the record's default; written only away from it
};

template <class T>
inline constexpr bool kIsOptional = false;
template <class T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

template <class Rec, class M, class Codec, Presence P>
struct Field {
    using Record = Rec;
    static constexpr Presence presence = P;

    std::string_view key;
    M Rec::*member;
    Codec codec;
    std::string_view name;  // in the debug form

    constexpr Field shown_as(std::string_view debug_name) const {
        Field f = *this;
        f.name = debug_name;
        return f;
    }
};

// A field the record cannot do without.
template <class Rec, class M, class Codec = Plain>
constexpr Field<Rec, M, Codec, Presence::Required> required(std::string_view key, M Rec::*member, Codec codec = {}) {
    static_assert(!kIsOptional<M>, "an absent value cannot be required");
    return {key, member, codec, key};
}

// A field that may be missing and is written all the same.
template <class Rec, class M, class Codec = Plain>
constexpr Field<Rec, M, Codec, Presence::Defaulted> defaulted(std::string_view key, M Rec::*member, Codec codec = {}) {
    static_assert(!kIsOptional<M>, "an absent value cannot be written");
    return {key, member, codec, key};
}

// A field that may be missing and is left out at its default: an absent
// optional value, an empty list, a flag at its usual setting. An optional
// value reads null as absent.
template <class Rec, class M, class Codec = Plain>
constexpr Field<Rec, M, Codec, Presence::Optional> optional(std::string_view key, M Rec::*member, Codec codec = {}) {
    return {key, member, codec, key};
}

namespace detail {

template <class C, class T>
Status read_value(const C& c, const bson::Value& v, T& out) {
    return c.read(v, out);
}
template <class C, class T>
Status read_value(const C& c, const bson::Value& v, std::optional<T>& out) {
    if (v.is_null()) {
        out.reset();
        return {};
    }
    T t{};
    HALVO_CHECK(c.read(v, t));
    out = std::move(t);
    return {};
}

template <class C, class T>
Status write_value(const C& c, bson::Writer& w, std::string_view key, const T& v) {
    return c.write(w, key, v);
}
// Only a present value is ever written.
template <class C, class T>
Status write_value(const C& c, bson::Writer& w, std::string_view key, const std::optional<T>& v) {
    return c.write(w, key, *v);
}

template <class C, class T>
std::string show_value(const C& c, const T& v) {
    return c.show(v);
}
template <class C, class T>
std::string show_value(const C& c, const std::optional<T>& v) {
    return v ? "Some(" + c.show(*v) + ")" : "None";
}

}  // namespace detail

template <class Rec, class... Fs>
class Table {
public:
    static constexpr size_t kSize = sizeof...(Fs);

    constexpr Table(std::string_view name, Fs... fields) : name_(name), error_name_(name), fields_(fields...) {}

    // Named otherwise in reading failures than in the debug form.
    constexpr Table named_in_errors(std::string_view name) const {
        Table t = *this;
        t.error_name_ = name;
        return t;
    }

    // One embedded document, keys in table order.
    Status write(bson::Writer& w, std::string_view key, const Rec& r) const {
        w.begin_document(key);
        HALVO_CHECK(write_entries(w, r));
        w.end();
        return {};
    }

    // The entries alone, into the document open in `w`.
    Status write_entries(bson::Writer& w, const Rec& r) const {
        Status s;
        any([&](const auto& f) {
            s = write_field(w, f, r);
            return !s.ok();
        });
        return s;
    }

    // From a document (keys in any order, unknown ones skipped) or an array
    // (fields by position).
    BsonResult<Rec> read(const bson::Value& v) const {
        Rec r{};
        Status s;
        if (const auto* d = v.get<bson::Document>())
            s = read_document(*d, r);
        else if (const auto* a = v.get<bson::Array>())
            s = read_array(*a, r);
        else
            s = fail(bson::invalid_type(v, "struct " + std::string(error_name_)));
        if (!s) return fail(std::move(s).error());
        return r;
    }

    std::string debug(const Rec& r) const {
        DebugStruct d(name_);
        any([&](const auto& f) {
            d.field(f.name, detail::show_value(f.codec, r.*f.member));
            return false;
        });
        return d.finish();
    }

private:
    // Calls `f` on each field in table order until it returns true.
    template <class F>
    bool any(F&& f) const {
        return std::apply([&](const auto&... fs) { return (f(fs) || ...); }, fields_);
    }

    template <class F>
    static constexpr bool is_required(const F&) {
        return F::presence == Presence::Required;
    }

    Status read_document(const bson::Document& d, Rec& r) const {
        std::array<bool, kSize> seen{};
        for (const auto& e : d.entries()) {
            Status s;
            size_t i = 0;
            any([&](const auto& f) {
                size_t k = i++;
                if (f.key != e.key) return false;
                if (seen[k]) {
                    s = fail(bson::duplicate_field(e.key));
                } else {
                    seen[k] = true;
                    s = detail::read_value(f.codec, e.value, r.*f.member);
                }
                return true;
            });
            if (!s) return s;
        }
        // Then the first required field missing, in table order.
        Status s;
        size_t i = 0;
        any([&](const auto& f) {
            size_t k = i++;
            if (!is_required(f) || seen[k]) return false;
            s = fail(bson::missing_field(f.key));
            return true;
        });
        return s;
    }

    Status read_array(const bson::Array& a, Rec& r) const {
        const auto& items = a.items();
        Status s;
        size_t i = 0;
        any([&](const auto& f) {
            size_t k = i++;
            if (k < items.size()) {
                s = detail::read_value(f.codec, items[k], r.*f.member);
                return !s.ok();
            }
            if (!is_required(f)) return false;
            s = fail(bson::invalid_length(items.size(), "struct " + std::string(error_name_) + " with " +
                                                            std::to_string(kSize) +
                                                            (kSize == 1 ? " element" : " elements")));
            return true;
        });
        return s;
    }

    template <class F>
    static Status write_field(bson::Writer& w, const F& f, const Rec& r) {
        const auto& v = r.*f.member;
        if constexpr (F::presence == Presence::Optional) {
            if (v == defaults().*f.member) return {};
        }
        return detail::write_value(f.codec, w, f.key, v);
    }

    static const Rec& defaults() {
        static const Rec d{};
        return d;
    }

    std::string_view name_;
    std::string_view error_name_;
    std::tuple<Fs...> fields_;
};

// The table of a record: its name, then its fields in the order they are
// written, shown and read by position.
template <class Rec, class... Fs>
constexpr Table<Rec, Fs...> table(std::string_view name, Fs... fields) {
    static_assert((std::is_same_v<typename Fs::Record, Rec> && ...), "every field is a member of the record");
    return Table<Rec, Fs...>(name, fields...);
}

}  // namespace halvo::codec

// The members of a record declared by HALVO_RECORD_TABLE: its writer, its
// reader, its debug form, and equality.
#define HALVO_RECORD(T)                                                                \
    ::halvo::bson::Status write(::halvo::bson::Writer& w, std::string_view key) const; \
    static ::halvo::bson::BsonResult<T> read(const ::halvo::bson::Value& v);           \
    std::string debug() const;                                                         \
    bool operator==(const T&) const = default

// The field table of record T, named after the type, with the members of
// HALVO_RECORD(T) defined by it. A record without fields is an empty
// document, read from any document or array whatever it holds.
#define HALVO_RECORD_TABLE(T, ...)                                                                   \
    namespace {                                                                                      \
    constexpr auto kFieldsOf##T = ::halvo::codec::table<T>(#T __VA_OPT__(, ) __VA_ARGS__);          \
    }                                                                                                \
    ::halvo::bson::Status T::write(::halvo::bson::Writer& w, std::string_view key) const {           \
        return kFieldsOf##T.write(w, key, *this);                                                    \
    }                                                                                                \
    ::halvo::bson::BsonResult<T> T::read(const ::halvo::bson::Value& v) { return kFieldsOf##T.read(v); } \
    std::string T::debug() const { return kFieldsOf##T.debug(*this); }

#pragma once
// The generic BSON value: any element type, exactly as read. A tree costs
// up to about five times the bytes it was read from (an array of int32s is
// the worst case); frames come from a server we started, so that is fine.
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/blob.hpp"

namespace halvo::bson {

// Binaries this large are shared, not copied: the reader hands out parts of
// the bytes it read, and the writer leaves them out of its buffer, to be
// gathered at the write.
inline constexpr std::size_t kLargeBinary = 64 * 1024;

enum class Type : uint8_t {
    Double = 0x01,
    String = 0x02,
    Document = 0x03,
    Array = 0x04,
    Binary = 0x05,
    Undefined = 0x06,
    ObjectId = 0x07,
    Bool = 0x08,
    DateTime = 0x09,
    Null = 0x0A,
    Regex = 0x0B,
    DbPointer = 0x0C,
    Code = 0x0D,
    Symbol = 0x0E,
    CodeWithScope = 0x0F,
    Int32 = 0x10,
    Timestamp = 0x11,
    Int64 = 0x12,
    Decimal128 = 0x13,
    MaxKey = 0x7F,
    MinKey = 0xFF,
};

struct Null {
    bool operator==(const Null&) const = default;
};

struct Binary {
    uint8_t subtype = 0;
    Blob bytes;
    bool operator==(const Binary&) const = default;
};

// A type this side never interprets (object id, date, decimal, code, ...):
// its element body as read, so that it writes back unchanged.
struct Raw {
    Type type;
    std::string bytes;
    bool operator==(const Raw&) const = default;
};

class Value;
struct Entry;

// Each key once: a repeated key keeps its first position and its last value.
class Document {
public:
    Document();
    Document(const Document&);
    Document(Document&&) noexcept;
    Document& operator=(const Document&);
    Document& operator=(Document&&) noexcept;
    ~Document();

    const Value* find(std::string_view key) const;
    // Replaces the value of an existing key in place, else appends.
    void set(std::string key, Value value);
    const std::vector<Entry>& entries() const { return entries_; }
    std::vector<Entry>& entries() { return entries_; }
    size_t size() const;
    bool empty() const;
    bool operator==(const Document& other) const;

private:
    std::vector<Entry> entries_;
};

class Array {
public:
    Array();
    Array(std::vector<Value> items);
    Array(const Array&);
    Array(Array&&) noexcept;
    Array& operator=(const Array&);
    Array& operator=(Array&&) noexcept;
    ~Array();

    const std::vector<Value>& items() const { return items_; }
    std::vector<Value>& items() { return items_; }
    size_t size() const;
    bool operator==(const Array& other) const;

private:
    std::vector<Value> items_;
};

class Value {
public:
    using Storage = std::variant<Null, bool, int32_t, int64_t, double, std::string, Binary, Document, Array, Raw>;

    Value() : v_(Null{}) {}
    Value(Null n) : v_(n) {}
    Value(bool b) : v_(b) {}
    Value(int32_t i) : v_(i) {}
    Value(int64_t i) : v_(i) {}
    Value(double d) : v_(d) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(Binary b) : v_(std::move(b)) {}
    Value(Document d) : v_(std::move(d)) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Raw r) : v_(std::move(r)) {}

    Type type() const;
    bool is_null() const { return std::holds_alternative<Null>(v_); }
    template <class T>
    const T* get() const { return std::get_if<T>(&v_); }
    template <class T>
    T* get() { return std::get_if<T>(&v_); }
    const Storage& storage() const { return v_; }

    // Doubles compare by their bits, so a NaN equals itself.
    bool operator==(const Value& other) const;

private:
    Storage v_;
};

struct Entry {
    std::string key;
    Value value;
    bool operator==(const Entry&) const = default;
};

inline size_t Document::size() const { return entries_.size(); }
inline bool Document::empty() const { return entries_.empty(); }
inline size_t Array::size() const { return items_.size(); }

// How a value is named in "invalid type: {}" and "invalid value: {}".
std::string describe(const Value& v);
// A debug text of the whole value.
std::string debug(const Value& v);

}  // namespace halvo::bson

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <optional>

#include "bson/reader.hpp"
#include "bson/writer.hpp"
#include "bson_peer.hpp"

using namespace halvo;
using namespace halvo::bson;
using halvo::peer::hex_bytes;

namespace {

// Hand-made element bodies of the types this side keeps raw.
std::string raw_le(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += static_cast<char>(b);
    return s;
}

Document every_type() {
    Document scope;
    scope.set("x", int32_t{1});
    std::string code = "f()";
    std::string cws;
    {
        // int32 total, string, scope document
        Writer w;
        w.add_int32("x", 1);
        std::string scope_bytes = std::move(w).finish();
        std::string str = raw_le({4, 0, 0, 0}) + "f()" + std::string(1, '\0');
        int32_t total = static_cast<int32_t>(4 + str.size() + scope_bytes.size());
        cws = raw_le({total & 0xFF, (total >> 8) & 0xFF, 0, 0}) + str + scope_bytes;
    }
    Document inner;
    inner.set("s", "x");
    Document d;
    d.set("double", 1.5);
    d.set("string", std::string("nul\0inside", 10));
    d.set("doc", inner);
    d.set("array", Array({int32_t{1}, "two", Null{}}));
    d.set("bin0", Binary{0, "\x01\x02"});
    d.set("bin4", Binary{4, std::string(16, 'u')});
    d.set("oid", Raw{Type::ObjectId, std::string(12, '\x07')});
    d.set("bool", true);
    d.set("date", Raw{Type::DateTime, raw_le({0xE8, 3, 0, 0, 0, 0, 0, 0})});
    d.set("null", Null{});
    d.set("regex", Raw{Type::Regex, std::string("a+\0i\0", 5)});
    d.set("code", Raw{Type::Code, raw_le({4, 0, 0, 0}) + "f()" + std::string(1, '\0')});
    d.set("cws", Raw{Type::CodeWithScope, cws});
    d.set("i32", int32_t{-7});
    d.set("ts", Raw{Type::Timestamp, raw_le({1, 0, 0, 0, 2, 0, 0, 0})});
    d.set("i64", int64_t{1} << 40);
    d.set("dec", Raw{Type::Decimal128, raw_le({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x30})});
    d.set("min", Raw{Type::MinKey, ""});
    d.set("max", Raw{Type::MaxKey, ""});
    return d;
}

std::string decode_error(const std::string& bytes) {
    auto r = read_document(bytes);
    return r ? std::string("(read)") : r.error().display();
}

}  // namespace

TEST(BsonCodec, EveryTypeRoundTripsAndAgreesWithThePeer) {
    Document d = every_type();
    std::string bytes = write_document(d);
    auto back = read_document(bytes);
    ASSERT_TRUE(back) << back.error().display();
    EXPECT_EQ(*back, d);
    EXPECT_EQ(write_document(*back), bytes);
    EXPECT_EQ(peer::peer_reencode({{"every_type", bytes}}), "");
}

TEST(BsonCodec, SymbolUndefinedAndPointerAreKeptAsTheyWere) {
    // The peer turns these into other types, so only our own round trip counts.
    Document d;
    d.set("sym", Raw{Type::Symbol, raw_le({2, 0, 0, 0}) + "s" + std::string(1, '\0')});
    d.set("undef", Raw{Type::Undefined, ""});
    d.set("ptr", Raw{Type::DbPointer, raw_le({2, 0, 0, 0}) + "c" + std::string(1, '\0') + std::string(12, '\x01')});
    std::string bytes = write_document(d);
    auto back = read_document(bytes);
    ASSERT_TRUE(back) << back.error().display();
    EXPECT_EQ(write_document(*back), bytes);
}

TEST(BsonCodec, RepeatedKeysKeepFirstPlaceAndLastValue) {
    Writer w;
    w.add_int32("a", 1);
    w.add_int32("b", 2);
    w.begin_document("n");
    w.add_string("p", "first");
    w.add_string("p", "last");
    w.end();
    w.add_int32("a", 3);
    std::string bytes = std::move(w).finish();

    auto d = read_document(bytes);
    ASSERT_TRUE(d);
    ASSERT_EQ(d->size(), 3u);
    EXPECT_EQ(d->entries()[0].key, "a");
    EXPECT_EQ(*d->entries()[0].value.get<int32_t>(), 3);
    EXPECT_EQ(d->entries()[1].key, "b");
    const auto* n = d->find("n")->get<Document>();
    ASSERT_EQ(n->size(), 1u);
    EXPECT_EQ(*n->find("p")->get<std::string>(), "last");

    // The top level can also be walked as it stands, repeats included.
    auto elements = read_elements(bytes);
    ASSERT_TRUE(elements);
    ASSERT_EQ(elements->size(), 4u);
    EXPECT_EQ((*elements)[3].key, "a");
}

TEST(BsonCodec, RepeatedKeysInALargeDocument) {
    Writer w;
    for (int i = 0; i < 40; ++i) w.add_int32("k" + std::to_string(i), i);
    for (int i = 0; i < 40; ++i) w.add_int32("k" + std::to_string(i), 100 + i);
    auto d = read_document(std::move(w).finish());
    ASSERT_TRUE(d);
    ASSERT_EQ(d->size(), 40u);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(d->entries()[i].key, "k" + std::to_string(i));
        EXPECT_EQ(*d->entries()[i].value.get<int32_t>(), 100 + i);
    }
}

TEST(BsonCodec, ArrayKeysAreIgnoredAndRewritten) {
    // {"a": ["x" under key "7", "y" under key "7"]}
    std::string arr = hex_bytes("17000000" "02" "3700" "02000000" "7800" "02" "3700" "02000000" "7900" "00");
    std::string doc = hex_bytes("20000000" "04" "6100") + arr + hex_bytes("00");
    doc[0] = static_cast<char>(doc.size());
    auto d = read_document(doc);
    ASSERT_TRUE(d) << d.error().display();
    const auto* a = d->find("a")->get<Array>();
    ASSERT_EQ(a->size(), 2u);
    EXPECT_EQ(*a->items()[1].get<std::string>(), "y");
    Writer w;
    w.begin_array("a");
    w.add_string("ignored", "x");
    w.add_string("ignored", "y");
    w.end();
    EXPECT_EQ(write_document(*d), std::move(w).finish());
}

TEST(BsonCodec, CorruptDocumentsGiveDecodingErrors) {
    struct Case {
        const char* what;
        std::string bytes;
        const char* fragment;
    } cases[] = {
        {"empty input", "", "ends inside a document's length"},
        {"too short", hex_bytes("0400000000"), "cannot be 4 bytes long"},
        {"length says more than given", hex_bytes("0600000000"), "runs past the end"},
        {"length says less than given", hex_bytes("050000000000"), "is followed by 1 more"},
        {"no terminator", hex_bytes("0500000001"), "does not end in a NUL byte"},
        {"bad type byte", hex_bytes("0c0000001461000100000000"), "at key \"a\". Kind: A deserialization-related error occurred. Message: unknown element type 0x14."},
        {"string length 0", hex_bytes("0d000000026100000000000000"), "a string cannot be 0 bytes long"},
        {"string length past the end", hex_bytes("0e00000002610010000000780000"), "runs past the end of its document"},
        {"negative string length", hex_bytes("0e000000026100ffffffff780000"), "a string cannot be -1 bytes long"},
        {"string without its NUL", hex_bytes("0e0000000261000200000078790000"), "does not end in a NUL byte"},
        {"key without NUL", hex_bytes("0800000010616100"), "a key runs past the end"},
        {"invalid UTF-8 in a string", hex_bytes("0e00000002610002000000ff0000"), "a string is not valid UTF-8"},
        {"invalid UTF-8 in a key", hex_bytes("0c00000010ff000100000000"), "a key is not valid UTF-8"},
        {"bad boolean", hex_bytes("0900000008610002" "00"), "a boolean cannot hold the byte 2"},
        {"int32 cut short", hex_bytes("0a0000001061000100" "00"), "runs past the end"},
        {"negative binary length", hex_bytes("0e00000005610000000080" "000000"), "a binary cannot be"},
        {"inner length past its parent", hex_bytes("0d000000036100" "10000000" "0000"), "at key \"a\""},
        {"array element past its array", hex_bytes("140000000461000b000000103000010000" "0000" "00"), "at array index 0"},
    };
    for (const auto& c : cases) {
        std::string e = decode_error(c.bytes);
        EXPECT_NE(e.find(c.fragment), std::string::npos) << c.what << ": " << e;
        EXPECT_EQ(e.rfind("BSON error", 0), 0u) << c.what << ": " << e;
    }
}

namespace {
std::string nested(int depth) {
    // depth documents, each {"a": <next>}, the innermost empty.
    std::string doc = hex_bytes("0500000000");
    for (int i = 1; i < depth; ++i) {
        std::string body = std::string(1, 0x03) + "a" + std::string(1, '\0') + doc + std::string(1, '\0');
        auto len = static_cast<uint32_t>(4 + body.size());
        std::string outer(4, '\0');
        std::memcpy(outer.data(), &len, 4);
        doc = outer + body;
    }
    return doc;
}
}  // namespace

TEST(BsonCodec, NestingIsBounded) {
    EXPECT_TRUE(read_document(nested(kMaxDepth)));
    for (int depth : {kMaxDepth + 1, 10000}) {
        std::string e = decode_error(nested(depth));
        EXPECT_NE(e.find("nest deeper than 100 levels"), std::string::npos) << e;
    }
}

TEST(BsonCodec, ErrorTexts) {
    EXPECT_EQ(Error::decode("missing field `cmd`").display(),
              "BSON error. Kind: A deserialization-related error occurred. Message: missing field `cmd`.");
    EXPECT_EQ(Error::too_large(9223372036854775808ull).display(),
              "BSON error. Kind: Unsigned integer 9223372036854775808 cannot fit into BSON.");
    EXPECT_EQ(Error::decode("m").at_index(3).display(),
              "BSON error at array index 3. Kind: A deserialization-related error occurred. Message: m.");
}

TEST(BsonCodec, UnsignedBound) {
    Writer w;
    EXPECT_TRUE(w.add_u64("ok", std::numeric_limits<int64_t>::max()));
    auto r = w.add_u64("no", 9223372036854775808ull);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, Error::Kind::UnsignedTooLarge);
    auto d = read_document(std::move(w).finish());
    ASSERT_TRUE(d);
    ASSERT_EQ(d->size(), 1u);  // the refused value left nothing behind
    EXPECT_EQ(*d->find("ok")->get<int64_t>(), std::numeric_limits<int64_t>::max());
}

TEST(BsonCodec, Descriptions) {
    EXPECT_EQ(describe(Value(int32_t{5})), "integer `5`");
    EXPECT_EQ(describe(Value(int64_t{-1})), "integer `-1`");
    EXPECT_EQ(describe(Value(1.0)), "floating point `1.0`");
    EXPECT_EQ(describe(Value("x")), "string \"x\"");
    EXPECT_EQ(describe(Value(Null{})), "null");
    EXPECT_EQ(describe(Value(true)), "boolean `true`");
    EXPECT_EQ(describe(Value(Binary{0, ""})), "byte array");
    EXPECT_EQ(describe(Value(Binary{4, ""})), "map");
    EXPECT_EQ(describe(Value(Document())), "map");
    EXPECT_EQ(describe(Value(Array())), "sequence");
}

namespace {

// Binaries on both sides of the size from which they are shared, at every
// level: top, nested document, array.
Document with_large_binaries() {
    std::string big(kLargeBinary, 'a');
    big[7] = 'z';
    Document inner;
    inner.set("just_under", Binary{0, std::string(kLargeBinary - 1, 'u')});
    inner.set("big", Binary{4, big + "tail"});
    Document d;
    d.set("small", Binary{0, "x"});
    d.set("big", Binary{0, big});
    d.set("doc", inner);
    d.set("array", Array({Binary{0, std::string(3 * kLargeBinary, '\x05')}, int32_t{1}, Binary{0, ""}}));
    d.set("after", "end");
    return d;
}

bool inside(const Blob& part, const Blob& whole) {
    return part.chars() >= whole.chars() && part.chars() + part.size() <= whole.chars() + whole.size();
}

}  // namespace

TEST(BsonCodec, LargeBinariesAreWrittenAsPiecesWithTheSameBytes) {
    Document d = with_large_binaries();
    Writer w;
    w.add_entries(d);
    Gathered g = std::move(w).finish_gathered();
    EXPECT_EQ(g.pieces.size(), 3u);
    EXPECT_LT(g.own.size(), kLargeBinary + 200) << "only the binary just under the size is copied";

    std::string flat;
    std::size_t pieces = 0;
    g.each([&](std::string_view part, bool piece) {
        flat += part;
        pieces += piece;
    });
    EXPECT_EQ(pieces, g.pieces.size());
    EXPECT_EQ(flat.size(), g.size());
    EXPECT_EQ(std::move(g).flat(), flat);
    // Every length checks out on reading, and the peer writes the same bytes.
    auto back = read_document(flat);
    ASSERT_TRUE(back) << back.error().display();
    EXPECT_EQ(*back, d);
    EXPECT_EQ(peer::peer_reencode({{"large_binaries", flat}}), "");
}

TEST(BsonCodec, LargeBinariesReadShareTheBytesTheyWereReadFrom) {
    Document d = with_large_binaries();
    std::optional<std::vector<Entry>> read;
    Blob big, under;
    {
        const Blob body(write_document(d));
        auto r = read_elements_sharing(body);
        ASSERT_TRUE(r) << r.error().display();
        read = std::move(r).value();
        big = (*read)[1].value.get<Binary>()->bytes;
        under = (*read)[2].value.get<Document>()->find("just_under")->get<Binary>()->bytes;
        EXPECT_TRUE(inside(big, body));
        EXPECT_FALSE(inside(under, body));
        EXPECT_TRUE(inside((*read)[3].value.get<Array>()->items()[0].get<Binary>()->bytes, body));
    }
    // The shares keep the bytes after the body itself is let go of.
    Document back;
    for (auto& e : *read) back.set(e.key, e.value);
    EXPECT_EQ(back, d);
    EXPECT_EQ(big, Blob(std::string(kLargeBinary, 'a').replace(7, 1, "z")));
    EXPECT_EQ(under.size(), kLargeBinary - 1);
}

TEST(BsonCodec, ALargeBinaryIsFoundFromTheDocumentsFirstBytes) {
    Document answer;
    answer.set("jsonrpc", "2.0");
    answer.set("id", int64_t{7});
    Document result;
    result.set("data", Binary{0, std::string(1 << 20, 'd')});
    result.set("size", int64_t{1} << 20);
    answer.set("result", result);

    Document before_regex;
    before_regex.set("re", Raw{Type::Regex, std::string("a\0\0", 3)});
    before_regex.set("big", Binary{0, std::string(kLargeBinary, 'b')});

    struct Case {
        const char* name;
        Document doc;
        std::size_t min;
        bool found;
    };
    const Case cases[] = {
        {"an answer's data", answer, kLargeBinary, true},
        {"the first of several, in reading order", with_large_binaries(), kLargeBinary, true},
        {"inside an array", with_large_binaries(), 3 * kLargeBinary, true},
        {"none large enough", with_large_binaries(), 4 * kLargeBinary, false},
        {"behind a kind not followed", before_regex, kLargeBinary, false},
    };
    for (const auto& c : cases) {
        const std::string bytes = write_document(c.doc);
        std::optional<std::size_t> want_at, want_size;
        {
            // The reader says where the binary is: the first at least `min`.
            const Blob shared(bytes);
            auto read = read_elements_sharing(shared);
            ASSERT_TRUE(read) << c.name;
            std::function<void(const Value&)> look = [&](const Value& v) {
                if (want_at) return;
                if (auto* b = v.get<Binary>(); b && b->bytes.size() >= c.min) {
                    want_at = static_cast<std::size_t>(b->bytes.chars() - shared.chars());
                    want_size = b->bytes.size();
                } else if (auto* d = v.get<Document>()) {
                    for (const auto& e : d->entries()) look(e.value);
                } else if (auto* a = v.get<Array>()) {
                    for (const auto& i : a->items()) look(i);
                }
            };
            for (const auto& e : *read) look(e.value);
        }
        auto whole = find_large_binary(bytes, bytes.size(), c.min);
        ASSERT_EQ(whole.has_value(), c.found) << c.name;
        if (!c.found) continue;
        ASSERT_TRUE(want_at) << c.name;
        EXPECT_EQ(whole->at, *want_at) << c.name;
        EXPECT_EQ(whole->size, *want_size) << c.name;
        // Any head that holds the binary's header will do; a shorter one never.
        for (std::size_t n = 0; n <= *want_at + 8; ++n) {
            auto got = find_large_binary(std::string_view(bytes).substr(0, n), bytes.size(), c.min);
            EXPECT_EQ(got.has_value(), n >= *want_at) << c.name << ", head of " << n;
            if (got) {
                EXPECT_EQ(got->at, *want_at) << c.name << ", head of " << n;
            }
        }
    }
}

TEST(BsonCodec, ABinaryThatRunsPastItsDocumentIsNotFound) {
    Document d;
    d.set("big", Binary{0, std::string(kLargeBinary, 'b')});
    std::string bytes = write_document(d);
    bytes[4 + 1 + 4] = static_cast<char>(0xFF);  // the binary's length grows past the document
    EXPECT_FALSE(find_large_binary(bytes, bytes.size(), kLargeBinary));
    EXPECT_FALSE(find_large_binary(bytes, bytes.size() - 1, kLargeBinary)) << "a document longer than the input";
}

TEST(BsonCodec, ABinaryReadApartIsTakenWhereTheDocumentHasIt) {
    Document d = with_large_binaries();
    const std::string bytes = write_document(d);
    auto span = find_large_binary(bytes, bytes.size(), kLargeBinary);
    ASSERT_TRUE(span);
    // The body leaves the binary's place unfilled; its bytes are elsewhere.
    std::string body = bytes;
    std::memset(body.data() + span->at, 0xEE, span->size);
    const Blob apart_bytes(bytes.substr(span->at, span->size));
    const Apart apart{span->at, apart_bytes};
    auto read = read_elements_sharing(Blob(body), &apart);
    ASSERT_TRUE(read) << read.error().display();
    EXPECT_EQ((*read)[1].value.get<Binary>()->bytes.chars(), apart_bytes.chars());
    Document back;
    for (auto& e : *read) back.set(e.key, e.value);
    EXPECT_EQ(back, d);

    // Said to be somewhere no binary starts: refused, not read as it stands.
    const Apart astray{span->at + 1, apart_bytes};
    auto wrong = read_elements_sharing(Blob(body), &astray);
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().display(), "BSON error. Kind: A deserialization-related error occurred. Message: a binary read apart is not where "
              "the document has it.");
}

#include <gtest/gtest.h>

#include "bson_peer.hpp"
#include "protocol/base.hpp"
#include "protocol/message/message.hpp"
#include "protocol_fixture.hpp"

using namespace halvo;
using namespace halvo::fixture;
using namespace halvo::protocol::message;
using bson::Null;

namespace {

constexpr const char* kDe = "BSON error. Kind: A deserialization-related error occurred. Message: ";

std::string read_outcome(const bson::Value& d) {
    auto m = Message::read(bytes_of(d));
    return m ? m->debug() : m.error().display();
}

struct Case {
    const char* what;
    bson::Value doc;
    std::string expect;  // the debug form, or a fragment of the error text
};

void run(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        std::string got = read_outcome(c.doc);
        EXPECT_NE(got.find(c.expect), std::string::npos) << c.what << "\n  got:    " << got << "\n  wanted: " << c.expect;
    }
}

const bson::Value kExecParams = doc({{"cmd", arr({})}});

}  // namespace

TEST(Envelope, ReadingTable) {
    run({
        {"notification", doc({{"jsonrpc", "2.0"}, {"method", "stop"}}), "Notification(Stop)"},
        {"notification params of any type are dropped",
         doc({{"jsonrpc", "2.0"}, {"method", "stop"}, {"params", arr({1})}}), "Notification(Stop)"},
        {"notification with string params", doc({{"jsonrpc", "2.0"}, {"method", "start"}, {"params", "x"}}),
         "Notification(Start)"},
        {"request with id 0, no params", doc({{"jsonrpc", "2.0"}, {"id", 0}, {"method", "version"}}),
         "Request { id: 0, call: Version(VersionCall) }"},
        {"null params", doc({{"jsonrpc", "2.0"}, {"id", 0}, {"method", "version"}, {"params", Null{}}}),
         "Request { id: 0, call: Version(VersionCall) }"},
        {"empty params", doc({{"jsonrpc", "2.0"}, {"id", 0}, {"method", "version"}, {"params", doc({})}}),
         "Request { id: 0, call: Version(VersionCall) }"},
        {"int32 id", doc({{"jsonrpc", "2.0"}, {"id", 7}, {"method", "exec"}, {"params", kExecParams}}),
         "Request { id: 7, call: Exec(ExecCall { cmd: [], timeout_ms: None }) }"},
        {"int64 id", doc({{"jsonrpc", "2.0"}, {"id", i64(7)}, {"method", "exec"}, {"params", kExecParams}}),
         "Request { id: 7, call: Exec("},
        {"any key order", doc({{"params", kExecParams}, {"method", "exec"}, {"jsonrpc", "2.0"}, {"id", i64(7)}}),
         "Request { id: 7, call: Exec("},
        {"unknown keys of any type are skipped",
         doc({{"x", bin("u", 4)}, {"jsonrpc", "2.0"}, {"y", doc({})}, {"method", "quit"}, {"z", 1.5}}),
         "Notification(Quit)"},
        {"the last method counts", doc({{"jsonrpc", "2.0"}, {"method", "stop"}, {"method", "quit"}}),
         "Notification(Quit)"},
        {"null id removes an earlier id",
         doc({{"jsonrpc", "2.0"}, {"id", 5}, {"id", Null{}}, {"method", "exec"}, {"params", kExecParams}}),
         "exec is a request and needs an id"},
        {"null id", doc({{"jsonrpc", "2.0"}, {"id", Null{}}, {"method", "exec"}}), "exec is a request and needs an id"},
        {"negative id", doc({{"jsonrpc", "2.0"}, {"id", -1}, {"method", "version"}}),
         "BSON error at key \"id\". Kind: A deserialization-related error occurred. Message: invalid value: integer "
         "`-1`, expected u64."},
        {"double id", doc({{"jsonrpc", "2.0"}, {"id", 1.0}, {"method", "version"}}),
         "invalid type: floating point `1.0`, expected u64"},
        {"a bad id fails even when a later one is good",
         doc({{"jsonrpc", "2.0"}, {"id", -1}, {"method", "version"}, {"id", 1}}), "integer `-1`, expected u64"},
        {"the first fault in document order wins", doc({{"jsonrpc", "1.0"}, {"id", -1}, {"method", "version"}}),
         "integer `-1`, expected u64"},
        {"notification with an id", doc({{"jsonrpc", "2.0"}, {"id", 3}, {"method", "start"}}),
         std::string(kDe) + "start is a notification and cannot carry an id."},
        {"jsonrpc 1.0", doc({{"jsonrpc", "1.0"}, {"method", "quit"}}), "jsonrpc is \"1.0\", not \"2.0\""},
        {"jsonrpc with a blank", doc({{"jsonrpc", "2.0 "}, {"method", "quit"}}), "jsonrpc is \"2.0 \", not \"2.0\""},
        {"jsonrpc as int32", doc({{"jsonrpc", 2}, {"method", "quit"}}),
         "at key \"jsonrpc\". Kind: A deserialization-related error occurred. Message: invalid type: integer `2`, "
         "expected a string."},
        {"jsonrpc as a generic binary", doc({{"jsonrpc", bin("2.0")}, {"method", "quit"}}),
         "invalid type: byte array, expected a string"},
        {"method as a generic binary", doc({{"jsonrpc", "2.0"}, {"method", bin("quit")}}),
         "invalid type: byte array, expected a string"},
        {"no jsonrpc", doc({{"id", 0}, {"method", "version"}}), std::string(kDe) + "missing field `jsonrpc`."},
        {"nothing to do", doc({{"jsonrpc", "2.0"}, {"id", 0}}), "a message has no method, result or error"},
        {"method names are case-sensitive", doc({{"jsonrpc", "2.0"}, {"id", 0}, {"method", "Version"}}),
         "unknown method \"Version\""},
        {"error response: the method plays no part",
         doc({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "version"}, {"error", doc({{"code", -32601}, {"message", "m"}})}}),
         "Response { id: 1, result: Error(Error { code: -32601, message: \"m\", data: None }) }"},
        {"error response with an unknown method",
         doc({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "nope"}, {"error", doc({{"code", 1}, {"message", "m"}})}}),
         "unknown method \"nope\""},
        {"params beside a result", doc({{"jsonrpc", "2.0"}, {"id", 1}, {"result", doc({})}, {"params", Null{}}}),
         "a message has params and a result or error, so it is neither a request nor a response"},
        {"params come before the id check", doc({{"jsonrpc", "2.0"}, {"params", doc({})}, {"result", doc({})}}),
         "a message has params and a result or error, so it is neither a request nor a response"},
        {"response without id", doc({{"jsonrpc", "2.0"}, {"method", "version"}, {"result", doc({})}}),
         "a response needs an id"},
    });
}

TEST(Dispatch, ReadingTable) {
    auto response = [](const char* method, bson::Value result) {
        return doc({{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"result", std::move(result)}});
    };
    const bson::Value read_result = doc({{"data", bin("abc")}, {"size", i64(3)}});
    run({
        {"a request whose params lack a field",
         doc({{"jsonrpc", "2.0"}, {"id", 0}, {"method", "exec"}, {"params", doc({})}}),
         std::string(kDe) + "exec params: " + kDe + "missing field `cmd`.."},
        {"a key repeated inside params counts once, with its last value",
         doc({{"jsonrpc", "2.0"}, {"id", 0}, {"method", "read"}, {"params", doc({{"path", 5}, {"path", "/b"}})}}),
         "Read(ReadCall { path: \"/b\", offset: None, len: None })"},
        {"a read result", response("read", read_result),
         "Response { id: 1, result: Read(ReadResp { data: [97, 98, 99], size: 3 }) }"},
        {"the response's own method picks the record", response("write", read_result),
         "Response { id: 1, result: Write(WriteResp { size: 3 }) }"},
        {"a result the record refuses", response("exec", doc({{"version", "1"}})),
         std::string(kDe) + kDe + "exec result: " + kDe + "missing field `code`..."},
        {"null handed to the record unchanged", response("read", Null{}),
         "read result: " + std::string(kDe) + "invalid type: null, expected struct ReadResp."},
        {"a result for a notification", response("stop", doc({})),
         std::string(kDe) + kDe + "stop is a notification and is not answered.."},
        {"a result without a method", doc({{"jsonrpc", "2.0"}, {"id", 1}, {"result", doc({})}}),
         "a result needs the method it answers"},
        {"both a result and an error",
         doc({{"jsonrpc", "2.0"}, {"id", 1}, {"result", doc({})}, {"error", doc({{"code", 1}, {"message", "m"}})}}),
         "both a result and an error"},
        {"a malformed error wins over both",
         doc({{"jsonrpc", "2.0"}, {"id", 1}, {"result", doc({})}, {"error", doc({{"code", 1.5}, {"message", "m"}})}}),
         "invalid type: floating point `1.5`, expected i64"},
        {"an error with the method exec",
         doc({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "exec"}, {"error", doc({{"code", 1}, {"message", "m"}})}}),
         "result: Error(Error { code: 1, message: \"m\", data: None })"},
    });
}

TEST(ErrorRecord, ReadingTable) {
    struct C {
        const char* what;
        bson::Value v;
        std::string expect;  // debug form or error fragment
    } cases[] = {
        {"message before a 32-bit code", doc({{"message", "x"}, {"code", -32601}}),
         "Error { code: -32601, message: \"x\", data: None }"},
        {"null data is absent, unknown keys skipped",
         doc({{"code", i64(1)}, {"message", "x"}, {"data", Null{}}, {"other", 1}}),
         "Error { code: 1, message: \"x\", data: None }"},
        {"data of any type", doc({{"code", 1}, {"message", "x"}, {"data", arr({1, "a"})}}),
         "data: Some(Array([Int32(1), String(\"a\")])) }"},
        {"positional", arr({1, "x"}), "Error { code: 1, message: \"x\", data: None }"},
        {"positional with data, extra ignored", arr({1, "x", true, "extra"}), "data: Some(Boolean(true)) }"},
        {"double code", doc({{"code", 1.0}, {"message", "x"}}), "invalid type: floating point `1.0`, expected i64"},
        {"no code", doc({{"message", "x"}}), "missing field `code`"},
        {"no message", doc({{"code", 1}}), "missing field `message`"},
        {"short array", arr({1}), "invalid length 1, expected struct Error with 3 elements"},
        {"a string", "x", "invalid type: string \"x\", expected struct Error"},
        {"a generic binary", bin("x"), "invalid type: byte array, expected struct Error"},
    };
    for (const auto& c : cases) {
        auto e = Error::read(as_read(c.v));
        std::string got = e ? e->debug() : e.error().display();
        EXPECT_NE(got.find(c.expect), std::string::npos) << c.what << ": " << got;
    }
    auto refused = protocol::Failure::refused(Error::make(-32012, "x"));
    EXPECT_EQ(refused.text(), "the console server refused: x (-32012)");
    EXPECT_EQ(refused.debug(), "Refused(Error { code: -32012, message: \"x\", data: None })");
    auto broken = protocol::Failure::broken(Chain("a frame ended mid-way").context("reading a message"));
    EXPECT_EQ(broken.debug(), "Broken(\"reading a message: a frame ended mid-way\")");
}

namespace {
std::string hex(const std::string& b) {
    static const char d[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : b) out += {d[c >> 4], d[c & 15]};
    return out;
}

call::InitCall every_init_field() {
    Recipe r{1, "b", {Step{Step::Run{"echo hi"}}, Step{Step::Copy{"/a", "/b"}}, Step::env("K", "V"), Step{Step::Workdir{"/w"}}}};
    call::InitCall c;
    c.image = ImageSource{ImageSource::Recipe{r}};
    c.snapshot = codec::Bytes{0, 1, 255};
    c.network = false;
    c.ports = {call::Port{8080, 80}};
    c.vcpus = 2;
    c.memory_mib = 512;
    c.gpu = true;
    c.gpu_memory_mib = 256;
    c.disk_gib = 10;
    c.mounts = {*call::MountSpec::parse("file:///a:/b:ro")};
    return c;
}
}  // namespace

// The expected bytes were written once by pymongo (tests/peer/golden.py).
TEST(Envelope, GoldenBytes) {
    struct G {
        const char* what;
        Message m;
        const char* hex;
    } cases[] = {
        {"quit", Message{Notification::Quit},
         "27000000026a736f6e7270630004000000322e3000026d6574686f640005000000717569740000"},
        {"request with id 0", Message{request(0, call::VersionCall{})},
         "43000000026a736f6e7270630004000000322e3000126964000000000000000000026d6574686f64000800000076657273696f6e00"
         "03706172616d7300050000000000"},
        {"error response", Message{Message::Response{3, Response{Error::make(-32012, "x")}}},
         "4b000000026a736f6e7270630004000000322e3000126964000300000000000000036572726f72002200000012636f646500f482ff"
         "ffffffffff026d657373616765000200000078000000"},
        {"init with every field at its default", Message{request(1, call::InitCall{})},
         "40000000026a736f6e7270630004000000322e3000126964000100000000000000026d6574686f640005000000696e697400037061"
         "72616d7300050000000000"},
        {"init with every field set", Message{request(2, every_init_field())},
         "cf010000026a736f6e7270630004000000322e3000126964000200000000000000026d6574686f640005000000696e69740003706172"
         "616d73009401000003696d61676500cc00000002747970650007000000726563697065000372656369706500ae0000001276000100"
         "000000000000026261736500020000006200047374657073008b000000033000160000000272756e00080000006563686f20686900"
         "000331002800000003636f7079001d0000000273726300030000002f61000264737400030000002f620000000332002700000003656e"
         "76001d000000026b657900020000004b000276616c75650002000000560000000333001500000002776f726b64697200030000002f"
         "77000000000004736e617073686f74001a0000001030000000000010310001000000103200ff00000000086e6574776f726b000004"
         "706f727473001400000002300008000000383038303a383000001076637075730002000000126d656d6f72795f6d69620000020000"
         "00000000086770750001126770755f6d656d6f72795f6d6962000001000000000000126469736b5f676962000a0000000000000004"
         "6d6f756e7473001c0000000230001000000066696c653a2f2f2f613a2f623a726f00000000"},
    };
    for (const auto& c : cases) {
        auto bytes = c.m.write();
        ASSERT_TRUE(bytes) << c.what;
        EXPECT_EQ(hex(*bytes), c.hex) << c.what;
        auto back = Message::read(*bytes);
        ASSERT_TRUE(back) << c.what << ": " << back.error().display();
        EXPECT_EQ(*back, c.m) << c.what;
    }
}

namespace {
std::vector<Message> every_message() {
    using namespace call;
    Recipe recipe{1, "debian", {Step{Step::Run{"make"}}, Step::env("A", "b")}};
    std::vector<Message> out = {
        Message{Notification::Start},
        Message{Notification::Stop},
        Message{request(0, VersionCall{})},
        Message{request(1, BuildImageCall{recipe, std::nullopt})},
        Message{request(2, BuildImageCall{recipe, ""})},
        Message{request(3, RemoveImageCall{ImageSource{ImageSource::Ref{"r"}}})},
        Message{request(4, RemoveImageCall{ImageSource{ImageSource::Digest{"sha256:x"}}})},
        Message{request(5, ListImagesCall{})},
        Message{request(6, InitCall{})},
        Message{request(7, every_init_field())},
        Message{request(8, ExecCall{{"ls", "-l"}, 9223372036854775807ull})},
        Message{request(9, ReadCall{"/f", 1, 2})},
        Message{request(10, WriteCall{"/f", {1, 2, 3}, 4})},
        Message{request(11, WriteCall{"/f", {}, std::nullopt})},
        Message{request(12, SnapshotCall{})},
        Message{Message::Response{0, Response{VersionResp{"0.1.2"}}}},
        Message{Message::Response{1, Response{BuildImageResp{"r", "sha256:x"}}}},
        Message{Message::Response{2, Response{RemoveImageResp{}}}},
        Message{Message::Response{3, Response{ImageEntries{{{"sha256:x", {"a", "b"}}, {"sha256:y", {}}}}}}},
        Message{Message::Response{4, Response{ImageEntries{}}}},
        Message{Message::Response{5, Response{InitResp{"/root"}}}},
        Message{Message::Response{6, Response{ExecResp{-1, {}, {'e'}, false}}}},
        Message{Message::Response{7, Response{ReadResp{{0, 255}, 2}}}},
        Message{Message::Response{8, Response{WriteResp{5}}}},
        Message{Message::Response{9, Response{SnapshotResp{{9}}}}},
    };
    Error with_data = Error::make(-32000, "timed out");
    with_data.data = doc({{"after_ms", i64(10)}, {"list", arr({1, "x"})}});
    out.push_back(Message{Message::Response{10, Response{with_data}}});
    out.push_back(Message{Message::Response{18446744073709551615ull >> 1, Response{Error::make(1, "")}}});
    return out;
}
}  // namespace

TEST(Envelope, EveryMessageRoundTripsAndAgreesWithThePeer) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& m : every_message()) {
        auto bytes = m.write();
        ASSERT_TRUE(bytes) << m.debug();
        auto back = Message::read(*bytes);
        ASSERT_TRUE(back) << m.debug() << ": " << back.error().display();
        EXPECT_EQ(*back, m) << m.debug();
        files.emplace_back("m" + std::to_string(files.size()), *bytes);
    }
    EXPECT_EQ(peer::peer_reencode(files), "");
}

TEST(Envelope, WritingFailsOnlyThroughTheWriter) {
    auto too_big = Message{request(9223372036854775808ull, call::VersionCall{})}.write();
    ASSERT_FALSE(too_big);
    EXPECT_EQ(too_big.error().display(), "BSON error. Kind: Unsigned integer 9223372036854775808 cannot fit into BSON.");

    auto timeout = Message{request(1, call::ExecCall{{"x"}, 9223372036854775808ull})}.write();
    ASSERT_FALSE(timeout);
    EXPECT_EQ(timeout.error().kind_text(), "Unsigned integer 9223372036854775808 cannot fit into BSON");

    Recipe bad_src{1, "b", {Step{Step::Copy{"a\xFF", "/b"}}}};
    auto copy = Message{request(1, call::BuildImageCall{bad_src, std::nullopt})}.write();
    ASSERT_FALSE(copy);
    EXPECT_NE(copy.error().display().find("Message: path contains invalid UTF-8 characters."), std::string::npos);

    // Writers check nothing else.
    Recipe odd{2, "", {}};
    call::ExecCall empty;
    EXPECT_TRUE(Message{request(1, call::BuildImageCall{odd, std::nullopt})}.write());
    EXPECT_TRUE(Message{request(1, empty)}.write());
}

TEST(Envelope, Debug) {
    EXPECT_EQ(Message{Notification::Quit}.debug(), "Notification(Quit)");
    EXPECT_EQ(Message{request(4, call::ExecCall{{"ls"}, 5})}.debug(),
              "Request { id: 4, call: Exec(ExecCall { cmd: [\"ls\"], timeout_ms: Some(5) }) }");
    EXPECT_EQ(parse_method("snapshot"), Method::Snapshot);
    EXPECT_EQ(parse_method(" exec"), std::nullopt);
    EXPECT_EQ(parse_method(""), std::nullopt);
    EXPECT_EQ(to_string(Method::BuildImage), "build_image");
}

TEST(Envelope, LargeBytesByKeyAndByPositionShareTheBody) {
    std::string big(bson::kLargeBinary + 3, 'b');
    big.back() = 'e';
    const codec::Bytes want(big);
    // The bytes a record reads, and the body it read them from.
    auto read_bytes = [](const bson::Value& d, auto pick) -> std::pair<codec::Bytes, Blob> {
        const Blob body(bytes_of(d));
        auto m = Message::read_sharing(body);
        if (!m) return {codec::Bytes(m.error().display()), body};
        return {pick(*m), body};
    };
    auto write_data = [](const Message& m) { return std::get<call::WriteCall>(std::get<Message::Request>(m.v).call.v).data; };
    auto read_data = [](const Message& m) {
        return std::get<call::ReadResp>(std::get<Message::Response>(m.v).result.v).data;
    };
    struct C {
        const char* what;
        std::pair<codec::Bytes, Blob> got;
    } cases[] = {
        {"params by key", read_bytes(doc({{"jsonrpc", "2.0"}, {"id", i64(1)}, {"method", "write"},
                                          {"params", doc({{"path", "/f"}, {"data", bin(big)}, {"offset", i64(2)}})}}),
                                     write_data)},
        {"params by position", read_bytes(doc({{"jsonrpc", "2.0"}, {"id", i64(1)}, {"method", "write"},
                                               {"params", arr({"/f", bin(big), i64(2)})}}),
                                          write_data)},
        {"result by key", read_bytes(doc({{"jsonrpc", "2.0"}, {"id", i64(1)}, {"method", "read"},
                                          {"result", doc({{"data", bin(big)}, {"size", i64(9)}})}}),
                                     read_data)},
        {"result by position", read_bytes(doc({{"jsonrpc", "2.0"}, {"id", i64(1)}, {"method", "read"},
                                               {"result", arr({bin(big), i64(9)})}}),
                                          read_data)},
    };
    for (const auto& c : cases) {
        const auto& [data, body] = c.got;
        EXPECT_EQ(data, want) << c.what << ": " << data.view().substr(0, 200);
        EXPECT_TRUE(data.chars() >= body.chars() && data.chars() + data.size() <= body.chars() + body.size())
            << c.what << ": the bytes were copied";
    }
}

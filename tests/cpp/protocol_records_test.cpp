#include <gtest/gtest.h>

#include <functional>

#include "protocol/message/call.hpp"
#include "protocol_fixture.hpp"

using namespace halvo;
using namespace halvo::fixture;
using namespace halvo::protocol::message;
using namespace halvo::protocol::message::call;
using bson::Null;

namespace {

using Reader = std::function<std::string(const bson::Value&)>;

// Reads a record from the value as a message would carry it; gives its
// debug form or the error's display text.
template <class T>
Reader as() {
    return [](const bson::Value& v) {
        auto r = T::read(as_read(v));
        return r ? r->debug() : r.error().display();
    };
}

struct Case {
    const char* what;
    Reader read;
    bson::Value input;
    std::string expect;  // a fragment of the debug form or of the error text
};

void run(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        std::string got = c.read(c.input);
        EXPECT_NE(got.find(c.expect), std::string::npos) << c.what << "\n  got:    " << got << "\n  wanted: " << c.expect;
    }
}

// The keys and element types a record writes, as "key:type" joined by blanks.
template <class T>
std::string written(const T& record) {
    bson::Writer w;
    EXPECT_TRUE(record.write(w, "r"));
    auto d = bson::read_document(std::move(w).finish());
    std::string out;
    for (const auto& e : d->find("r")->get<bson::Document>()->entries()) {
        if (!out.empty()) out += " ";
        out += e.key + ":" + std::to_string(static_cast<int>(e.value.type()));
    }
    return out;
}

const bson::Value kOut = bin("");

// A record with every field away from its default against its document
// written out by hand: the record writes exactly that document (each field
// under its key, in declared order, with its element type), and reads back
// from it by key and from its values by position. Empty when so.
template <class T>
std::string both_ways(const T& record, const bson::Value& expected) {
    bson::Writer w;
    auto wrote = record.write(w, "r");
    if (!wrote) return wrote.error().display();
    auto d = bson::read_document(std::move(w).finish());
    if (!(*d->find("r") == expected)) return "written: " + bson::debug(*d->find("r"));
    auto shown = [&](const bson::BsonResult<T>& r) -> std::string {
        if (!r) return r.error().display();
        return *r == record ? "" : r->debug();
    };
    if (auto by_key = shown(T::read(expected)); !by_key.empty()) return "by key: " + by_key;
    std::vector<bson::Value> items;
    for (const auto& e : expected.get<bson::Document>()->entries()) items.push_back(e.value);
    if (auto by_position = shown(T::read(bson::Array(std::move(items)))); !by_position.empty())
        return "by position: " + by_position;
    return "";
}

}  // namespace

TEST(ConsoleRecords, ReadingTable) {
    run({
        {"init from nothing", as<InitCall>(), doc({}),
         "InitCall { image: None, snapshot: None, network: true, ports: [], vcpus: None, memory_mib: None, gpu: None, "
         "gpu_memory_mib: None, disk_gib: None, mounts: [] }"},
        {"network null is refused", as<InitCall>(), doc({{"network", Null{}}}), "invalid type: null, expected a boolean"},
        {"network false", as<InitCall>(), doc({{"network", false}}), "network: false"},
        {"an empty snapshot is present", as<InitCall>(), doc({{"snapshot", arr({})}}), "snapshot: Some([])"},
        {"snapshot bytes", as<InitCall>(), doc({{"snapshot", arr({0, i64(1), 255})}}), "snapshot: Some([0, 1, 255])"},
        {"snapshot null", as<InitCall>(), doc({{"snapshot", Null{}}}), "snapshot: None"},
        {"snapshot as a binary", as<InitCall>(), doc({{"snapshot", bin("ab")}}),
         "invalid type: byte array, expected a sequence"},
        {"snapshot byte out of range", as<InitCall>(), doc({{"snapshot", arr({0, 256})}}),
         "invalid value: integer `256`, expected u8"},
        {"snapshot byte of another type", as<InitCall>(), doc({{"snapshot", arr({"a"})}}),
         "invalid type: string \"a\", expected u8"},
        {"ports", as<InitCall>(), doc({{"ports", arr({"8080:80"})}}), "ports: [Port { host: 8080, console: 80 }]"},
        {"a port text that does not parse", as<InitCall>(), doc({{"ports", arr({"80"})}}),
         "Message: not <host>:<console>: \"80\"."},
        {"a port that is not a string", as<InitCall>(), doc({{"ports", arr({80})}}),
         "invalid type: integer `80`, expected a string"},
        {"mounts", as<InitCall>(), doc({{"mounts", arr({"file:///a:/b:ro"})}}),
         "mounts: [MountSpec { host_url: \"file:///a\", guest_path: \"/b\", readonly: true }]"},
        {"a mount text that does not parse", as<InitCall>(), doc({{"mounts", arr({"x:/b"})}}),
         "a mount URL needs a scheme: \"x:/b\""},
        {"image", as<InitCall>(), doc({{"image", doc({{"type", "ref"}, {"ref", "x"}})}}),
         "image: Some(Ref { reference: \"x\" })"},
        {"positional init: any length", as<InitCall>(), arr({Null{}, arr({1})}), "snapshot: Some([1])"},
        {"cwd null", as<InitResp>(), doc({{"cwd", Null{}}}), "InitResp { cwd: None }"},
        {"cwd missing", as<InitResp>(), doc({}), "InitResp { cwd: None }"},
        {"exec without cmd", as<ExecCall>(), doc({{"timeout_ms", 5}}), "Message: missing field `cmd`."},
        {"empty cmd", as<ExecCall>(), doc({{"cmd", arr({})}}), "ExecCall { cmd: [], timeout_ms: None }"},
        {"cmd as generic binaries", as<ExecCall>(), doc({{"cmd", arr({bin("ls")})}}), "cmd: [\"ls\"]"},
        {"negative timeout", as<ExecCall>(), doc({{"cmd", arr({})}, {"timeout_ms", -1}}),
         "invalid value: integer `-1`, expected u64"},
        {"null timeout", as<ExecCall>(), doc({{"cmd", arr({})}, {"timeout_ms", Null{}}}), "timeout_ms: None"},
        {"exec positional, extra ignored", as<ExecCall>(), arr({arr({"ls"}), 5, "extra"}),
         "ExecCall { cmd: [\"ls\"], timeout_ms: Some(5) }"},
        {"exec positional, empty", as<ExecCall>(), arr({}), "invalid length 0, expected struct ExecCall with 2 elements"},
        {"exec result without truncated", as<ExecResp>(), doc({{"code", 0}, {"stdout", kOut}, {"stderr", kOut}}),
         "ExecResp { code: 0, stdout: [], stderr: [], truncated: false }"},
        {"truncated null", as<ExecResp>(),
         doc({{"code", 0}, {"stdout", kOut}, {"stderr", kOut}, {"truncated", Null{}}}),
         "invalid type: null, expected a boolean"},
        {"a refused value fails before a missing field", as<ExecResp>(), doc({{"stdout", 5}}),
         "invalid type: integer `5`, expected bytes"},
        {"missing fields in table order", as<ExecResp>(), doc({}), "missing field `code`"},
        {"bytes as an array", as<ExecResp>(), doc({{"code", 0}, {"stdout", arr({104, i64(105)})}, {"stderr", kOut}}),
         "stdout: [104, 105]"},
        {"bytes as another binary subtype", as<ExecResp>(), doc({{"code", 0}, {"stdout", bin("x", 4)}}),
         "invalid type: map, expected bytes"},
        {"bytes as a document", as<ExecResp>(), doc({{"code", 0}, {"stdout", doc({})}}),
         "invalid type: map, expected bytes"},
        {"bytes as a string", as<ExecResp>(), doc({{"code", 0}, {"stdout", "hi"}}),
         "invalid type: string \"hi\", expected bytes"},
        {"bytes out of range", as<ExecResp>(), doc({{"code", 0}, {"stdout", arr({0, 256})}}),
         "invalid value: integer `256`, expected u8"},
        {"code past i32", as<ExecResp>(), doc({{"code", i64(2147483648)}}),
         "invalid value: integer `2147483648`, expected i32"},
        {"code at the i32 bound", as<ExecResp>(),
         doc({{"code", i64(-2147483648)}, {"stdout", kOut}, {"stderr", kOut}}), "code: -2147483648"},
        {"short positional exec result", as<ExecResp>(), arr({0, kOut}),
         "invalid length 2, expected struct ExecResp with 4 elements"},
        {"keys are case-sensitive", as<ReadCall>(), doc({{"Path", "/x"}}), "missing field `path`"},
        {"read positional", as<ReadCall>(), arr({"/p"}), "ReadCall { path: \"/p\", offset: None, len: None }"},
        {"read positional, empty", as<ReadCall>(), arr({}), "invalid length 0, expected struct ReadCall with 3 elements"},
        {"params as a string", as<ReadCall>(), "x", "invalid type: string \"x\", expected struct ReadCall"},
        {"params as a generic binary", as<ReadCall>(), bin("x"), "invalid type: byte array, expected struct ReadCall"},
        {"a path as a generic binary", as<ReadCall>(), doc({{"path", bin("/p")}}), "path: \"/p\""},
        {"a path as a binary of bad UTF-8", as<ReadCall>(), doc({{"path", bin("\xff")}}),
         "invalid value: byte array, expected a string"},
        {"len as a double", as<ReadCall>(), doc({{"path", "/"}, {"len", 2.0}}),
         "invalid type: floating point `2.0`, expected u64"},
        {"read result missing both", as<ReadResp>(), doc({}), "missing field `data`"},
        {"write without data", as<WriteCall>(), doc({{"path", "/p"}}), "WriteCall { path: \"/p\", data: [], offset: None }"},
        {"write data null", as<WriteCall>(), doc({{"path", "/p"}, {"data", Null{}}}), "invalid type: null, expected bytes"},
        {"write result, short array", as<WriteResp>(), arr({}), "invalid length 0, expected struct WriteResp with 1 element"},
        {"snapshot params: any document", as<SnapshotCall>(), doc({{"a", 1}}), "SnapshotCall"},
        {"snapshot params: any array", as<SnapshotCall>(), arr({1, 2}), "SnapshotCall"},
        {"snapshot params: a string", as<SnapshotCall>(), "x", "expected struct SnapshotCall"},
        {"snapshot result", as<SnapshotResp>(), doc({{"blob", bin("\x01")}}), "SnapshotResp { blob: [1] }"},
        {"snapshot result without blob", as<SnapshotResp>(), doc({}), "missing field `blob`"},
    });
}

TEST(ConsoleRecords, IntegerWidths) {
    run({
        {"u8 from int64", as<InitCall>(), doc({{"vcpus", i64(8)}}), "vcpus: Some(8)"},
        {"u8 above 255", as<InitCall>(), doc({{"vcpus", 256}}), "invalid value: integer `256`, expected u8"},
        {"u8 negative", as<InitCall>(), doc({{"vcpus", -1}}), "invalid value: integer `-1`, expected u8"},
        {"u32 at its bound", as<InitCall>(), doc({{"memory_mib", i64(4294967295)}}), "memory_mib: Some(4294967295)"},
        {"u32 above its bound", as<InitCall>(), doc({{"disk_gib", i64(4294967296)}}),
         "invalid value: integer `4294967296`, expected u32"},
        {"u32 as a double", as<InitCall>(), doc({{"memory_mib", 512.0}}),
         "invalid type: floating point `512.0`, expected u32"},
        {"u64 at its bound", as<ReadCall>(), doc({{"path", "/"}, {"offset", i64(9223372036854775807)}}),
         "offset: Some(9223372036854775807)"},
        {"u64 as a boolean", as<WriteResp>(), doc({{"size", true}}), "invalid type: boolean `true`, expected u64"},
    });
}

TEST(ConsoleRecords, Writing) {
    // Element types: 2 string, 3 document, 4 array, 5 binary, 8 boolean, 16 int32, 18 int64.
    EXPECT_EQ(written(InitCall{}), "");
    InitCall on;
    on.snapshot = codec::Bytes{};
    EXPECT_EQ(written(on), "snapshot:4");
    InitCall sizes;
    sizes.vcpus = 2;
    sizes.memory_mib = 1;
    EXPECT_EQ(written(sizes), "vcpus:16 memory_mib:18");
    EXPECT_EQ(written(ExecResp{}), "code:16 stdout:5 stderr:5 truncated:8");
    EXPECT_EQ(written(ExecCall{{}, std::nullopt}), "cmd:4");
    EXPECT_EQ(written(ExecCall{{"a"}, 9223372036854775807ull}), "cmd:4 timeout_ms:18");
    EXPECT_EQ(written(WriteCall{"/p", {}, std::nullopt}), "path:2");
    EXPECT_EQ(written(WriteCall{"/p", {1}, 0}), "path:2 data:5 offset:18");
    EXPECT_EQ(written(ReadResp{{}, 0}), "data:5 size:18");
    EXPECT_EQ(written(InitResp{}), "");
    EXPECT_EQ(written(SnapshotCall{}), "");

    // Bytes are one generic binary, five bytes over their size.
    bson::Writer w;
    codec::write_bytes(w, "b", codec::Bytes{1, 2});
    EXPECT_EQ(std::move(w).finish(), std::string("\x0f\x00\x00\x00\x05" "b\x00\x02\x00\x00\x00\x00\x01\x02\x00", 15));
}

TEST(Records, EveryFieldByKeyAndByPosition) {
    InitCall init;
    init.image = ImageSource{ImageSource::Digest{"d"}};
    init.snapshot = codec::Bytes{0, 255};
    init.network = false;
    init.ports = {Port{1, 2}};
    init.vcpus = 1;
    init.memory_mib = 2;
    init.gpu = false;
    init.gpu_memory_mib = 3;
    init.disk_gib = 4;
    init.mounts = {*MountSpec::parse("file:///a:/b")};
    Error error = Error::make(-1, "m");
    error.data = bson::Value("x");
    const Recipe recipe{1, "b", {Step::env("K", "V")}};
    const bson::Value recipe_doc =
        doc({{"v", i64(1)}, {"base", "b"}, {"steps", arr({doc({{"env", doc({{"key", "K"}, {"value", "V"}})}})})}});
    struct C {
        const char* what;
        std::string outcome;
    } cases[] = {
        {"init", both_ways(init, doc({{"image", doc({{"type", "digest"}, {"digest", "d"}})},
                                      {"snapshot", arr({0, 255})},
                                      {"network", false},
                                      {"ports", arr({"1:2"})},
                                      {"vcpus", 1},
                                      {"memory_mib", i64(2)},
                                      {"gpu", false},
                                      {"gpu_memory_mib", i64(3)},
                                      {"disk_gib", i64(4)},
                                      {"mounts", arr({"file:///a:/b"})}}))},
        {"init result", both_ways(InitResp{"/"}, doc({{"cwd", "/"}}))},
        {"exec", both_ways(ExecCall{{"ls"}, 5}, doc({{"cmd", arr({"ls"})}, {"timeout_ms", i64(5)}}))},
        {"exec result", both_ways(ExecResp{1, {2}, {3}, true},
                                  doc({{"code", 1}, {"stdout", bin("\x02")}, {"stderr", bin("\x03")}, {"truncated", true}}))},
        {"read", both_ways(ReadCall{"/f", 1, 2}, doc({{"path", "/f"}, {"offset", i64(1)}, {"len", i64(2)}}))},
        {"read result", both_ways(ReadResp{{1}, 2}, doc({{"data", bin("\x01")}, {"size", i64(2)}}))},
        {"write", both_ways(WriteCall{"/f", {1}, 2}, doc({{"path", "/f"}, {"data", bin("\x01")}, {"offset", i64(2)}}))},
        {"write result", both_ways(WriteResp{3}, doc({{"size", i64(3)}}))},
        {"snapshot", both_ways(SnapshotCall{}, doc({}))},
        {"snapshot result", both_ways(SnapshotResp{{1}}, doc({{"blob", bin("\x01")}}))},
        {"version", both_ways(VersionCall{}, doc({}))},
        {"version result", both_ways(VersionResp{"1"}, doc({{"version", "1"}}))},
        {"build", both_ways(BuildImageCall{recipe, "r"}, doc({{"recipe", recipe_doc}, {"ref", "r"}}))},
        {"build result", both_ways(BuildImageResp{"r", "d"}, doc({{"ref", "r"}, {"digest", "d"}}))},
        {"remove", both_ways(RemoveImageCall{ImageSource{ImageSource::Ref{"x"}}},
                             doc({{"image", doc({{"type", "ref"}, {"ref", "x"}})}}))},
        {"remove result", both_ways(RemoveImageResp{}, doc({}))},
        {"list", both_ways(ListImagesCall{}, doc({}))},
        {"list result", both_ways(ImageEntries{{{"d", {"r"}}}}, doc({{"images", arr({doc({{"digest", "d"}, {"refs", arr({"r"})}})})}}))},
        {"image entry", both_ways(ImageEntry{"d", {"r"}}, doc({{"digest", "d"}, {"refs", arr({"r"})}}))},
        {"error", both_ways(error, doc({{"code", i64(-1)}, {"message", "m"}, {"data", "x"}}))},
    };
    for (const auto& c : cases) EXPECT_EQ(c.outcome, "") << c.what;
}

TEST(ImageServerRecords, ReadingTable) {
    const bson::Value recipe = doc({{"v", 1}, {"base", "b"}, {"steps", arr({})}});
    run({
        {"build without ref", as<BuildImageCall>(), doc({{"recipe", recipe}}), "reference: None }"},
        {"build with null ref", as<BuildImageCall>(), doc({{"ref", Null{}}, {"recipe", recipe}}), "reference: None }"},
        {"build with ref first", as<BuildImageCall>(), doc({{"ref", "r"}, {"recipe", recipe}}),
         "reference: Some(\"r\") }"},
        {"build with an integer ref", as<BuildImageCall>(), doc({{"recipe", recipe}, {"ref", 5}}),
         "invalid type: integer `5`, expected a string"},
        {"build without recipe", as<BuildImageCall>(), doc({{"ref", "r"}}), "missing field `recipe`"},
        {"build result in any order", as<BuildImageResp>(), doc({{"digest", "d"}, {"ref", "r"}, {"x", 1}}),
         "BuildImageResp { reference: \"r\", digest: \"d\" }"},
        {"build result without ref", as<BuildImageResp>(), doc({{"digest", "d"}}), "missing field `ref`"},
        {"build result without digest", as<BuildImageResp>(), doc({{"ref", "r"}}), "missing field `digest`"},
        {"build result with ref twice", as<BuildImageResp>(), doc({{"ref", "a"}, {"digest", "d"}, {"ref", "b"}}),
         "reference: \"b\""},
        {"version with other keys", as<VersionResp>(), doc({{"x", 1}, {"version", "1.2"}}),
         "VersionResp { version: \"1.2\" }"},
        {"empty version result", as<VersionResp>(), doc({}), "missing field `version`"},
        {"version by position", as<VersionResp>(), arr({"1.0"}), "VersionResp { version: \"1.0\" }"},
        {"version as a number", as<VersionResp>(), 5, "invalid type: integer `5`, expected struct VersionResp"},
        {"remove result with keys", as<RemoveImageResp>(), doc({{"a", 1}}), "RemoveImageResp"},
        {"list params with keys", as<ListImagesCall>(), doc({{"a", 1}}), "ListImagesCall"},
        {"remove with a null image", as<RemoveImageCall>(), doc({{"image", Null{}}}),
         "invalid type: null, expected internally tagged enum ImageSource"},
        {"remove without image", as<RemoveImageCall>(), doc({}), "missing field `image`"},
        {"empty image list", as<ImageEntries>(), doc({{"images", arr({})}}), "ImageEntries { images: [] }"},
        {"image list without images", as<ImageEntries>(), doc({}), "missing field `images`"},
        {"image list as a string", as<ImageEntries>(), "x", "expected struct ImageEntries"},
        {"entries with and without refs", as<ImageEntries>(),
         doc({{"images", arr({doc({{"digest", "a"}}), doc({{"digest", "b"}, {"refs", arr({})}})})}}),
         "images: [ImageEntry { digest: \"a\", refs: [] }, ImageEntry { digest: \"b\", refs: [] }]"},
        {"null refs", as<ImageEntry>(), doc({{"digest", "a"}, {"refs", Null{}}}), "invalid type: null, expected a sequence"},
        {"entry without digest", as<ImageEntry>(), doc({{"refs", arr({"r"})}}), "missing field `digest`"},
        {"entry by position", as<ImageEntry>(), arr({"d", arr({"r"})}), "ImageEntry { digest: \"d\", refs: [\"r\"] }"},
    });
}

TEST(ImageServerRecords, Writing) {
    Recipe r{1, "b", {}};
    EXPECT_EQ(written(BuildImageCall{r, std::nullopt}), "recipe:3");
    EXPECT_EQ(written(BuildImageCall{r, ""}), "recipe:3 ref:2");
    EXPECT_EQ(written(BuildImageResp{"r", "d"}), "ref:2 digest:2");
    EXPECT_EQ(written(VersionCall{}), "");
    EXPECT_EQ(written(ImageEntry{"d", {}}), "digest:2");
    EXPECT_EQ(written(ImageEntries{}), "images:4");
    EXPECT_EQ(written(r), "v:18 base:2 steps:4");
}
